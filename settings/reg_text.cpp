#include "settings/reg_text.h"

#include <cctype>
#include <cstdio>
#include <ctime>

#include "common/text.h"
#include "settings/reg_result.h"

namespace serivane::settings {

namespace {

// A text that does not parse, and why.
RegResult<> Bad(std::string why) {
  return {RegCode::kBadHive, std::move(why)};
}

// Seconds from 1601-01-01 to 1970-01-01.
constexpr std::int64_t kEpochDifference = 11644473600;
constexpr std::int64_t kTicksPerSecond = 10000000;

constexpr std::string_view kRegedit5Header = "Windows Registry Editor Version 5.00";

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads a quoted text that starts at text[pos] == '"'. On success `pos` stands after the closing
// quote.
RegResult<std::string> ReadQuoted(std::string_view text, std::size_t& pos) {
  std::string out;
  ++pos;
  while (pos < text.size()) {
    const char c = text[pos];
    if (c == '"') {
      ++pos;
      return out;
    }
    if (c != '\\') {
      out += c;
      ++pos;
      continue;
    }
    if (pos + 1 >= text.size()) break;
    const char e = text[pos + 1];
    pos += 2;
    switch (e) {
      case '\\':
        out += '\\';
        break;
      case '"':
        out += '"';
        break;
      case 'n':
        out += '\n';
        break;
      case 'r':
        out += '\r';
        break;
      case 't':
        out += '\t';
        break;
      case 'x': {
        const int high = pos < text.size() ? HexDigit(text[pos]) : -1;
        const int low = pos + 1 < text.size() ? HexDigit(text[pos + 1]) : -1;
        if (high < 0 || low < 0) {
          return Bad("\\x must be followed by two hexadecimal digits");
        }
        out += static_cast<char>(high * 16 + low);
        pos += 2;
        break;
      }
      default:
        return Bad(std::string("unknown escape \\") + e);
    }
  }
  return Bad("missing closing quote");
}

// Splits the text into lines (LF or CR LF), keeping the 1-based number of each.
std::vector<std::string_view> SplitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    if (end == text.size()) break;
    start = end + 1;
  }
  return lines;
}

// The file time of a last-write line; nullopt when the text is not one.
std::optional<std::int64_t> ParseFileTimeText(std::string_view text) {
  // Exactly "YYYY-MM-DDThh:mm:ss" with an optional fraction of up to seven digits, then "Z".
  if (text.size() < 20 || text.back() != 'Z') return std::nullopt;
  auto number = [&](std::size_t at, std::size_t count) -> int {
    int value = 0;
    for (std::size_t i = at; i < at + count; ++i) {
      if (!std::isdigit(static_cast<unsigned char>(text[i]))) return -1;
      value = value * 10 + (text[i] - '0');
    }
    return value;
  };
  if (text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' || text[16] != ':')
    return std::nullopt;
  const int year = number(0, 4), month = number(5, 2), day = number(8, 2);
  const int hour = number(11, 2), minute = number(14, 2), second = number(17, 2);
  if (year < 1601 || month < 1 || month > 12 || day < 1 || day > 31 || hour < 0 || hour > 23 ||
      minute < 0 || minute > 59 || second < 0 || second > 59)
    return std::nullopt;
  std::int64_t fraction = 0;
  const std::string_view tail = text.substr(19, text.size() - 20);
  if (!tail.empty()) {
    if (tail[0] != '.' || tail.size() < 2 || tail.size() > 8) return std::nullopt;
    std::int64_t scale = kTicksPerSecond;
    for (std::size_t i = 1; i < tail.size(); ++i) {
      if (!std::isdigit(static_cast<unsigned char>(tail[i]))) return std::nullopt;
      scale /= 10;
      fraction += (tail[i] - '0') * scale;
    }
  }
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  const std::time_t seconds = timegm(&tm);
  return (static_cast<std::int64_t>(seconds) + kEpochDifference) * kTicksPerSecond + fraction;
}

// ";last-write=<time>[ class="<text>"]"
RegResult<> ParseKeyMeta(std::string_view rest, RegTextKey& key) {
  std::size_t space = rest.find(' ');
  const std::string_view time_text = rest.substr(0, space);
  const auto time = ParseFileTimeText(time_text);
  if (!time) return Bad("last-write time \"" + std::string(time_text) + "\" is not a time");
  key.last_write = time;
  if (space == std::string_view::npos) return RegOk();
  std::string_view tail = Trim(rest.substr(space));
  if (tail.empty()) return RegOk();
  constexpr std::string_view kClass = "class=";
  if (tail.substr(0, kClass.size()) != kClass || tail.size() <= kClass.size() ||
      tail[kClass.size()] != '"')
    return Bad("expected class=\"...\" after the last-write time");
  std::size_t pos = kClass.size();
  auto class_name = ReadQuoted(tail, pos);
  if (!class_name) return class_name.status();
  if (!Trim(tail.substr(pos)).empty()) return Bad("text after the class");
  key.class_name = std::move(*class_name);
  return RegOk();
}

// UTF-16LE bytes (no byte-order mark) as UTF-8; unpaired surrogates become U+FFFD.
std::string Utf16LeToUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size() / 2);
  auto unit = [&](std::size_t i) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])) |
           (static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8);
  };
  std::size_t i = 0;
  while (i + 1 < bytes.size()) {
    std::uint32_t code = unit(i);
    i += 2;
    if (code >= 0xD800 && code <= 0xDBFF) {
      if (i + 1 < bytes.size() && unit(i) >= 0xDC00 && unit(i) <= 0xDFFF) {
        code = 0x10000 + ((code - 0xD800) << 10) + (unit(i) - 0xDC00);
        i += 2;
      } else {
        code = 0xFFFD;
      }
    } else if (code >= 0xDC00 && code <= 0xDFFF) {
      code = 0xFFFD;
    }
    AppendUtf8(out, code);
  }
  return out;
}

