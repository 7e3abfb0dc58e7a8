// The hosts file's line rules: splitting, joining, redirecting and removing, in memory and
// through a file. Checks what must hold whatever the text: joining what was split splits the
// same again, a redirection twice is the same as once, and after the removal no line names
// one of the hosts.
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include <unistd.h>

#include "hosts/HostNames.h"
#include "hosts/HostsFile.h"
#include "hosts/TextLines.h"

namespace {

// A file of its own in memory, removed when the process ends.
struct TScratchFile {
  std::string Path;
  TScratchFile() {
    char name[] = "/dev/shm/ordwin-fuzz-hosts-XXXXXX";
    int fd = ::mkstemp(name);
    if (fd >= 0) ::close(fd);
    Path = name;
  }
  ~TScratchFile() { ::unlink(Path.c_str()); }
};

const std::string& FilePath() {
  static const TScratchFile file;
  return file.Path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace ordwin;
  std::string text(reinterpret_cast<const char*>(data), size);
  TLines lines = SplitLines(text);
  std::string joined = JoinLines(lines);
  if (SplitLines(joined) != lines) std::abort();

  TLines once = lines;
  for (std::string_view host : kRedirectedHosts) RedirectHost(once, host);
  TLines twice = once;
  for (std::string_view host : kRedirectedHosts) RedirectHost(twice, host);
  if (once != twice) std::abort();

  std::ofstream(FilePath(), std::ios::binary | std::ios::trunc) << text;
  RedirectHosts(FilePath(), size > 0 && (data[0] & 1));
  RemoveRedirections(FilePath());
  std::stringstream after;
  after << std::ifstream(FilePath(), std::ios::binary).rdbuf();
  for (const std::string& line : SplitLines(after.str()))
    for (std::string_view host : kRedirectedHosts)
      if (line.find(host) != std::string::npos) std::abort();
  return 0;
}
