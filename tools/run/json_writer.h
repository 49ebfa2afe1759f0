// A small JSON writer for the report: objects, arrays, strings, whole numbers and booleans,
// indented by two blanks. The caller nests the calls properly; keys go before values in objects.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace serivane::run {

// The length of the valid UTF-8 sequence of two to four bytes at the start of `s`; 0 for an
// ASCII byte and for a byte that starts no valid sequence (a stray continuation byte, a cut or
// overlong sequence, a surrogate, a code above U+10FFFF).
std::size_t Utf8Length(std::string_view s);

class JsonWriter {
 public:
  JsonWriter& BeginObject();
  JsonWriter& EndObject();
  JsonWriter& BeginArray();
  JsonWriter& EndArray();
  JsonWriter& Key(std::string_view key);
  JsonWriter& String(std::string_view text);
  JsonWriter& Number(std::int64_t value);
  // A number with a fraction, shortest form that reads back the same; not finite gives null.
  JsonWriter& Real(double value);
  JsonWriter& Bool(bool value);
  JsonWriter& Null();

  // The text so far, ending in a line feed once the outermost value is closed.
  const std::string& Text() const { return text_; }

  // `text` as a JSON string with its quotes. Valid UTF-8 passes through; control characters,
  // quotes and backslashes are escaped, and a byte that is not part of valid UTF-8 is written as
  // the character of the same code (\u00XX), so that any bytes give valid JSON.
  static std::string Quote(std::string_view text);

 private:
  void BeforeValue();
  void Open(char bracket);
  void Close(char bracket);

  std::string text_;
  // One entry per open object or array: whether it has an element yet.
  std::vector<bool> has_element_;
  bool after_key_ = false;
};

}  // namespace serivane::run
