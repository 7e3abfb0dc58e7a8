#include "app/CertificateFile.h"

#include <cerrno>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "hosts/HostNames.h"
#include "net/Descriptor.h"
#include "net/Exception.h"
#include "net/TlsCertificate.h"

namespace ordwin {

namespace {

// A certificate with its chain and key is a few kilobytes; nothing this large is one.
constexpr off_t kLargestFile = 1 << 20;

[[noreturn]] void FailWithErrno(const char* what) { throw Exception(std::string(what) + ": " + std::strerror(errno)); }

// The whole file at path; false when there is none.
bool ReadWhole(const std::string& path, std::string& text) {
  TDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!file.Valid()) {
    if (errno == ENOENT) return false;
    FailWithErrno("cannot read the file");
  }
  struct stat status {};
  if (::fstat(file.Get(), &status) != 0) FailWithErrno("cannot read the file");
  if (!S_ISREG(status.st_mode)) throw Exception("not a regular file");
  if (status.st_size > kLargestFile) throw Exception("the file is too large");
  text.resize(static_cast<size_t>(status.st_size));
  size_t at = 0;
  while (at < text.size()) {
    ssize_t n = ::read(file.Get(), text.data() + at, text.size() - at);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) FailWithErrno("cannot read the file");
    if (n == 0) break;
    at += static_cast<size_t>(n);
  }
  text.resize(at);
  return true;
}

// Writes a new file at path, readable and writable by its owner only, whole or not at all;
// fails rather than replace a file that is there.
void WriteNew(const std::string& path, const std::string& text) {
  const std::string temporary = path + ".nowy";
  ::unlink(temporary.c_str());  // left by a start that stopped half-way
  TDescriptor file(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (!file.Valid()) FailWithErrno("cannot write the file");
  const bool written = WriteAll(file.Get(), text) && ::fsync(file.Get()) == 0 && file.Close() == 0;
  // Unlike rename, link never replaces a file that appeared meanwhile.
  const bool placed = written && ::link(temporary.c_str(), path.c_str()) == 0;
  const int error = errno;
  ::unlink(temporary.c_str());
  errno = error;
  if (!placed) FailWithErrno("cannot write the file");
}

}  // namespace

TCertificate LoadOrMakeCertificate(const std::string& path, const std::string& address) {
  TCertificate certificate;
  std::string text;
  if (!ReadWhole(path, text)) {
    std::vector<std::string> names{address};
    if (address != HostServerAddress) names.emplace_back(HostServerAddress);
    const TTlsCertificatePem made = MakeSelfSignedCertificate(names, kCertificateDays);
    text = made.Certificate + made.Key;
    WriteNew(path, text);
    certificate.Made = true;
  }
  // One file holds both: each part is looked for among its blocks.
  certificate.Context = TTlsContext::FromPem(text, text);
  return certificate;
}

}  // namespace ordwin
