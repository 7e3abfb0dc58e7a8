#include "app/Unit1.h"

#include <memory>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <gtest/gtest.h>
#include <QSettings>
#include <QTemporaryDir>

#include "FakeView.h"
#include "app/GgService.h"
#include "app/Hints.h"
#include "app/LogText.h"
#include "net/Descriptor.h"
#include "net/Exception.h"
#include "net/NotificationEndpoint.h"
#include "tests/net/LoopResidue.h"

namespace ordwin {
namespace {

// Records its start and its destruction in a shared journal; may fail or write a hint.
class TRecordingService : public IFormService {
public:
  TRecordingService(std::string name, std::vector<std::string>& journal) : name_(std::move(name)), Journal(journal) {}
  ~TRecordingService() override { Journal.push_back("destroy " + name_); }
  void Start() override {
    Journal.push_back("start " + name_);
    if (OnStart) OnStart();
  }
  std::function<void()> OnStart;

private:
  std::string name_;
  std::vector<std::string>& Journal;
};

class Unit1Test : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(Home.isValid());
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, Home.path());
  }
  void TearDown() override {
    TEventLoop::Instance().ProcessMessages();  // drops what was still queued for the gone form
    EXPECT_EQ(test::TLoopResidue::Now().Text(), test::TLoopResidue{}.Text());
  }

  TRecordingService* AddService(TForm1& form, const std::string& name) {
    auto service = std::make_unique<TRecordingService>(name, Journal);
    TRecordingService* raw = service.get();
    form.AddService(std::move(service));
    return raw;
  }

  QTemporaryDir Home;
  TFakeView View;
  std::vector<std::string> Journal;
};

