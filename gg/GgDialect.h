// The generations of the GG protocol a connection may speak. Its login packet chooses one: 21
// gives 6.0, 0x31 gives 8.0, 0x83 gives 11. A connection speaks 6.0 until it logs in.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace ordwin {

enum TGgDialect : uint8_t { gdGg60, gdGg80, gdGg110 };

// A set of dialects, one bit each.
constexpr uint8_t DialectBit(TGgDialect dialect) { return static_cast<uint8_t>(1u << dialect); }

// 6.0 texts are Windows-1250; the newer dialects carry UTF-8 and read the 8.0 server packets.
constexpr bool IsNewer(TGgDialect dialect) { return dialect != gdGg60; }

// Text, held as Windows-1250 or as UTF-8, in the encoding the dialect reads.
std::string TextFor(TGgDialect dialect, std::string_view text, bool textIsUtf8);

}  // namespace ordwin
