#include "app/ConsoleView.h"

#include <string>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

namespace ordwin {
namespace {

// One end of a pipe that a test reads back without blocking.
class TPipe {
public:
  TPipe() { EXPECT_EQ(::pipe2(fds_, O_CLOEXEC | O_NONBLOCK), 0); }
  ~TPipe() {
    ::close(fds_[0]);
    ::close(fds_[1]);
  }
  int WriteEnd() const { return fds_[1]; }
  // What one read returns: a single write arrives whole.
  std::string ReadOnce() {
    char buffer[65536];
    ssize_t n = ::read(fds_[0], buffer, sizeof(buffer));
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
  }

private:
  int fds_[2];
};

TEST(ConsoleViewTest, LogBatchesAndHintsGoToStandardOutputEachInOneWrite) {
  TPipe out, err;
  TConsoleView view(out.WriteEnd(), err.WriteEnd());
  view.AppendLog("1 > a\n< b\nŁódź");
  EXPECT_EQ(out.ReadOnce(), "1 > a\n< b\nŁódź\n");
  view.AppendHint("");
  view.AppendHint("hint");
  EXPECT_EQ(out.ReadOnce(), "\nhint\n");
  EXPECT_EQ(err.ReadOnce(), "");
}

TEST(ConsoleViewTest, BoxesGoToStandardErrorWithTheirLineBreaks) {
  TPipe out, err;
  TConsoleView view(out.WriteEnd(), err.WriteEnd());
  view.ShowErrorBox("Early.");
  view.SetApplicationTitle("Ordwin");
  view.ShowErrorBox("Cannot open file /etc/hosts.");
  view.ShowMessageBox("Ostrzeżenie", "Nie udało się otworzyć portu 80 !\r\rNajprawdopodobniej\r\nkoniec");
  EXPECT_EQ(err.ReadOnce(),
            "Early.\n"
            "Ordwin: Cannot open file /etc/hosts.\n"
            "Ostrzeżenie: Nie udało się otworzyć portu 80 !\n\nNajprawdopodobniej\nkoniec\n");
  EXPECT_EQ(out.ReadOnce(), "");
}

}  // namespace
}  // namespace ordwin
