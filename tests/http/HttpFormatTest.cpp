#include "http/HttpFormat.h"

#include <cstdlib>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "http/DocumentFile.h"
#include "tests/http/HttpTestServer.h"

namespace ordwin {
namespace {

TEST(HttpFormatTest, ContentTypesComeFromTheExtensionOfTheLastNameOnly) {
  const std::pair<const char*, const char*> cases[] = {
      {"c:\\wwwroot\\index.html", "text/html"},
      {"c:\\wwwroot\\A.HTM", "text/html"},
      {"c:\\x\\p.JPEG", "image/jpeg"},
      {"c:\\x\\p.jpg", "image/jpeg"},
      {"c:\\x\\p.gif", "image/gif"},
      {"c:\\x\\p.bmp", "image/bmp"},
      {"c:notes.txt", "text/plain"},
      {"c:\\x\\name.", "application/binary"},
      {"c:\\x\\archive.tar", "application/binary"},
      {"c:\\dir.html\\file", "application/binary"},  // the dot is the folder's
  };
  for (const auto& [name, type] : cases) EXPECT_EQ(MimeTypeOf(name), type) << name;
}

TEST(HttpFormatTest, DatesAreWrittenInTheLastModifiedForm) {
  const double feb5th2001 = 36927.0;  // days since 30 December 1899
  EXPECT_EQ(FormatHttpDate(feb5th2001 + (13 * 3600 + 4 * 60 + 9) / 86400.0), "Mon, 05 Feb 2001 13:04:09");
  EXPECT_EQ(FormatHttpDate(UnixTimeToDateTime(0)), "Thu, 01 Jan 1970 00:00:00");
  EXPECT_EQ(FormatHttpDate(UnixTimeToDateTime(1709251199)), "Thu, 29 Feb 2024 23:59:59");
  EXPECT_EQ(FormatHttpDate(UnixTimeToDateTime(1704067199.9996)), "Mon, 01 Jan 2024 00:00:00");
}

TEST(HttpFormatTest, TheNotFoundPageShowsThePathAsText) {
  EXPECT_EQ(NotFoundPage("/a?b"),
            "<HTML><HEAD><TITLE>404 Not Found</TITLE></HEAD><BODY><H1>404 Not Found</H1>The requested URL /a?b "
            "was not found on this server.<P></BODY></HTML>\r\n");
  EXPECT_NE(NotFoundPage("/<script>&\"").find("URL /&lt;script&gt;&amp;&quot; was"), std::string::npos);
}

TEST(HttpFormatTest, ADriveLetterStandsForAFolderOfTheUsersDataHome) {
  {
    test::TScopedEnv data("XDG_DATA_HOME", "/data/home");
    EXPECT_EQ(LocalFileName("c:\\wwwroot\\a\\b.html"), "/data/home/Malvory/RIDuziva/c/wwwroot/a/b.html");
    EXPECT_EQ(LocalFileName("D:x.txt"), "/data/home/Malvory/RIDuziva/d/x.txt");
    EXPECT_EQ(LocalFileName("\\srv\\www\\index.html"), "/srv/www/index.html");
  }
  test::TScopedEnv home("HOME", "/home/someone");
  test::TScopedEnv relative("XDG_DATA_HOME", "relative/not/used");
  EXPECT_EQ(LocalFileName("c:\\wwwroot"), "/home/someone/.local/share/Malvory/RIDuziva/c/wwwroot");
}

}  // namespace
}  // namespace ordwin
