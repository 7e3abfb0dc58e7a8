#include "http/DocumentFile.h"

#include <climits>
#include <cstdlib>
#include <memory>
#include <string_view>
#include <vector>

#include <sys/stat.h>

namespace ordwin {

namespace {

std::string DriveFolder(char letter) {
  std::string folder = ProgramDataFolder();
  if (folder.empty()) return folder;
  if (letter >= 'A' && letter <= 'Z') letter = static_cast<char>(letter - 'A' + 'a');
  return folder + "/" + letter;
}

bool IsDriveLetter(const std::string& name) {
  return name.size() >= 2 && name[1] == ':' &&
         ((name[0] >= 'a' && name[0] <= 'z') || (name[0] >= 'A' && name[0] <= 'Z'));
}

std::string RealPath(const std::string& name) {
  std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(name.c_str(), nullptr), &std::free);
  return resolved ? std::string(resolved.get()) : std::string();
}

}  // namespace

std::string ProgramDataFolder() {
  const char* data = std::getenv("XDG_DATA_HOME");
  const char* home = std::getenv("HOME");
  if (data != nullptr && data[0] == '/') return std::string(data) + "/Malvory/RIDuziva";
  if (home != nullptr && home[0] == '/') return std::string(home) + "/.local/share/Malvory/RIDuziva";
  return std::string();
}

std::string LocalFileName(const std::string& windowsName) {
  std::string local;
  std::string_view rest = windowsName;
  if (IsDriveLetter(windowsName)) {
    local = DriveFolder(windowsName[0]);
    if (local.empty()) return local;
    rest.remove_prefix(2);
    if (rest.empty() || (rest[0] != '\\' && rest[0] != '/')) local += '/';
  }
  for (char c : rest) local += c == '\\' ? '/' : c;
  return local;
}

std::string ResolveDocument(const std::string& docDir, const std::string& document) {
  std::string dir = docDir;
  for (char& c : dir)
    if (c == '/') c = '\\';
  if (document.compare(0, dir.size(), dir) != 0) return std::string();
  // A NUL would end the name early in the platform's calls, naming another file.
  if (document.find('\0') != std::string::npos) return std::string();
  std::string root = LocalFileName(docDir);
  if (root.empty()) return std::string();

  // ".." may climb back up inside DocDir, never out of it.
  std::vector<std::string_view> kept;
  std::string_view rest(document);
  rest.remove_prefix(dir.size());
  while (!rest.empty()) {
    size_t end = rest.find('\\');
    std::string_view segment = rest.substr(0, end);
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
    if (segment.empty() || segment == ".") continue;
    if (segment == "..") {
      if (kept.empty()) return std::string();
      kept.pop_back();
      continue;
    }
    kept.push_back(segment);
  }
  std::string candidate = root;
  for (std::string_view segment : kept) (candidate += '/') += segment;

  // Symbolic links: what the name finally is must still lie inside DocDir's own real folder.
  std::string realRoot = RealPath(root);
  std::string realFile = RealPath(candidate);
  if (realRoot.empty() || realFile.empty()) return std::string();
  if (realRoot.back() != '/') realRoot += '/';
  if (realFile.compare(0, realRoot.size(), realRoot) != 0) return std::string();
  struct stat st {};
  if (::stat(realFile.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::string();
  return realFile;
}

TDateTime FileLastWriteTime(const std::string& localName) {
  struct stat st {};
  if (::stat(localName.c_str(), &st) != 0) return 0;
  return UnixTimeToDateTime(static_cast<double>(st.st_mtim.tv_sec) + st.st_mtim.tv_nsec / 1e9);
}

}  // namespace ordwin
