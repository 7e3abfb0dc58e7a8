#include "http/HttpFormat.h"

#include <cmath>
#include <cstdio>
#include <ctime>

namespace ordwin {

namespace {

constexpr double kUnixEpochDays = 25569.0;  // 1 January 1970 as a TDateTime
constexpr double kSecondsPerDay = 86400.0;

char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

TDateTime UnixTimeToDateTime(double seconds) { return kUnixEpochDays + seconds / kSecondsPerDay; }

std::string MimeTypeOf(const std::string& fileName) {
  size_t dot = fileName.find_last_of(".\\:");
  std::string ext;
  if (dot != std::string::npos && fileName[dot] == '.') {
    for (size_t i = dot; i < fileName.size(); ++i) ext += LowerAscii(fileName[i]);
    if (ext.size() > 1) ext.erase(0, 1);
  }
  if (ext == "htm" || ext == "html") return "text/html";
  if (ext == "gif") return "image/gif";
  if (ext == "bmp") return "image/bmp";
  if (ext == "jpg" || ext == "jpeg") return "image/jpeg";
  if (ext == "txt") return "text/plain";
  return "application/binary";
}

std::string FormatHttpDate(TDateTime t) {
  // Whole seconds, rounded as the date-time's own millisecond precision does.
  double millis = std::round((t - kUnixEpochDays) * kSecondsPerDay * 1000.0);
  time_t seconds = static_cast<time_t>(std::floor(millis / 1000.0));
  tm parts{};
  if (::gmtime_r(&seconds, &parts) == nullptr) return std::string();
  static constexpr char kDays[] = "MonTueWedThuFriSatSun";
  static constexpr char kMonths[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
  int weekday = (parts.tm_wday + 6) % 7;  // Monday first
  char text[64];
  std::snprintf(text, sizeof(text), "%.3s, %2.2d %.3s %4.4d %2.2d:%2.2d:%2.2d", kDays + 3 * weekday, parts.tm_mday,
                kMonths + 3 * parts.tm_mon, parts.tm_year + 1900, parts.tm_hour, parts.tm_min, parts.tm_sec);
  return text;
}

std::string NotFoundPage(const std::string& path) {
  std::string page = "<HTML><HEAD><TITLE>404 Not Found</TITLE></HEAD><BODY><H1>404 Not Found</H1>The requested URL ";
  for (char c : path) {
    switch (c) {
      case '&':
        page += "&amp;";
        break;
      case '<':
        page += "&lt;";
        break;
      case '>':
        page += "&gt;";
        break;
      case '"':
        page += "&quot;";
        break;
      default:
        page += c;
    }
  }
  page += " was not found on this server.<P></BODY></HTML>\r\n";
  return page;
}

}  // namespace ordwin
