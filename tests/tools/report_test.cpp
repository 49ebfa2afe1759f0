// The report and the diagnosis read from outcomes alone, without a port: the report stays valid
// JSON whatever bytes it quotes, and each pattern of failures gives the sentences that name its
// wire.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "tools/run/diagnosis.h"
#include "tools/run/report.h"

namespace serivane::run {
namespace {

// A strict reader of JSON text, written apart from the writer: it takes the text as a whole
// and answers every string value and key, decoded to UTF-8, in the order they stand; it throws
// on anything that is not JSON or not UTF-8.
class JsonReader {
 public:
  explicit JsonReader(std::string_view text) : s_(text) {
    CheckUtf8();
    Value();
    Blanks();
    if (i_ != s_.size()) Fail("text after the value");
  }
  std::vector<std::string> strings;

 private:
  [[noreturn]] void Fail(const std::string& what) const {
    throw std::runtime_error(what + " at byte " + std::to_string(i_));
  }
  void CheckUtf8() const {
    for (std::size_t k = 0; k < s_.size();) {
      const auto c = static_cast<unsigned char>(s_[k]);
      int more = c < 0x80             ? 0
                 : (c & 0xE0) == 0xC0 ? 1
                 : (c & 0xF0) == 0xE0 ? 2
                 : (c & 0xF8) == 0xF0 ? 3
                                      : -1;
      if (more < 0) throw std::runtime_error("not UTF-8 at byte " + std::to_string(k));
      std::uint32_t cp = more == 0 ? c : c & (0x3Fu >> more);
      for (int m = 1; m <= more; ++m) {
        if (k + m >= s_.size() || (static_cast<unsigned char>(s_[k + m]) & 0xC0) != 0x80)
          throw std::runtime_error("cut UTF-8 at byte " + std::to_string(k));
        cp = cp << 6 | (static_cast<unsigned char>(s_[k + m]) & 0x3Fu);
      }
      const std::uint32_t least[] = {0, 0x80, 0x800, 0x10000};
      if (cp < least[more] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        throw std::runtime_error("bad code point at byte " + std::to_string(k));
      k += static_cast<std::size_t>(more) + 1;
    }
  }
  void Blanks() {
    while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\n' || s_[i_] == '\r' || s_[i_] == '\t'))
      ++i_;
  }
  void Expect(char c) {
    Blanks();
    if (i_ >= s_.size() || s_[i_] != c) Fail(std::string("expected ") + c);
    ++i_;
  }
  void Value() {
    Blanks();
    if (i_ >= s_.size()) Fail("no value");
    const char c = s_[i_];
    if (c == '{') {
      Members('}', true);
    } else if (c == '[') {
      Members(']', false);
    } else if (c == '"') {
      strings.push_back(String());
    } else if (s_.substr(i_, 4) == "true" || s_.substr(i_, 4) == "null") {
      i_ += 4;
    } else if (s_.substr(i_, 5) == "false") {
      i_ += 5;
    } else {
      const std::size_t from = i_;
      if (s_[i_] == '-') ++i_;
      while (i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9') ++i_;
      if (i_ == from || s_[i_ - 1] == '-') Fail("bad value");
    }
  }
  void Members(char close, bool keyed) {
    ++i_;
    Blanks();
    if (i_ < s_.size() && s_[i_] == close) {
      ++i_;
      return;
    }
    for (;;) {
      if (keyed) {
        Blanks();
        if (i_ >= s_.size() || s_[i_] != '"') Fail("expected a key");
        strings.push_back(String());
        Expect(':');
      }
      Value();
      Blanks();
      if (i_ < s_.size() && s_[i_] == ',') {
        ++i_;
        continue;
      }
      Expect(close);
      return;
    }
  }
  std::string String() {
    ++i_;
    std::string out;
    for (;;) {
      if (i_ >= s_.size()) Fail("open string");
      const auto c = static_cast<unsigned char>(s_[i_++]);
      if (c == '"') return out;
      if (c < 0x20) Fail("raw control character");
      if (c != '\\') {
        out += static_cast<char>(c);
        continue;
      }
      if (i_ >= s_.size()) Fail("open escape");
      const char e = s_[i_++];
      const std::string_view simple = "\"\\/bfnrt", meant = "\"\\/\b\f\n\r\t";
      if (const std::size_t at = simple.find(e); at != std::string_view::npos) {
        out += meant[at];
      } else if (e == 'u' && i_ + 4 <= s_.size()) {
        const std::uint32_t cp =
            static_cast<std::uint32_t>(std::stoul(std::string(s_.substr(i_, 4)), nullptr, 16));
        i_ += 4;
        if (cp >= 0xD800 && cp <= 0xDFFF) Fail("lone surrogate escape");
        if (cp < 0x80) {
          out += static_cast<char>(cp);
        } else if (cp < 0x800) {
          out += static_cast<char>(0xC0 | (cp >> 6));
          out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
          out += static_cast<char>(0xE0 | (cp >> 12));
          out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
          out += static_cast<char>(0x80 | (cp & 0x3F));
        }
      } else {
        Fail("bad escape");
      }
    }
  }

  std::string_view s_;
  std::size_t i_ = 0;
};

bool Holds(const std::vector<std::string>& strings, const std::string& wanted) {
  return std::find(strings.begin(), strings.end(), wanted) != strings.end();
}

// Bytes that are not UTF-8 (a lone continuation byte, a cut sequence, an overlong form, an
// encoded surrogate, a byte no sequence starts with) and control characters, in every field a
// report quotes: each stands in the report as the character of the same code, so the report
// reads as JSON and keeps every byte. Valid UTF-8 passes as it is.
TEST(Report, AnyBytesGiveValidJson) {
  const std::pair<std::string, std::string> cases[] = {
      {"COM\xff", "COM\u00ff"},
      {"/dev/tty\x80", "/dev/tty\u0080"},
      {"cut \xE2\x82", "cut \u00e2\u0082"},
      {"overlong \xC0\xAF", "overlong \u00c0\u00af"},
      {"surrogate \xED\xA0\x80", "surrogate \u00ed\u00a0\u0080"},
      {"beyond \xF4\x90\x80\x80", "beyond \u00f4\u0090\u0080\u0080"},
      {"ctl \x01\x7f\t\"\\", "ctl \x01\x7f\t\"\\"},
      {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x94\x8C", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x94\x8C"},
  };
  for (const auto& [raw, decoded] : cases) {
    SCOPED_TRACE(raw);
    PortOutcome o;
    o.port = o.name = o.device = raw;
    o.identity.product = raw;
    o.error = raw;
    o.result_file = raw;
    o.opened = true;
    TestRecord t;
    t.number = 1;
    t.runs = 1;
    t.kept.lines = {raw, "Open/Close --- OK"};
    o.tests.push_back(t);
    RunFacts facts;
    facts.host = raw;
    const std::string report = ReportJson({o, o}, facts);
    std::vector<std::string> strings;
    try {
      strings = JsonReader(report).strings;
    } catch (const std::exception& e) {
      ADD_FAILURE() << e.what() << "\n" << report;
      continue;
    }
    EXPECT_EQ(std::count(strings.begin(), strings.end(), decoded), 1 + 2 * 7) << report;
    EXPECT_TRUE(Holds(strings, "Open/Close --- OK"));
  }
}

// One port's record of test `number`: `failures` of `runs`, the kept run sent `sent` and got
// `received` back.
TestRecord Record(std::int16_t number, int failures, std::int32_t sent = 0,
                  std::optional<std::int64_t> received = std::nullopt) {
  TestRecord t;
  t.number = number;
  t.runs = 1 + failures;
  t.failures = failures;
  t.kept.number = number;
  t.kept.passed = failures == 0;
  t.kept.sent = sent;
  t.kept.received = received;
  return t;
}

TestRecord Handshake(std::int16_t number, std::vector<engine::HandshakeLevels> levels) {
  TestRecord t = Record(number, 0);
  for (const auto& l : levels) {
    if (l.in != l.out) t.failures = 1;
  }
  t.kept.passed = t.failures == 0;
  t.levels = std::move(levels);
  return t;
}

// The diagnosis from the facts of a run, whatever its lines say. Each row: the records, and
// the start of every sentence expected, in order ("" none at all).
TEST(Diagnosis, FromOutcomes) {
  using L = engine::HandshakeLevels;
  struct Row {
    const char* what;
    std::vector<TestRecord> tests;
    std::vector<std::string> said;
    std::optional<bool> lower_rate_passed = std::nullopt;
    std::int32_t slow_opens = 0;
    bool no_modem_lines = false;
  };
  TestRecord frame = Record(3, 1, 100, 100);
  frame.events = {2, 1004};
  TestRecord gone = Record(2, 1, 256, 17);
  gone.events = {2, serial::kErDeviceGone};
  TestRecord gone_single = Record(3, 1, 100, 100);
  gone_single.events = {serial::kErDeviceGone};
  TestRecord vanished = Record(1, 1);
  vanished.kept.port_error = serial::kErrInvalidPortNumber;
  TestRecord refused = Record(1, 1);
  refused.kept.port_error = serial::kErrPortAlreadyOpen;
  const Row rows[] = {
      {"all passed", {Record(1, 0), Record(2, 0, 256, 256), Record(3, 0, 20, 20)}, {}},
      {"reopen fails", {Record(1, 1)}, {"The port did not open again"}},
      {"slow opens",
       {Record(1, 0)},
       {"Closing and opening the port took longer than 2000 ms (2 times)"},
       std::nullopt,
       2},
      {"no echo on both", {Record(2, 1, 256, 0), Record(3, 1, 20, 0)}, {"No character came back"}},
      {"no echo, single bytes not run", {Record(2, 1, 128, 0)}, {"No character came back"}},
      // One test got its echo: TxD and RxD are wired, something else is wrong.
      {"echo on one test", {Record(2, 1, 256, 0), Record(3, 0, 20, 20)}, {}},
      {"too many", {Record(3, 1, 20, 21)}, {"More characters came back"}},
      {"too many in the block", {Record(2, 1, 128, 129)}, {"More characters came back"}},
      {"lost, no check",
       {Record(2, 1, 256, 255)},
       {"Characters were lost or changed at 38400 baud:"}},
      {"changed",
       {Record(2, 1, 256, 256)},
       {"Characters were lost or changed at 38400 baud but not at 9600"},
       true},
      {"lost at both rates",
       {Record(3, 1, 20, 19)},
       {"Characters were lost or changed at 38400 baud and at 9600"},
       false},
      // Single bytes are counted, not compared: all back and failed only with a line error.
      {"all single bytes back", {Record(3, 1, 100, 100)}, {}},
      {"single bytes, framing error", {frame}, {"Characters were lost or changed"}},
      {"data test refused before sending", {Record(2, 1, 256)}, {}},
      {"RTS/CTS open",
       {Handshake(4, {L{false, false, false}, L{true, false, false}})},
       {"CTS does not follow RTS"}},
      {"RTS/CTS stuck on",
       {Handshake(4, {L{false, true, false}, L{true, true, false}})},
       {"CTS stays on when RTS is off"}},
      {"RTS/CTS crossed",
       {Handshake(4, {L{false, true, false}, L{true, false, false}})},
       {"CTS is the opposite of RTS"}},
      {"full plug",
       {Handshake(5, {L{false, false, false}, L{true, true, true}})},
       {"DCD follows DTR: a full plug"}},
      {"DSR open, DCD follows",
       {Handshake(5, {L{false, false, false}, L{true, false, true}})},
       {"DSR does not follow DTR", "DCD follows DTR, so DTR 4 (20) reaches the plug"}},
      {"DSR and DCD open",
       {Handshake(5, {L{false, false, false}, L{true, false, false}})},
       {"DSR does not follow DTR"}},
      {"DSR fine, DCD stuck on", {Handshake(5, {L{false, false, true}, L{true, true, true}})}, {}},
      {"pseudo-terminal",
       {Handshake(4, {L{false, false, false}, L{true, false, false}}),
        Handshake(5, {L{false, false, false}, L{true, false, false}})},
       {"The device is a pseudo-terminal"},
       std::nullopt,
       0,
       true},
      {"device gone", {gone}, {"Characters were lost or changed", "The device went away"}},
      {"device gone, all back", {gone_single}, {"The device went away"}},
      {"device gone before the reopen", {vanished}, {"The device went away"}},
      {"reopen refused, device there", {refused}, {"The port did not open again"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    PortOutcome o;
    o.opened = true;
    o.tests = row.tests;
    o.lower_rate = 9600;
    o.lower_rate_passed = row.lower_rate_passed;
    o.slow_opens = row.slow_opens;
    o.no_modem_lines = row.no_modem_lines;
    const std::vector<std::string> said = Diagnose(o);
    ASSERT_EQ(said.size(), row.said.size()) << ::testing::PrintToString(said);
    for (std::size_t i = 0; i < said.size(); ++i)
      EXPECT_TRUE(said[i].starts_with(row.said[i])) << said[i];
    // A port that never opened has nothing to diagnose.
    o.opened = false;
    EXPECT_TRUE(Diagnose(o).empty());
  }
}

}  // namespace
}  // namespace serivane::run
