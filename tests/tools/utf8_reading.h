// UTF-8 for the readers of the reports in these tests, written apart from the program's own.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace serivane::run {

// The code points of `s`; throws on anything that is not UTF-8 (a cut or overlong sequence, a
// surrogate, a code point beyond U+10FFFF).
inline std::vector<std::uint32_t> DecodeUtf8(std::string_view s) {
  std::vector<std::uint32_t> cps;
  for (std::size_t k = 0; k < s.size();) {
    const auto c = static_cast<unsigned char>(s[k]);
    const int more = c < 0x80             ? 0
                     : (c & 0xE0) == 0xC0 ? 1
                     : (c & 0xF0) == 0xE0 ? 2
                     : (c & 0xF8) == 0xF0 ? 3
                                          : -1;
    if (more < 0) throw std::runtime_error("not UTF-8 at byte " + std::to_string(k));
    std::uint32_t cp = more == 0 ? c : c & (0x3Fu >> more);
    for (int m = 1; m <= more; ++m) {
      if (k + m >= s.size() || (static_cast<unsigned char>(s[k + m]) & 0xC0) != 0x80)
        throw std::runtime_error("cut UTF-8 at byte " + std::to_string(k));
      cp = cp << 6 | (static_cast<unsigned char>(s[k + m]) & 0x3Fu);
    }
    const std::uint32_t least[] = {0, 0x80, 0x800, 0x10000};
    if (cp < least[more] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
      throw std::runtime_error("bad code point at byte " + std::to_string(k));
    cps.push_back(cp);
    k += static_cast<std::size_t>(more) + 1;
  }
  return cps;
}

inline void AppendUtf8(std::string& out, std::uint32_t cp) {
  const int more = cp < 0x80 ? 0 : cp < 0x800 ? 1 : cp < 0x10000 ? 2 : 3;
  const unsigned lead[] = {0x00, 0xC0, 0xE0, 0xF0};
  out += static_cast<char>(lead[more] | (cp >> (6 * more)));
  for (int m = more - 1; m >= 0; --m) out += static_cast<char>(0x80 | ((cp >> (6 * m)) & 0x3F));
}

}  // namespace serivane::run