TEST_F(Unit1Test, TheLogLinesOfOneTurnReachTheViewTogetherOnTheNextTurn) {
  TEventLoop& loop = TEventLoop::Instance();
  {
    TForm1 form(View);
    form.AppendLog("1 > login");
    form.AppendLog("< seed\r\nsecond line");
    form.AppendLog(
        std::string("\xA3\xF3"
                    "d\x00",
                    4));
    EXPECT_TRUE(View.LogBatches.empty());
    loop.ProcessMessages();
    ASSERT_EQ(View.LogBatches.size(), 1u);
    EXPECT_EQ(View.LogBatches[0], "1 > login\n< seed\u240D\u240Asecond line\nŁód\u2400");

    // What else waits for the end of the turn (the GG packets) is done before the log is
    // written, even when the log's line came first.
    struct TTurnEndWork : INotificationTarget {
      explicit TTurnEndWork(const TFakeView& view) : View(view) {}
      void HandleMessage(TMessage&) override { LogBatchesSeen = View.LogBatches.size(); }
      const TFakeView& View;
      size_t LogBatchesSeen = 0;
      TNotificationEndpoint Endpoint{this};
    } work(View);
    form.AppendLog("later");
    work.Endpoint.AtTurnEnd(tpSend, 0);
    loop.ProcessMessages();
    loop.ProcessMessages();
    EXPECT_EQ(View.LogBatches, (std::vector<std::string>{View.LogBatches[0], "later"}));
    EXPECT_EQ(work.LogBatchesSeen, 1u);

    // A turn past the room the form keeps, then a short one: each batch is its own lines only.
    const std::string control(400'000, '\x01');
    form.AppendLog(control);
    loop.ProcessMessages();
    form.AppendLog("short");
    loop.ProcessMessages();
    ASSERT_EQ(View.LogBatches.size(), 4u);
    EXPECT_EQ(View.LogBatches[2].size(), 3 * control.size());
    EXPECT_EQ(View.LogBatches[2].substr(0, 6), "\u2401\u2401");
    EXPECT_EQ(View.LogBatches[3], "short");

    form.AppendLog("");
    form.AppendLog("still waiting when the window closes");
  }
  EXPECT_EQ(View.LogBatches.back(), "\nstill waiting when the window closes");
  EXPECT_EQ(View.Attached, nullptr);
}

// A line whose head the form has shown before shows exactly as the same line given whole: a
// head of other bytes (also of the same length) or other lines between change nothing.
TEST_F(Unit1Test, ALineWithARepeatedHeadShowsAsTheSameLineGivenWhole) {
  const std::string ka = "1>wypowied\x9F dla 2 \"";  // 0x9F: the letter z with acute
  const std::string kb = "1>wypowied\x9F dla 3 \"";
  const std::vector<std::pair<std::string, size_t>> lines = {
      {ka + "tekst\"", ka.size()}, {ka + std::string(70, 'x') + "\x9C\"", ka.size()},
      {kb + "inny\"", kb.size()},  {"<powitanie", 0},
      {kb + "\r\n\"", kb.size()},  {ka, ka.size()},
      {ka + "\"", ka.size()},
  };
  TForm1 form(View);
  std::string expected;
  for (const auto& [line, head] : lines) {
    form.AppendLog(line, head);
    if (!expected.empty()) expected += '\n';
    AppendLogText(expected, line);
  }
  TEventLoop::Instance().ProcessMessages();
  ASSERT_EQ(View.LogBatches.size(), 1u);
  EXPECT_EQ(View.LogBatches[0], expected);
}

TEST_F(Unit1Test, StartUpStartsTheServicesInOrderBeforeTheHintsAndShutDownReversesThem) {
  {
    TForm1 form(View);
    EXPECT_EQ(View.Attached, &form);
    AddService(form, "http")->OnStart = [&form] {
      form.ShowMessageBox("Ostrzeżenie", "port 80");
      form.AppendHint("http hint");
      form.AppendHint("");
    };
    AddService(form, "gg");
    form.Dispatch([&form] { form.FormCreate(); });
    EXPECT_TRUE(form.ServicesStarted());
    EXPECT_EQ(View.Title, "Ordwin");
    EXPECT_EQ(View.Boxes, std::vector<std::string>{"Ostrzeżenie|port 80"});
    ASSERT_EQ(View.Hints.size(), 5u);
    EXPECT_EQ(View.Hints[0], "http hint");
    EXPECT_EQ(View.Hints[1], "");
    EXPECT_NE(View.Hints[2].find("\"127.0.0.1 appmsg.gadu-gadu.pl\""), std::string::npos);
    EXPECT_NE(View.Hints[2].find("stacji na \"localhost\" by oryginalny"), std::string::npos);
    EXPECT_EQ(View.Hints[3], "");
    EXPECT_EQ(View.Hints[4],
              "Używając Kelvadra https://kelvadra.example/ możesz wybrać prawym klawiszem serwer alternatywny.");
    EXPECT_TRUE(View.Errors.empty());

    bool canClose = false;
    form.FormCloseQuery(canClose);
    EXPECT_TRUE(canClose);
    form.FormDestroy();
    form.FormDestroy();
  }
  EXPECT_EQ(Journal, (std::vector<std::string>{"start http", "start gg", "destroy gg", "destroy http"}));
}

TEST_F(Unit1Test, AServiceThatThrowsEndsStartUpWithTheErrorBox) {
  TForm1 form(View);
  AddService(form, "http")->OnStart = [] { throw Exception("Port busy"); };
  AddService(form, "gg");
  form.Dispatch([&form] { form.FormCreate(); });
  EXPECT_EQ(View.Errors, std::vector<std::string>{"Port busy."});
  EXPECT_TRUE(View.Hints.empty());
  EXPECT_EQ(Journal, std::vector<std::string>{"start http"});
}

TEST_F(Unit1Test, TheErrorBoxAddsAFullStopOnlyWhereThereIsNone) {
  EXPECT_EQ(ErrorBoxText("Cannot open file /etc/hosts"), "Cannot open file /etc/hosts.");
  EXPECT_EQ(ErrorBoxText("Invalid data type for 'adres'"), "Invalid data type for 'adres'.");
  EXPECT_EQ(ErrorBoxText("Done."), "Done.");
  EXPECT_EQ(ErrorBoxText("Really!"), "Really!.");
  TForm1 form(View);
  form.Dispatch([] { throw std::runtime_error("boom"); });
  form.Dispatch([] {});
  EXPECT_EQ(View.Errors, std::vector<std::string>{"boom."});
}

TEST_F(Unit1Test, TheAddressIsReadAfreshInBothEncodings) {
  TForm1 form(View);
  View.Address = "łódź.example";
  EXPECT_EQ(form.AdresSerwisu(), "łódź.example");
  EXPECT_EQ(form.AdresSerwisuCp1250(),
            "\xB3\xF3"
            "d\x9F.example");
}

// A GG port that cannot be opened (another server on it, or connections of an earlier run that
// the platform still holds) is told in the packet log and in the hints, not swallowed.
TEST_F(Unit1Test, AGgPortThatCannotBeOpenedIsToldInTheLogAndTheHints) {
  TDescriptor taken(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  socklen_t len = sizeof(a);
  ASSERT_EQ(::bind(taken.Get(), reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
  ASSERT_EQ(::listen(taken.Get(), 1), 0);
  ASSERT_EQ(::getsockname(taken.Get(), reinterpret_cast<sockaddr*>(&a), &len), 0);
  const int port = ntohs(a.sin_port);
  {
    TForm1 form(View);
    auto gg = std::make_unique<TGgService>(form);
    gg->Session().RIDuziva().SetPort(port);
    form.AddService(std::move(gg));
    form.Dispatch([&form] { form.FormCreate(); });
    TEventLoop::Instance().ProcessMessages();
    EXPECT_TRUE(View.Errors.empty());
    ASSERT_EQ(View.LogBatches.size(), 1u);
    EXPECT_EQ(View.LogBatches[0], "<nie udało się otworzyć portu " + std::to_string(port) +
                                      " (Error 10048 in function Bind: Address already in use); serwer GG "
                                      "nie działa");
    ASSERT_GE(View.Hints.size(), 2u);
    EXPECT_EQ(View.Hints[0], GgPortHint(port));
    EXPECT_EQ(View.Hints[1], "");
  }
}

}  // namespace
}  // namespace ordwin
