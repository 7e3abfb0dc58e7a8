#include "hosts/TextLines.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

#include <string_view>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "net/Descriptor.h"
#include "net/Exception.h"

namespace ordwin {

namespace {

// A temporary file that is removed again unless it was renamed into place.
class TTempFile {
public:
  explicit TTempFile(std::string name) : name_(std::move(name)) {}
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

bool ReadAll(int fd, std::string& text) {
  char buffer[65536];
  for (off_t at = 0;;) {
    ssize_t n = ::pread(fd, buffer, sizeof(buffer), at);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    text.append(buffer, static_cast<size_t>(n));
    at += n;
  }
}

bool WriteAllAt(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::pwrite(fd, data.data() + done, data.size() - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// The security labels (extended attributes of the "security." namespace) of path, copied onto
// the new file; false when one cannot be copied. A file system without such attributes has
// none to copy.
bool CopySecurityLabels(const std::string& path, int to) {
  ssize_t size = ::listxattr(path.c_str(), nullptr, 0);
  if (size < 0) return errno == ENOTSUP;
  std::string names(static_cast<size_t>(size), '\0');
  size = ::listxattr(path.c_str(), names.data(), names.size());
  if (size < 0) return false;
  names.resize(static_cast<size_t>(size));
  for (size_t at = 0; at < names.size(); at = names.find('\0', at) + 1) {
    const char* name = names.c_str() + at;
    if (std::string_view(name).rfind("security.", 0) != 0) continue;
    ssize_t length = ::getxattr(path.c_str(), name, nullptr, 0);
    if (length < 0) return false;
    std::string value(static_cast<size_t>(length), '\0');
    length = ::getxattr(path.c_str(), name, value.data(), value.size());
    if (length < 0 || ::fsetxattr(to, name, value.data(), static_cast<size_t>(length), 0) != 0) return false;
  }
  return true;
}

// Writes text over the file's own bytes, for a file that no rename can replace (a bind mount,
// as containers have): owner, mode and label stay as they are. The room is claimed first, so
// that a full file system fails before a byte changes; a write that fails after that puts the
// old content back.
bool RewriteInPlace(const std::string& path, const std::string& text) {
  TDescriptor fd(::open(path.c_str(), O_RDWR | O_CLOEXEC));
  std::string old;
  if (fd.Get() < 0 || !ReadAll(fd.Get(), old)) return false;
  const off_t oldSize = static_cast<off_t>(old.size());
  if (text.size() > old.size() && ::posix_fallocate(fd.Get(), 0, static_cast<off_t>(text.size())) != 0) {
    struct stat now {};
    if (::fstat(fd.Get(), &now) == 0 && now.st_size != oldSize) (void)::ftruncate(fd.Get(), oldSize);
    return false;
  }
  if (WriteAllAt(fd.Get(), text) && ::ftruncate(fd.Get(), static_cast<off_t>(text.size())) == 0 &&
      ::fsync(fd.Get()) == 0)
    return fd.Close() == 0;
  // The old content needs no more room than it had.
  if (WriteAllAt(fd.Get(), old) && ::ftruncate(fd.Get(), oldSize) == 0) ::fsync(fd.Get());
  return false;
}

// The file that a rename must replace: the target of a symbolic link rather than the link.
std::string ResolvedPath(const std::string& path) {
  char resolved[PATH_MAX];
  if (::realpath(path.c_str(), resolved) != nullptr) return resolved;
  return path;
}

}  // namespace

TLines SplitLines(std::string_view text) {
  TLines lines;
  size_t start = 0;
  size_t i = 0;
  while (i < text.size()) {
    char c = text[i];
    if (c != '\r' && c != '\n') {
      ++i;
      continue;
    }
    lines.emplace_back(text.substr(start, i - start));
    i += (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ? 2 : 1;
    start = i;
  }
  if (start < text.size()) lines.emplace_back(text.substr(start));
  return lines;
}

std::string JoinLines(const TLines& lines) {
  std::string text;
  for (const std::string& line : lines) {
    text += line;
    text += "\r\n";
  }
  return text;
}

TLines ReadLines(const std::string& path) {
  TDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.Get() < 0) throw Exception("Cannot open file " + path);
  std::string text;
  char buffer[65536];
  for (;;) {
    ssize_t n = ::read(fd.Get(), buffer, sizeof(buffer));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw Exception("Cannot open file " + path);  // a folder, or an I/O error
    if (n == 0) break;
    text.append(buffer, static_cast<size_t>(n));
  }
  return SplitLines(text);
}

void ReplaceLines(const std::string& path, const TLines& lines) {
  const std::string failure = "Cannot create file " + path;
  const std::string target = ResolvedPath(path);

  // A file the user made read-only stays as it is, even where the folder would let us replace it.
  // Read-only is its mode: root, whom access() lets write anything, leaves it alone too.
  struct stat old {};
  bool exists = ::stat(target.c_str(), &old) == 0;
  if (exists && (!S_ISREG(old.st_mode) || (old.st_mode & 0222) == 0 || ::access(target.c_str(), W_OK) != 0))
    throw Exception(failure);
  const std::string text = JoinLines(lines);

  // Beside the file, so that the rename stays within one file system.
  size_t base = target.rfind('/') + 1;  // 0 when there is no folder part
  std::string name = target.substr(0, base) + "." + target.substr(base) + ".XXXXXX";
  int raw = ::mkostemp(name.data(), O_CLOEXEC);
  if (raw < 0) throw Exception(failure);
  TTempFile temp(name);
  TDescriptor fd(raw);

  if (exists) {
    if (::fchmod(fd.Get(), old.st_mode & 07777) != 0) throw Exception(failure);
    // Only a privileged process can hand the file back to its owner; others own what they write.
    if (::geteuid() == 0 && ::fchown(fd.Get(), old.st_uid, old.st_gid) != 0) throw Exception(failure);
    // A label the new file cannot carry is kept by writing the old file in place instead.
    if (!CopySecurityLabels(target, fd.Get())) {
      if (!RewriteInPlace(target, text)) throw Exception(failure);
      return;
    }
  } else if (::fchmod(fd.Get(), 0644) != 0) {
    throw Exception(failure);
  }
  if (!WriteAll(fd.Get(), text) || ::fsync(fd.Get()) != 0 || fd.Close() != 0) throw Exception(failure);
  if (::rename(temp.Name().c_str(), target.c_str()) == 0) return temp.Keep();
  // A bind-mounted file cannot be renamed over (EBUSY); it can be written in place.
  if (errno != EBUSY || !exists || !RewriteInPlace(target, text)) throw Exception(failure);
}

}  // namespace ordwin
