#include "gg/GgHtml.h"

#include <string>

#include <gtest/gtest.h>

namespace ordwin {
namespace {

TEST(GgHtmlTest, TextBecomesHtmlThatReadsBackAsTheSameText) {
  EXPECT_EQ(TextToHtml(""), "<span></span>");
  EXPECT_EQ(TextToHtml("a<b>&\"c'"), "<span>a&lt;b&gt;&amp;&quot;c&apos;</span>");
  EXPECT_EQ(TextToHtml("1\r\n2\n3\r4"), "<span>1<br>2<br>3<br>4</span>");
  for (const std::string text : {"", "zażółć gęślą jaźń", "Привет 😀", "x < y && y > \"z\"", "a\nb", "&lt; stays"})
    EXPECT_EQ(HtmlToText(TextToHtml(text)), text);
}

TEST(GgHtmlTest, HtmlReadsAsItsText) {
  EXPECT_EQ(HtmlToText("<span style=\"color:#000000; \"><b>Wiadomość<br>testowa</b><img name=\"45fb\"></span>"),
            "Wiadomość\ntestowa");
  EXPECT_EQ(HtmlToText("a<BR/>b<br />c<bra>d"), "a\nb\ncd");
  EXPECT_EQ(HtmlToText("&#260;&#x105;&nbsp;&quot;&apos;&lt;&gt;&amp;"), "Ąą\u00A0\"'<>&");
  // What is not a known reference stays as written.
  EXPECT_EQ(HtmlToText("&unknown; &#; &#xZZ; &#0; &#xD800; &#1114112; & &amp"),
            "&unknown; &#; &#xZZ; &#0; &#xD800; &#1114112; & &amp");
  EXPECT_EQ(HtmlToText("tekst <span"), "tekst ");  // a tag cut short
  // Each '&' looks no further than a reference reaches: megabytes of them read in one pass
  // (searched to the end from every one, these took hours).
  const std::string ampersands(4 << 20, '&');
  EXPECT_EQ(HtmlToText(ampersands + "&amp;"), ampersands + "&");
}

}  // namespace
}  // namespace ordwin
