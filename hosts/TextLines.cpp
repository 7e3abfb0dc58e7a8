#include "hosts/TextLines.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "net/Exception.h"

namespace ordwin {

namespace {

// Owns one descriptor; closing is the destructor's job unless Close is called to see its result.
class TFd {
public:
  explicit TFd(int Fd) : fd_(Fd) {}
  ~TFd() { Close(); }
  TFd(const TFd&) = delete;
  TFd& operator=(const TFd&) = delete;
  int Get() const { return fd_; }
  bool Close() {
    if (fd_ < 0) return true;
    int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }

private:
  int fd_;
};

// A temporary file that is removed again unless it was renamed into place.
class TTempFile {
public:
  explicit TTempFile(std::string Name) : name_(std::move(Name)) {}
  ~TTempFile() {
    if (!kept_) ::unlink(name_.c_str());
  }
  TTempFile(const TTempFile&) = delete;
  TTempFile& operator=(const TTempFile&) = delete;
  const std::string& Name() const { return name_; }
  void Keep() { kept_ = true; }

private:
  std::string name_;
  bool kept_ = false;
};

bool WriteAll(int Fd, const std::string& Data) {
  size_t done = 0;
  while (done < Data.size()) {
    ssize_t n = ::write(Fd, Data.data() + done, Data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// The file that a rename must replace: the target of a symbolic link rather than the link.
std::string ResolvedPath(const std::string& Path) {
  char resolved[PATH_MAX];
  if (::realpath(Path.c_str(), resolved) != nullptr) return resolved;
  return Path;
}

}  // namespace

TLines SplitLines(std::string_view Text) {
  TLines lines;
  size_t start = 0;
  size_t i = 0;
  while (i < Text.size()) {
    char c = Text[i];
    if (c != '\r' && c != '\n') {
      ++i;
      continue;
    }
    lines.emplace_back(Text.substr(start, i - start));
    i += (c == '\r' && i + 1 < Text.size() && Text[i + 1] == '\n') ? 2 : 1;
    start = i;
  }
  if (start < Text.size()) lines.emplace_back(Text.substr(start));
  return lines;
}

std::string JoinLines(const TLines& Lines) {
  std::string text;
  for (const std::string& line : Lines) {
    text += line;
    text += "\r\n";
  }
  return text;
}

TLines ReadLines(const std::string& Path) {
  TFd fd(::open(Path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.Get() < 0) throw Exception("Cannot open file " + Path);
  std::string text;
  char buffer[65536];
  for (;;) {
    ssize_t n = ::read(fd.Get(), buffer, sizeof(buffer));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw Exception("Cannot open file " + Path);  // a folder, or an I/O error
    if (n == 0) break;
    text.append(buffer, static_cast<size_t>(n));
  }
  return SplitLines(text);
}

void ReplaceLines(const std::string& Path, const TLines& Lines) {
  const std::string failure = "Cannot create file " + Path;
  const std::string target = ResolvedPath(Path);

  // A file the user made read-only stays as it is, even where the folder would let us replace it.
  struct stat old {};
  bool exists = ::stat(target.c_str(), &old) == 0;
  if (exists && (!S_ISREG(old.st_mode) || ::access(target.c_str(), W_OK) != 0)) throw Exception(failure);

  // Beside the file, so that the rename stays within one file system.
  size_t base = target.rfind('/') + 1;  // 0 when there is no folder part
  std::string name = target.substr(0, base) + "." + target.substr(base) + ".XXXXXX";
  int raw = ::mkostemp(name.data(), O_CLOEXEC);
  if (raw < 0) throw Exception(failure);
  TTempFile temp(name);
  TFd fd(raw);

  if (exists) {
    if (::fchmod(fd.Get(), old.st_mode & 07777) != 0) throw Exception(failure);
    // Only a privileged process can hand the file back to its owner; others own what they write.
    if (::geteuid() == 0 && ::fchown(fd.Get(), old.st_uid, old.st_gid) != 0) throw Exception(failure);
  } else if (::fchmod(fd.Get(), 0644) != 0) {
    throw Exception(failure);
  }
  if (!WriteAll(fd.Get(), JoinLines(Lines)) || ::fsync(fd.Get()) != 0 || !fd.Close()) throw Exception(failure);
  if (::rename(temp.Name().c_str(), target.c_str()) != 0) throw Exception(failure);
  temp.Keep();
}

}  // namespace ordwin
