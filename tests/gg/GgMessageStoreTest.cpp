#include "gg/GgMessageStore.h"

#include <filesystem>
#include <fstream>
#include <sstream>

#include <sqlite3.h>
#include <gtest/gtest.h>

#include "gg/Cp1250.h"

namespace ordwin {
namespace {

namespace fs = std::filesystem;

constexpr int64_t kNow = 1700000000;
constexpr int64_t kDay = 24 * 3600;

class GgMessageStoreTest : public ::testing::Test {
protected:
  void SetUp() override {
    char name[] = "/tmp/ordwin-store-XXXXXX";
    ASSERT_NE(::mkdtemp(name), nullptr);
    Folder = name;
    Path = (Folder / "dane" / "wiadomosci.db").string();
  }
  void TearDown() override { fs::remove_all(Folder); }

  std::unique_ptr<TGgMessageStore> Open(int64_t now = kNow, TGgStoreBounds bounds = {}) {
    return TGgMessageStore::Open(Path, [this](std::string_view line) { Log.push_back(Cp1250ToUtf8(line)); }, now,
                                 bounds);
  }
  static TGgKeptMessage Message(int32_t recipient, int32_t sender, std::string text, int64_t sent = kNow) {
    TGgKeptMessage m;
    m.Recipient = recipient;
    m.Sender = sender;
    m.Sent = sent;
    m.Class = 8;
    m.Text = std::move(text);
    return m;
  }
  std::string Logged() const {
    std::string all;
    for (const std::string& line : Log) all += line + "\n";
    return all;
  }

