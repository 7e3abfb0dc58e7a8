#include "hosts/HostsFile.h"

#include "hosts/HostNames.h"

namespace ordwin {

namespace {

bool Names(const std::string& line, std::string_view host) { return line.find(host) != std::string::npos; }

}  // namespace

std::string RedirectionEntry(std::string_view host) {
  std::string entry = "127.0.0.1\t";
  entry += host;
  return entry;
}

void RedirectHost(TLines& lines, std::string_view host) {
  bool found = false;
  for (std::string& line : lines) {
    if (Names(line, host)) {
      line = RedirectionEntry(host);
      found = true;
    }
  }
  if (!found) lines.push_back(RedirectionEntry(host));
}

void RedirectHosts(const std::string& path, bool adsOnly) {
  TLines lines = ReadLines(path);
  RedirectHost(lines, HostAdServer);
  if (!adsOnly) {
    RedirectHost(lines, HostServerAddress);
    RedirectHost(lines, HostWebSite);
    RedirectHost(lines, HostUpdate);
  }
  ReplaceLines(path, lines);
}

void RemoveRedirections(const std::string& path) {
  TLines lines = ReadLines(path);
  for (std::string_view host : kRedirectedHosts) {
    std::erase_if(lines, [host](const std::string& line) { return Names(line, host); });
  }
  ReplaceLines(path, lines);
}

}  // namespace ordwin