void AppendHexEscape(std::string& out, unsigned char byte) {
  char buffer[8];
  std::snprintf(buffer, sizeof buffer, "\\x%02X", byte);
  out += buffer;
}

// Appends the escape of a control byte below 32 or 127; false for any other byte.
bool AppendControlEscape(std::string& out, char c) {
  const auto byte = static_cast<unsigned char>(c);
  switch (c) {
    case '\n':
      out += "\\n";
      return true;
    case '\r':
      out += "\\r";
      return true;
    case '\t':
      out += "\\t";
      return true;
    default:
      if (byte >= 32 && byte != 127) return false;
      AppendHexEscape(out, byte);
      return true;
  }
}

// The length of the well-formed UTF-8 sequence at text[i], or 0.
std::size_t Utf8SequenceLength(std::string_view text, std::size_t i) {
  const auto lead = static_cast<unsigned char>(text[i]);
  const std::size_t length = lead >= 0xF0 && lead <= 0xF4   ? 4
                             : lead >= 0xE0 && lead <= 0xEF ? 3
                             : lead >= 0xC2 && lead <= 0xDF ? 2
                                                            : 0;
  if (length == 0 || i + length > text.size()) return 0;
  for (std::size_t k = 1; k < length; ++k)
    if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return 0;
  return length;
}

// A key line "[path]" or "[-path]" into `entry`; the reason when it is none.
RegResult<> ParseKeyLine(std::string_view line, RegTextKey& entry) {
  const std::size_t close = line.rfind(']');
  if (close == std::string_view::npos || close == 0) return Bad("key line without closing \"]\"");
  if (!Trim(line.substr(close + 1)).empty()) return Bad("text after the key's \"]\"");
  std::string_view path = line.substr(1, close - 1);
  if (!path.empty() && path.front() == '-') {
    entry.remove = true;
    path.remove_prefix(1);
  }
  if (path.empty()) return Bad("key line without a key");
  entry.path = std::string(path);
  return RegOk();
}

// The value line lines[i] ("name"=data or @=data) into `value`; the reason when it is none. Hex
// data continued over the following lines leaves `i` on its last line.
RegResult<> ParseValueLine(const std::vector<std::string_view>& lines, std::size_t& i,
                           RegTextValue& value) {
  const std::string_view line = Trim(lines[i]);
  std::size_t pos = 0;
  if (line.front() == '@') {
    pos = 1;
  } else {
    auto name = ReadQuoted(line, pos);
    if (!name) return Bad("value name: " + name.detail());
    if (name->empty()) return Bad("empty value name (the unnamed value is written @)");
    value.name = std::move(*name);
  }
  while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
  if (pos >= line.size() || line[pos] != '=') return Bad("expected \"=\" after the value name");
  ++pos;
  while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
  const std::string_view data = line.substr(pos);
  if (!data.empty() && data.front() == '"') {
    std::size_t at = pos;
    auto text = ReadQuoted(line, at);
    if (!text) return Bad("value text: " + text.detail());
    if (!Trim(line.substr(at)).empty()) return Bad("text after the closing quote");
    value.text = std::move(*text);
  } else if (data == "-") {
    value.remove = true;
  } else {
    const std::size_t colon = data.find(':');
    const std::string_view type = data.substr(0, colon);
    const bool hex = type == "hex" || (type.substr(0, 4) == "hex(" && type.back() == ')');
    if (colon == std::string_view::npos || (type != "dword" && !hex))
      return Bad("value data must be \"text\", -, dword:... or hex...:...");
    value.type = std::string(type);
    // hex data continues on the next line after a trailing backslash.
    std::string_view tail = line;
    while (hex && !tail.empty() && tail.back() == '\\' && i + 1 < lines.size())
      tail = Trim(lines[++i]);
  }
  return RegOk();
}

}  // namespace

