// AllBytes: every byte value once, 0 to 255 in order, for the tests of the code page and of the
// texts made from it.
#pragma once

#include <string>

namespace ordwin::test {

inline std::string AllBytes() {
  std::string bytes;
  for (int b = 0; b < 256; ++b) bytes += static_cast<char>(b);
  return bytes;
}

}  // namespace ordwin::test
