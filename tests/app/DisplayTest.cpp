#include "app/WindowToolkit.h"

#include <csignal>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "net/Descriptor.h"
#include "tests/app/ProgramRunner.h"

namespace ordwin {
namespace {

namespace fs = std::filesystem;
using test::Lines;
using test::ProgramTest;
using test::TProgram;

// An X server of the test's own (Xvfb), on the first free display; stopped with the object.
class TXServer {
public:
  TXServer() {
    int ready[2];
    if (::access(kXvfb, X_OK) != 0 || ::pipe2(ready, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, ready[1], 3);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_ = test::Spawn(kXvfb, {"-displayfd", "3", "-nolisten", "tcp"}, {}, &actions);
    posix_spawn_file_actions_destroy(&actions);
    ::close(ready[1]);
    // The server writes its display number and a line end once it takes clients. The pipe stays
    // open while it runs: a write to a pipe without a reader is fatal to it.
    ready_ = TDescriptor(ready[0]);
    std::string number;
    char c = 0;
    pollfd wait{ready[0], POLLIN, 0};
    while (pid_ > 0 && ::poll(&wait, 1, 20000) == 1 && ::read(ready[0], &c, 1) == 1 && c != '\n') number += c;
    if (c == '\n' && !number.empty()) display_ = ":" + number;
  }
  ~TXServer() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
  }
  TXServer(const TXServer&) = delete;
  TXServer& operator=(const TXServer&) = delete;

  // Empty when no server could be started.
  const std::string& Display() const { return display_; }

private:
  static constexpr const char* kXvfb = "/usr/bin/Xvfb";
  pid_t pid_ = -1;
  TDescriptor ready_;
  std::string display_;
};

// Whether this machine's GG port answers with the 12-byte greeting.
bool Greeted() {
  TDescriptor gg(test::ConnectLoopback(8074));
  char welcome[12];
  return gg.Valid() && ::recv(gg.Get(), welcome, sizeof(welcome), MSG_WAITALL) == 12;
}

TEST_F(ProgramTest, ADisplayThatCannotBeReachedGivesOneLineAndTheServerRunsHeadless) {
  // Elsewhere port 80 cannot be opened, and its warning would stand in the output.
  if (!PrivateNetwork) GTEST_SKIP() << "needs a network namespace of its own (root)";
  ASSERT_FALSE(fs::exists("/tmp/.X11-unix/X97"));
  size_t startLines = test::kFirstStartLines;
  for (const std::vector<std::string>& env :
       std::vector<std::vector<std::string>>{{"DISPLAY=:97"},
                                             {"QT_QPA_PLATFORM=xcb"},
                                             {"QT_QPA_PLATFORM=xcb", "DISPLAY=:97"},
                                             {"QT_QPA_PLATFORM=no-such-platform"},
                                             {"WAYLAND_DISPLAY=wayland-97"}}) {
    TProgram program(Home, {}, env);
    ASSERT_TRUE(program.ReadUntil([](const std::string& out, const std::string&) { return Lines(out) >= 3; }))
        << env[0] << program.Out << program.Err;
    EXPECT_EQ(program.Stop(SIGTERM), 0) << env[0];
    EXPECT_EQ(program.Err, "Ordwin: no display available; running without a window (--headless)\n") << env[0];
    EXPECT_EQ(Lines(program.Out), startLines) << env[0];
    startLines = test::kFirstStartLines - 1;  // the certificate is made once
  }
}

TEST_F(ProgramTest, ADisplayThatAnswersGetsTheWindowAndNothingIsPrinted) {
  if (!PrivateNetwork) GTEST_SKIP() << "needs a network namespace of its own (root)";
  TXServer x;
  if (x.Display().empty()) GTEST_SKIP() << "needs Xvfb (scripts/install-deps.sh --tests installs it)";
  // The sanitizer build would count what the toolkit's system libraries keep till exit.
  // Named whole: the compiler may be given the source by a relative name (ccache does that).
  const std::string leaks = std::string(ORDWIN_APP_TESTS_DIR) + "/SystemLeaks.supp";
  TProgram program(Home, {}, {"DISPLAY=" + x.Display(), "LSAN_OPTIONS=print_suppressions=0:suppressions=" + leaks});
  // The GG server greets once start-up is over; headless, the hints would be out by then.
  ASSERT_TRUE(program.ReadUntil([](const std::string&, const std::string&) { return Greeted(); }, 50)) << program.Err;
  EXPECT_EQ(program.Stop(SIGTERM), 0);
  EXPECT_EQ(program.Out, "");
  EXPECT_EQ(program.Err, "");
}

}  // namespace
}  // namespace ordwin
