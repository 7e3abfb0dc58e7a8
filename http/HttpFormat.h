// The texts of the HTTP replies that a connection composes itself: content types by file
// extension, dates in the form of a Last-Modified header, and the page of the 404 reply.
#pragma once

#include <string>

namespace ordwin {

// A date and time as days since 30 December 1899; the fraction is the time of day.
using TDateTime = double;

// Seconds since 1 January 1970 (UTC) as a TDateTime.
TDateTime UnixTimeToDateTime(double seconds);

// The content type for a file name in its Windows form: the extension is the text after the
// last "." that follows the last "\" or ":", without regard to letter case.
std::string MimeTypeOf(const std::string& fileName);

// "Mon, 05 Feb 2001 13:04:09" for 5 February 2001 13:04:09 (no zone is added).
std::string FormatHttpDate(TDateTime t);

// The body of the 404 reply for a request path. The path is shown as text: the characters that
// would make it markup are written as entities.
std::string NotFoundPage(const std::string& path);

}  // namespace ordwin
