#include "hosts/HostsFile.h"

#include "hosts/HostNames.h"

namespace ordwin {

namespace {

bool Names(const std::string& Line, std::string_view Host) { return Line.find(Host) != std::string::npos; }

}  // namespace

std::string RedirectionEntry(std::string_view Host) {
  std::string entry = "127.0.0.1\t";
  entry += Host;
  return entry;
}

void RedirectHost(TLines& Lines, std::string_view Host) {
  bool found = false;
  for (std::string& line : Lines) {
    if (Names(line, Host)) {
      line = RedirectionEntry(Host);
      found = true;
    }
  }
  if (!found) Lines.push_back(RedirectionEntry(Host));
}

void RedirectHosts(const std::string& Path, bool AdsOnly) {
  TLines lines = ReadLines(Path);
  RedirectHost(lines, HostAdServer);
  if (!AdsOnly) {
    RedirectHost(lines, HostServerAddress);
    RedirectHost(lines, HostWebSite);
    RedirectHost(lines, HostUpdate);
  }
  ReplaceLines(Path, lines);
}

void RemoveRedirections(const std::string& Path) {
  TLines lines = ReadLines(Path);
  for (std::string_view host : kRedirectedHosts) {
    std::erase_if(lines, [host](const std::string& line) { return Names(line, host); });
  }
  ReplaceLines(Path, lines);
}

}  // namespace ordwin
