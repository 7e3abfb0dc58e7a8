#include "app/ConsoleView.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include "app/Unit1.h"
#include "net/Descriptor.h"
#include "tests/net/TestLoop.h"

namespace ordwin {
namespace {

using ConsoleViewTest = test::LoopTest;

// What can be read now, without blocking (the reading end is non-blocking).
std::string ReadAll(int fd) {
  std::string out;
  char buffer[65536];
  ssize_t n;
  while ((n = ::read(fd, buffer, sizeof(buffer))) > 0) out.append(buffer, static_cast<size_t>(n));
  return out;
}

bool NonBlocking(int fd) { return (::fcntl(fd, F_GETFL) & O_NONBLOCK) != 0; }

// Whether the loop has anything to do now: a descriptor it watches is ready, or work is queued.
bool LoopBusy() {
  pollfd p{TEventLoop::Instance().BackendFd(), POLLIN, 0};
  return TEventLoop::Instance().PendingPosts() > 0 || (::poll(&p, 1, 0) == 1 && (p.revents & POLLIN));
}

// Standard output as a shell hands it over: the view writes to Writer, which blocks; the test
// reads Reader, which does not.
struct TOutput {
  std::string Name;
  TDescriptor Reader;
  TDescriptor Writer;
};

// Small buffers where the system allows it, so that a stall comes soon.
TOutput MakePipe() {
  int fds[2];
  EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  ::fcntl(fds[1], F_SETPIPE_SZ, 4096);
  ::fcntl(fds[0], F_SETFL, O_NONBLOCK);
  return {"pipe", TDescriptor(fds[0]), TDescriptor(fds[1])};
}

TOutput MakeSocketPair() {
  int fds[2];
  EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
  int size = 4096;
  ::setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &size, sizeof(size));
  ::setsockopt(fds[0], SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
  ::fcntl(fds[0], F_SETFL, O_NONBLOCK);
  return {"socket", TDescriptor(fds[0]), TDescriptor(fds[1])};
}

// A terminal in raw mode, so that what is written arrives as written; empty where there is none.
TOutput MakeTerminal() {
  TDescriptor master(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
  char name[128];
  if (!master.Valid() || ::grantpt(master.Get()) != 0 || ::unlockpt(master.Get()) != 0 ||
      ::ptsname_r(master.Get(), name, sizeof(name)) != 0)
    return {};
  TDescriptor slave(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
  termios raw{};
  if (!slave.Valid() || ::tcgetattr(slave.Get(), &raw) != 0) return {};
  ::cfmakeraw(&raw);
  ::tcsetattr(slave.Get(), TCSANOW, &raw);
  ::fcntl(master.Get(), F_SETFL, O_NONBLOCK);
  return {"terminal", std::move(master), std::move(slave)};
}

std::vector<TOutput> Outputs() {
  std::vector<TOutput> outputs;
  outputs.push_back(MakePipe());
  outputs.push_back(MakeSocketPair());
  TOutput terminal = MakeTerminal();
  if (terminal.Writer.Valid()) outputs.push_back(std::move(terminal));
  return outputs;
}

// Log line i: 100 bytes, its number first.
std::string Line(int i) {
  char head[16];
  std::snprintf(head, sizeof(head), "line %05d ", i);
  std::string line = head;
  line.resize(100, 'x');
  return line;
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(pos, end - pos));
    pos = end + 1;
  }
  return lines;
}

TEST_F(ConsoleViewTest, LogBatchesAndHintsGoToStandardOutputEachInOneWrite) {
  TOutput out = MakePipe(), err = MakePipe();
  TConsoleView view(out.Writer.Get(), err.Writer.Get());
  view.AppendLog("1 > a\n< b\nŁódź");
  EXPECT_EQ(ReadAll(out.Reader.Get()), "1 > a\n< b\nŁódź\n");
  view.AppendHint("");
  view.AppendHint("hint");
  EXPECT_EQ(ReadAll(out.Reader.Get()), "\nhint\n");
  EXPECT_EQ(ReadAll(err.Reader.Get()), "");
}

TEST_F(ConsoleViewTest, BoxesGoToStandardErrorWithTheirLineBreaks) {
  TOutput out = MakePipe(), err = MakePipe();
  TConsoleView view(out.Writer.Get(), err.Writer.Get());
  view.ShowErrorBox("Early.");
  view.SetApplicationTitle("Ordwin");
  view.ShowErrorBox("Cannot open file /etc/hosts.");
  view.ShowMessageBox("Ostrzeżenie", "Nie udało się otworzyć portu 80 !\r\rNajprawdopodobniej\r\nkoniec");
  EXPECT_EQ(ReadAll(err.Reader.Get()),
            "Early.\n"
            "Ordwin: Cannot open file /etc/hosts.\n"
            "Ostrzeżenie: Nie udało się otworzyć portu 80 !\n\nNajprawdopodobniej\nkoniec\n");
  EXPECT_EQ(ReadAll(out.Reader.Get()), "");
}

TEST_F(ConsoleViewTest, AReaderThatKeepsUpSeesEachTurnsLinesWhenTheTurnEnds) {
  TEventLoop& loop = TEventLoop::Instance();
  for (TOutput& out : Outputs()) {
    SCOPED_TRACE(out.Name);
    TOutput err = MakePipe();
    TConsoleView view(out.Writer.Get(), err.Writer.Get());
    TForm1 form(view);
    loop.ProcessMessages();
    int next = 1;
    auto turn = [&](int lines) {
      std::string expected;
      for (int i = 0; i < lines; ++i, ++next) {
        form.AppendLog(Line(next));
        expected += Line(next) + "\n";
      }
      return expected;
    };
    for (int i = 0; i < 20; ++i) {
      std::string expected = turn(3);
      EXPECT_EQ(ReadAll(out.Reader.Get()), "");  // the lines wait for the end of their turn
      loop.ProcessMessages();
      ASSERT_EQ(ReadAll(out.Reader.Get()), expected);
    }
    // A turn larger than the descriptor takes at once reaches a reader who keeps reading, whole.
    std::string expected = turn(2000), got;
    ASSERT_TRUE(test::PumpUntil([&] {
      got += ReadAll(out.Reader.Get());
      return got.size() >= expected.size();
    }));
    EXPECT_EQ(got, expected);
    // Nothing waits any more: the next turn's lines come with its end again.
    expected = turn(1);
    loop.ProcessMessages();
    EXPECT_EQ(ReadAll(out.Reader.Get()), expected);
    EXPECT_FALSE(NonBlocking(out.Writer.Get()));
  }
}

TEST_F(ConsoleViewTest, AStalledReaderNeverStopsTheLoopAndLearnsHowManyLinesItMissed) {
  TEventLoop& loop = TEventLoop::Instance();
  constexpr size_t kBacklog = 16 * 1024;
  constexpr int kLines = 3000;  // far more than any of the outputs and the backlog hold
  for (TOutput& out : Outputs()) {
    SCOPED_TRACE(out.Name);
    TOutput err = MakePipe();
    TConsoleView view(out.Writer.Get(), err.Writer.Get(), kBacklog);
    TForm1 form(view);
    // Nobody reads: every turn still ends, one line each.
    for (int i = 1; i <= kLines; ++i) {
      form.AppendLog(Line(i));
      loop.ProcessMessages();
    }
    // The waiting view costs the loop nothing: it has no work until the reader reads.
    loop.ProcessMessages();
    EXPECT_FALSE(LoopBusy());
    // The shell's description stays as it was.
    EXPECT_FALSE(NonBlocking(out.Writer.Get()));

    // The reader takes a little now and then while lines keep coming: they go too, for they
    // would otherwise reach it before it learns of the gap.
    std::string got;
    constexpr int kLater = 10;
    for (int i = 1; i <= kLater; ++i) {
      char buffer[512];
      ssize_t n = ::read(out.Reader.Get(), buffer, sizeof(buffer));
      if (n > 0) got.append(buffer, static_cast<size_t>(n));
      test::PumpTurns(2);
      form.AppendLog(Line(kLines + i));
      loop.ProcessMessages();
    }
    ASSERT_TRUE(test::PumpUntil([&] {
      got += ReadAll(out.Reader.Get());
      size_t notice = got.find("[log lines dropped: ");
      return notice != std::string::npos && got.find('\n', notice) != std::string::npos;
    }));
    form.AppendLog("after the gap");
    ASSERT_TRUE(test::PumpUntil([&] {
      got += ReadAll(out.Reader.Get());
      return got.size() >= 14 && got.compare(got.size() - 14, 14, "after the gap\n") == 0;
    }));

    // Whole lines in order up to the gap, the count of the lines lost, and what came after.
    std::vector<std::string> lines = SplitLines(got);
    ASSERT_GE(lines.size(), 3u);
    size_t kept = lines.size() - 2;
    for (size_t i = 0; i < kept; ++i) ASSERT_EQ(lines[i], Line(static_cast<int>(i) + 1)) << "line " << i;
    EXPECT_EQ(lines[kept], DroppedLinesNotice(kLines + kLater - kept));
    EXPECT_EQ(lines[kept + 1], "after the gap");
    // The backlog was filled before lines were dropped.
    EXPECT_GE(kept * 101, kBacklog - 101);
    EXPECT_LT(kept, static_cast<size_t>(kLines));
  }
}

TEST_F(ConsoleViewTest, AReaderThatWentAwayCostsTheLinesNotTheLoop) {
  TEventLoop& loop = TEventLoop::Instance();
  auto* previous = std::signal(SIGPIPE, SIG_IGN);  // as the program has it
  TOutput out = MakePipe(), err = MakePipe();
  {
    TConsoleView view(out.Writer.Get(), err.Writer.Get(), 16 * 1024);
    TForm1 form(view);
    for (int i = 1; i <= 500; ++i) {
      form.AppendLog(Line(i));
      loop.ProcessMessages();
    }
    // Full pipe, lines waiting, and then the reader goes.
    out.Reader.Close();
    test::PumpTurns(3);
    EXPECT_FALSE(LoopBusy());
    form.AppendLog("nobody reads this");
    test::PumpTurns(3);
    EXPECT_FALSE(LoopBusy());
  }
  std::signal(SIGPIPE, previous);
}

TEST_F(ConsoleViewTest, AtExitAReaderStillReadingGetsWhatWaitedAndAStalledOneCannotHoldTheExit) {
  std::string batch;
  for (int i = 1; i <= 3000; ++i) batch += (i > 1 ? "\n" : "") + Line(i);
  {
    TOutput out = MakePipe(), err = MakePipe();
    ::fcntl(out.Reader.Get(), F_SETFL, 0);
    std::string got;
    std::thread reader([&] {
      char buffer[4096];
      ssize_t n;
      while ((n = ::read(out.Reader.Get(), buffer, sizeof(buffer))) > 0) got.append(buffer, static_cast<size_t>(n));
    });
    {
      TConsoleView view(out.Writer.Get(), err.Writer.Get());
      view.AppendLog(batch);  // far more than the pipe holds; no turn runs after it
    }
    out.Writer.Close();
    reader.join();
    EXPECT_EQ(got, batch + "\n");
  }
  {
    TOutput out = MakePipe(), err = MakePipe();
    {
      TConsoleView view(out.Writer.Get(), err.Writer.Get());
      view.AppendLog(batch);
    }
    std::string got = ReadAll(out.Reader.Get());
    EXPECT_LT(got.size(), batch.size());
    EXPECT_EQ(got, batch.substr(0, got.size()));
  }
}

TEST_F(ConsoleViewTest, ARegularFileIsWrittenWhereItsOffsetStands) {
  char path[] = "/tmp/ordwin-console-XXXXXX";
  TDescriptor file(::mkostemp(path, O_CLOEXEC));
  ASSERT_TRUE(file.Valid());
  ::unlink(path);
  ASSERT_EQ(::write(file.Get(), "head\n", 5), 5);
  TOutput err = MakePipe();
  {
    TConsoleView view(file.Get(), err.Writer.Get());
    view.AppendLog("log");
    view.AppendHint("hint");
  }
  ASSERT_EQ(::write(file.Get(), "tail\n", 5), 5);
  EXPECT_FALSE(NonBlocking(file.Get()));
  char buffer[64];
  ssize_t n = ::pread(file.Get(), buffer, sizeof(buffer), 0);
  ASSERT_GT(n, 0);
  EXPECT_EQ(std::string(buffer, static_cast<size_t>(n)), "head\nlog\nhint\ntail\n");
}

}  // namespace
}  // namespace ordwin
