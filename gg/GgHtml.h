// The HTML part of the newer GG messages: plain text wrapped as HTML for the clients that read
// only that part, and HTML read back as plain text for the clients and the log that need it.
#pragma once

#include <string>
#include <string_view>

namespace ordwin {

// UTF-8 text as HTML: special characters escaped, line ends as <br>, inside one <span>, so that
// even an empty text gives a part that is not empty.
std::string TextToHtml(std::string_view utf8);

// The text of UTF-8 HTML: tags dropped, <br> as a line end, character references decoded (an
// unknown or malformed one is kept as it stands).
std::string HtmlToText(std::string_view html);

}  // namespace ordwin