  fs::path Folder;
  std::string Path;
  std::vector<std::string> Log;
};

TEST_F(GgMessageStoreTest, KeepsMessagesWholeAndInOrderAcrossAReopenUntilForgotten) {
  TGgKeptMessage first = Message(2, 1, std::string("za\xbf\xf3\0x", 6), kNow - 5);
  first.Html = "<span>zażółć Привет 😀</span>";
  first.Attributes = std::string("\x02\x06\0\0\0\x08\0\0\0", 9);
  {
    auto store = Open();
    ASSERT_TRUE(store) << Logged();
    EXPECT_EQ(store->Keep(first), TGgMessageStore::krKept);
    EXPECT_EQ(store->Keep(Message(3, 1, "dla trzech")), TGgMessageStore::krKept);
    EXPECT_EQ(store->Keep(Message(2, 4, "druga")), TGgMessageStore::krKept);
    EXPECT_EQ(store->Keep(Message(2, 1, "trzecia")), TGgMessageStore::krKept);
  }
  auto store = Open();
  ASSERT_TRUE(store);
  EXPECT_EQ(Logged(), "<czeka 4 wiadomości dla 2 nieobecnych\n");
  std::vector<TGgKeptMessage> waiting = store->Waiting(2);
  ASSERT_EQ(waiting.size(), 3u);
  EXPECT_EQ(waiting[0].Text, first.Text);
  EXPECT_EQ(waiting[0].Html, first.Html);
  EXPECT_EQ(waiting[0].Attributes, first.Attributes);
  EXPECT_EQ(waiting[0].Sent, kNow - 5);
  EXPECT_EQ(waiting[0].Class, 8);
  EXPECT_EQ(waiting[0].Recipient, 2);
  EXPECT_EQ(waiting[1].Sender, 4);
  EXPECT_EQ(waiting[2].Text, "trzecia");
  EXPECT_LT(waiting[0].Id, waiting[1].Id);
  EXPECT_LT(waiting[1].Id, waiting[2].Id);
  EXPECT_TRUE(store->Waiting(5).empty());

  store->Forget(2, waiting[1].Id);
  EXPECT_EQ(store->WaitingCount(2), 1u);
  EXPECT_EQ(store->BytesInAll(), std::string("dla trzech").size() + std::string("trzecia").size());
  store.reset();
  store = Open();
  ASSERT_EQ(store->Waiting(2).size(), 1u);
  EXPECT_EQ(store->Waiting(2)[0].Text, "trzecia");
  EXPECT_EQ(store->Waiting(3).size(), 1u);
}

// Each bound refuses the message that would pass it, and only for its own recipient; forgetting
// makes room again; a reopened store counts what it holds.
TEST_F(GgMessageStoreTest, EachBoundRefusesTheMessagePastIt) {
  struct TCase {
    const char* Name;
    TGgStoreBounds Bounds;
    size_t Size;
    size_t Fitting;
  };
  TGgStoreBounds small;
  small.BytesInAll = 10 * 1000;
  const TCase cases[] = {
      {"1,000 messages per recipient", {}, 10, 1000},
      {"1 MB per recipient", {}, 60 * 1000, 16},
      {"the bytes of all", small, 3000, 3},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    fs::remove_all(Folder / "dane");
    auto store = Open(kNow, c.Bounds);
    ASSERT_TRUE(store);
    for (size_t i = 0; i < c.Fitting; ++i)
      ASSERT_EQ(store->Keep(Message(2, 1, std::string(c.Size, 'a'))), TGgMessageStore::krKept) << i;
    EXPECT_EQ(store->Keep(Message(2, 1, std::string(c.Size, 'a'))), TGgMessageStore::krFull);
    bool shared = c.Bounds.BytesInAll < TGgStoreBounds{}.BytesInAll;
    EXPECT_EQ(store->Keep(Message(3, 1, std::string(c.Size, 'b'))),
              shared ? TGgMessageStore::krFull : TGgMessageStore::krKept);
    store.reset();
    store = Open(kNow, c.Bounds);
    EXPECT_EQ(store->Keep(Message(2, 1, std::string(c.Size, 'a'))), TGgMessageStore::krFull);
    store->Forget(2, store->Waiting(2).front().Id);
    EXPECT_EQ(store->Keep(Message(2, 1, std::string(c.Size, 'a'))), TGgMessageStore::krKept);
    EXPECT_EQ(store->WaitingCount(2), c.Fitting);
  }
}

TEST_F(GgMessageStoreTest, MessagesOlderThanThirtyDaysAreDroppedAtOpening) {
  {
    auto store = Open();
    store->Keep(Message(2, 1, "stara", kNow - 31 * kDay));
    store->Keep(Message(2, 1, "świeża", kNow - 29 * kDay));
    store->Keep(Message(3, 1, "stara", kNow - 30 * kDay - 1));
  }
  auto store = Open();
  EXPECT_EQ(Logged(), "<usunięto 2 wiadomości starszych niż 30 dni\n<czeka 1 wiadomości dla 1 nieobecnych\n");
  ASSERT_EQ(store->Waiting(2).size(), 1u);
  EXPECT_EQ(store->Waiting(2)[0].Text, "świeża");
  EXPECT_EQ(store->WaitingCount(3), 0u);
}

// A file the store cannot use is renamed beside itself, with its log, and a new one takes its
// place; a folder that cannot be made leaves the program without a store, and says so.
TEST_F(GgMessageStoreTest, AnUnusableFileIsSetAsideAndANewOneStarted) {
  const std::string garbage = "to nie jest baza danych, tylko zwykły tekst\n" + std::string(5000, 'x');
  struct TCase {
    const char* Name;
    std::function<void(const std::string& path)> Make;
    const char* Reason;
  };
  const TCase cases[] = {
      {"not a database", [&](const std::string& path) { std::ofstream(path) << garbage; }, "file is not a database"},
      {"a folder", [](const std::string& path) { fs::create_directories(path); }, "unable to open database file"},
      {"another schema",
       [](const std::string& path) {
         sqlite3* db = nullptr;
         sqlite3_open(path.c_str(), &db);
         sqlite3_exec(db, "CREATE TABLE t (x); PRAGMA user_version = 7;", nullptr, nullptr, nullptr);
         sqlite3_close(db);
       },
       "user_version 7"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    fs::remove_all(Folder / "dane");
    fs::create_directories(Folder / "dane");
    Log.clear();
    c.Make(Path);
    auto store = Open();
    ASSERT_TRUE(store) << Logged();
    ASSERT_EQ(Log.size(), 1u) << Logged();
    const std::string prefix = "<plik wiadomości " + Path + " był uszkodzony lub nieczytelny (" + c.Reason +
                               "); odłożony jako " + Path + ".uszkodzony-";
    EXPECT_EQ(Log[0].compare(0, prefix.size(), prefix), 0) << Log[0];
    std::string aside = Log[0].substr(Log[0].find(" jako ") + 6);
    aside = aside.substr(0, aside.find(','));
    EXPECT_TRUE(fs::exists(aside)) << aside;
    EXPECT_EQ(store->Keep(Message(2, 1, "nowa")), TGgMessageStore::krKept);
    store.reset();
    EXPECT_EQ(Open()->Waiting(2).size(), 1u);
    if (c.Name == cases[0].Name) {
      std::stringstream kept;
      kept << std::ifstream(aside).rdbuf();
      EXPECT_EQ(kept.str(), garbage);
    }
  }

  Log.clear();
  std::ofstream(Folder / "plik") << "x";
  Path = (Folder / "plik" / "wiadomosci.db").string();
  EXPECT_FALSE(Open());
  ASSERT_EQ(Log.size(), 1u);
  EXPECT_EQ(Log[0].rfind("<nie udało się otworzyć pliku wiadomości " + Path + " (", 0), 0u) << Log[0];
  EXPECT_NE(Log[0].find("); wiadomości nie będą przechowywane"), std::string::npos) << Log[0];
}

}  // namespace
}  // namespace ordwin
