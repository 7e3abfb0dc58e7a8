#include "gg/GgReader.h"

namespace ordwin {

uint64_t TGgReader::Number(size_t width) {
  std::string_view bytes = Take(width);
  uint64_t value = 0;
  for (size_t i = bytes.size(); i > 0; --i) value = (value << 8) | static_cast<unsigned char>(bytes[i - 1]);
  return value;
}

std::string_view TGgReader::Take(size_t count) {
  if (!ok_ || count > Left()) {
    ok_ = false;
    return {};
  }
  std::string_view run = data_.substr(at_, count);
  at_ += count;
  return run;
}

std::string_view TGgReader::TakeUntilNul() {
  size_t nul = ok_ ? data_.find('\0', at_) : std::string_view::npos;
  if (nul == std::string_view::npos) {
    ok_ = false;
    return {};
  }
  std::string_view run = data_.substr(at_, nul - at_);
  at_ = nul + 1;
  return run;
}

}  // namespace ordwin
