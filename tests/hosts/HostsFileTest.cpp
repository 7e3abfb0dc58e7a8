#include "hosts/HostsFile.h"

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "hosts/HostNames.h"
#include "net/Exception.h"

namespace ordwin {
namespace {

namespace fs = std::filesystem;

const std::string kAd = "127.0.0.1\tadserver.gadu-gadu.pl\r\n";
const std::string kAll = kAd +
                         "127.0.0.1\tappmsg.gadu-gadu.pl\r\n"
                         "127.0.0.1\twww.gadu-gadu.pl\r\n"
                         "127.0.0.1\tupdate.gadu-gadu.pl\r\n";

class HostsFileTest : public ::testing::Test {
protected:
  void SetUp() override {
    char name[] = "/tmp/ordwin-hosts-XXXXXX";
    ASSERT_NE(::mkdtemp(name), nullptr);
    Dir = name;
    Path = (Dir / "hosts").string();
  }
  void TearDown() override { fs::remove_all(Dir); }

  void Write(const std::string& text) { std::ofstream(Path, std::ios::binary) << text; }
  std::string Read() const {
    std::ifstream in(Path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  size_t EntriesInFolder() const {
    return static_cast<size_t>(std::distance(fs::directory_iterator(Dir), fs::directory_iterator()));
  }

  fs::path Dir;
  std::string Path;
};

TEST(TextLinesTest, SplitsAtEveryLineEndAndWritesCrLfAfterEachLine) {
  EXPECT_EQ(SplitLines(""), TLines{});
  EXPECT_EQ(SplitLines("a"), TLines{"a"});
  EXPECT_EQ(SplitLines("a\r\nb\nc\rd"), (TLines{"a", "b", "c", "d"}));
  EXPECT_EQ(SplitLines("a\r\n"), TLines{"a"});
  EXPECT_EQ(SplitLines("\r\n"), TLines{""});
  EXPECT_EQ(SplitLines("a\n\rb"), (TLines{"a", "", "b"}));  // LF CR is two line ends
  EXPECT_EQ(SplitLines("a\r\r\nb"), (TLines{"a", "", "b"}));
  EXPECT_EQ(SplitLines(std::string("a\0b\n", 4)), TLines{std::string("a\0b", 3)});
  EXPECT_EQ(JoinLines({}), "");
  EXPECT_EQ(JoinLines({"a", "", "b"}), "a\r\n\r\nb\r\n");
}

TEST(RedirectHostTest, ReplacesEveryLineNamingTheHostWholeOrAppendsOne) {
  TLines lines = {"# adserver.gadu-gadu.pl is blocked", "10.0.0.1 x", "1.2.3.4 a adserver.gadu-gadu.pl b",
                  "ADSERVER.GADU-GADU.PL"};
  RedirectHost(lines, HostAdServer);
  EXPECT_EQ(lines, (TLines{"127.0.0.1\tadserver.gadu-gadu.pl", "10.0.0.1 x", "127.0.0.1\tadserver.gadu-gadu.pl",
                           "ADSERVER.GADU-GADU.PL"}));
  RedirectHost(lines, HostUpdate);
  EXPECT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines.back(), "127.0.0.1\tupdate.gadu-gadu.pl");
}

TEST_F(HostsFileTest, RedirectAllAppendsTheFourEntriesInOrderAndIsIdempotent) {
  Write("127.0.0.1 localhost\n::1 localhost\r\n# last line without end");
  RedirectHosts(Path, false);
  const std::string expected = "127.0.0.1 localhost\r\n::1 localhost\r\n# last line without end\r\n" + kAll;
  EXPECT_EQ(Read(), expected);
  RedirectHosts(Path, false);
  EXPECT_EQ(Read(), expected);
}

TEST_F(HostsFileTest, RedirectRewritesNamingLinesInPlaceAndIgnoresOtherLetterCase) {
  Write(
      "#127.0.0.1 www.gadu-gadu.pl\n"
      "1.1.1.1 appmsg.gadu-gadu.pl www.gadu-gadu.pl\n"
      "10.0.0.2 Update.Gadu-Gadu.pl\n"
      "9.9.9.9 appmsg.gadu-gadu.pl\n");
  RedirectHosts(Path, false);
  // The shared line becomes the entry of the first host it names; the comment that of its host.
  EXPECT_EQ(Read(),
            "127.0.0.1\twww.gadu-gadu.pl\r\n"
            "127.0.0.1\tappmsg.gadu-gadu.pl\r\n"
            "10.0.0.2 Update.Gadu-Gadu.pl\r\n"
            "127.0.0.1\tappmsg.gadu-gadu.pl\r\n" +
                kAd + "127.0.0.1\tupdate.gadu-gadu.pl\r\n");
}

TEST_F(HostsFileTest, AdsOnlyTouchesOnlyTheAdServerEntry) {
  Write("127.0.0.1 localhost\n");
  RedirectHosts(Path, true);
  EXPECT_EQ(Read(), "127.0.0.1 localhost\r\n" + kAd);

  RedirectHosts(Path, false);
  Write(Read() + "1.2.3.4 adserver.gadu-gadu.pl\n");
  RedirectHosts(Path, true);
  EXPECT_EQ(Read(), "127.0.0.1 localhost\r\n" + kAll + kAd);
}

TEST_F(HostsFileTest, RemoveDeletesOnlyLinesNamingTheFourHosts) {
  Write("127.0.0.1 localhost\n" + kAll +
        "# 10.1.1.1 www.gadu-gadu.pl\n"
        "10.0.0.3 gadu-gadu.pl\n"
        "10.0.0.4 ADSERVER.gadu-gadu.pl\n"
        "8.8.8.8 update.gadu-gadu.pl other.example");
  RemoveRedirections(Path);
  EXPECT_EQ(Read(), "127.0.0.1 localhost\r\n10.0.0.3 gadu-gadu.pl\r\n10.0.0.4 ADSERVER.gadu-gadu.pl\r\n");
  RemoveRedirections(Path);
  EXPECT_EQ(Read(), "127.0.0.1 localhost\r\n10.0.0.3 gadu-gadu.pl\r\n10.0.0.4 ADSERVER.gadu-gadu.pl\r\n");
}

TEST_F(HostsFileTest, AMissingFileIsReportedWithItsPathAndNotCreated) {
  for (auto run :
       {+[](const std::string& p) { RedirectHosts(p, false); }, +[](const std::string& p) { RemoveRedirections(p); }}) {
    try {
      run(Path);
      FAIL() << "no exception";
    } catch (const Exception& e) {
      EXPECT_EQ(e.Message(), "Cannot open file " + Path);
    }
    EXPECT_FALSE(fs::exists(Path));
  }
  fs::create_directory(Path);
  EXPECT_THROW(RedirectHosts(Path, false), Exception);
}

TEST_F(HostsFileTest, TheFileIsReplacedWholeKeepingItsModeAndLeavingNoTemporaryFile) {
  Write("127.0.0.1 localhost\n");
  ASSERT_EQ(::chmod(Path.c_str(), 0640), 0);
  struct stat before {};
  ASSERT_EQ(::stat(Path.c_str(), &before), 0);

  RedirectHosts(Path, false);

  struct stat after {};
  ASSERT_EQ(::stat(Path.c_str(), &after), 0);
  EXPECT_NE(after.st_ino, before.st_ino);  // a new file renamed into place, not rewritten in place
  EXPECT_EQ(after.st_mode & 07777, 0640u);
  EXPECT_EQ(after.st_uid, before.st_uid);
  EXPECT_EQ(EntriesInFolder(), 1u);
}

TEST_F(HostsFileTest, ALinkedFileIsRewrittenThroughTheLink) {
  const std::string target = (Dir / "real-hosts").string();
  std::ofstream(target, std::ios::binary) << "127.0.0.1 localhost\n";
  fs::create_symlink(target, Path);
  RedirectHosts(Path, true);
  EXPECT_TRUE(fs::is_symlink(Path));
  EXPECT_EQ(Read(), "127.0.0.1 localhost\r\n" + kAd);
  EXPECT_EQ(EntriesInFolder(), 2u);
}

TEST_F(HostsFileTest, AFolderThatTakesNoNewFileIsReportedAsCannotCreate) {
  // The proc file system refuses new files even to root, so the temporary file cannot be made.
  const std::string path = "/proc/self/status";
  try {
    RedirectHosts(path, false);
    FAIL() << "no exception";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Cannot create file " + path);
  }
}

// Read-only is the file's mode: root, whom every access check lets write, leaves it alone too.
TEST_F(HostsFileTest, AReadOnlyFileIsLeftAloneEvenForRoot) {
  Write("127.0.0.1 localhost\n");
  ASSERT_EQ(::chmod(Path.c_str(), 0444), 0);
  for (bool adsOnly : {false, true}) {
    try {
      RedirectHosts(Path, adsOnly);
      ADD_FAILURE() << "no exception";
    } catch (const Exception& e) {
      EXPECT_EQ(e.Message(), "Cannot create file " + Path);
    }
  }
  EXPECT_THROW(RemoveRedirections(Path), Exception);
  EXPECT_EQ(Read(), "127.0.0.1 localhost\n");
  EXPECT_EQ(EntriesInFolder(), 1u);
}

// Runs body in a child process with a mount namespace of its own; returns the child's exit
// status, or -1 where no such namespace can be made (not root).
int InMountNamespace(const std::function<int()>& body) {
  pid_t pid = ::fork();
  if (pid == 0) {
    if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) ::_exit(100);
    ::_exit(body());
  }
  int status = 0;
  if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -2;
  return WEXITSTATUS(status) == 100 ? -1 : WEXITSTATUS(status);
}

// Where the hosts file is a bind mount (as in containers) no file can be renamed over it: it is
// rewritten in place, keeping its owner and mode, and a write that cannot complete (the file
// system is full) leaves the old content whole.
TEST_F(HostsFileTest, ABindMountedFileIsRewrittenInPlaceAndKeptWholeWhenThatFails) {
  const std::string source = (Dir / "mounted").string();
  const std::string full = (Dir / "full").string();
  const std::string old = "127.0.0.1 localhost\r\n";
  Write("");
  int status = InMountNamespace([&] {
    std::ofstream(source, std::ios::binary) << old;
    if (::chmod(source.c_str(), 0604) != 0 || ::chown(source.c_str(), 1234, 5678) != 0) return 1;
    if (::mount(source.c_str(), Path.c_str(), nullptr, MS_BIND, nullptr) != 0) return 2;
    try {
      RedirectHosts(Path, false);
    } catch (const Exception&) {
      return 3;
    }
    struct stat st {};
    if (Read() != old + kAll || ::stat(Path.c_str(), &st) != 0) return 4;
    if ((st.st_mode & 07777) != 0604 || st.st_uid != 1234 || st.st_gid != 5678) return 5;

    // A file system with no room left for the longer content.
    fs::create_directory(full);
    if (::mount("ordwin-full", full.c_str(), "tmpfs", 0, "size=8k") != 0) return 6;
    const std::string small = full + "/hosts";
    const std::string text(4000, '#');
    std::ofstream(small, std::ios::binary) << text << "\n";
    std::ofstream(full + "/filler", std::ios::binary) << std::string(64 * 1024, 'f');
    if (::mount(small.c_str(), Path.c_str(), nullptr, MS_BIND, nullptr) != 0) return 7;
    try {
      RedirectHosts(Path, false);
      return 8;
    } catch (const Exception& e) {
      if (e.Message() != "Cannot create file " + Path) return 9;
    }
    return Read() == text + "\n" ? 0 : 10;
  });
  if (status == -1) GTEST_SKIP() << "needs a mount namespace of its own (root)";
  EXPECT_EQ(status, 0);
}

}  // namespace
}  // namespace ordwin