std::string EscapeForTerminal(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x80) {
      if (!AppendControlEscape(out, text[i])) out += text[i];
      ++i;
      continue;
    }
    const std::size_t length = Utf8SequenceLength(text, i);
    const bool c1_as_utf8 =
        length == 2 && byte == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0;
    if (length > 0 && !c1_as_utf8) {
      out.append(text.substr(i, length));
      i += length;
    } else if (c1_as_utf8) {
      AppendHexEscape(out, byte);
      AppendHexEscape(out, static_cast<unsigned char>(text[i + 1]));
      i += 2;
    } else {
      // Not UTF-8: an 8-bit terminal takes 80 to 9F as control characters.
      if (byte < 0xA0)
        AppendHexEscape(out, byte);
      else
        out += text[i];
      ++i;
    }
  }
  return out;
}

std::string EscapeRegText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    if (c == '\\')
      out += "\\\\";
    else if (c == '"')
      out += "\\\"";
    else if (!AppendControlEscape(out, c))
      out += c;
  }
  return out;
}

std::string FileTimeText(std::int64_t file_time) {
  if (file_time < 0) file_time = 0;
  const std::time_t seconds =
      static_cast<std::time_t>(file_time / kTicksPerSecond - kEpochDifference);
  const auto fraction = static_cast<long>(file_time % kTicksPerSecond);
  std::tm tm{};
  gmtime_r(&seconds, &tm);
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02d.%07ldZ", tm.tm_year + 1900,
                tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, fraction);
  return buffer;
}

std::int64_t FileTimeNow() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return (static_cast<std::int64_t>(now.tv_sec) + kEpochDifference) * kTicksPerSecond +
         now.tv_nsec / 100;
}

RegTextParse ParseRegText(std::string_view bytes) {
  RegTextParse result;
  std::string converted;
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
      static_cast<unsigned char>(bytes[1]) == 0xFE) {
    converted = Utf16LeToUtf8(bytes.substr(2));
    bytes = converted;
  } else if (bytes.size() >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF") {
    bytes.remove_prefix(3);
  }
  const std::vector<std::string_view> lines = SplitLines(bytes);
  auto fail = [&](std::size_t index, std::string message) {
    result.error = RegTextError{static_cast<int>(index + 1), std::move(message)};
    result.document = {};
    return result;
  };

  std::size_t i = 0;
  while (i < lines.size() && Trim(lines[i]).empty()) ++i;
  if (i == lines.size()) {
    result.error = RegTextError{0, "the file is empty"};
    return result;
  }
  const std::string_view header = Trim(lines[i]);
  if (header != kRegedit4Header && header != kRegedit5Header)
    return fail(
        i, "expected \"REGEDIT4\" or \"Windows Registry Editor Version 5.00\" as the first line");

  RegTextKey* key = nullptr;
  for (++i; i < lines.size(); ++i) {
    const std::string_view line = Trim(lines[i]);
    if (line.empty()) continue;
    if (line.front() == ';') {
      constexpr std::string_view kMeta = ";last-write=";
      if (line.substr(0, kMeta.size()) != kMeta) continue;
      if (key == nullptr) return fail(i, "last-write line outside of a key");
      if (auto meta = ParseKeyMeta(line.substr(kMeta.size()), *key); !meta)
        return fail(i, meta.detail());
      continue;
    }
    if (line.front() == '[') {
      RegTextKey entry;
      entry.line = static_cast<int>(i + 1);
      if (auto key_line = ParseKeyLine(line, entry); !key_line) return fail(i, key_line.detail());
      result.document.keys.push_back(std::move(entry));
      key = &result.document.keys.back();
      continue;
    }
    if (line.front() != '"' && line.front() != '@')
      return fail(i, "expected a key line \"[...]\", a value line or a comment");
    if (key == nullptr) return fail(i, "value line before the first key line");

    RegTextValue value;
    value.line = static_cast<int>(i + 1);
    if (auto value_line = ParseValueLine(lines, i, value); !value_line)
      return fail(i, value_line.detail());
    key->values.push_back(std::move(value));
  }
  return result;
}

}  // namespace serivane::settings
