// The report and the diagnosis read from outcomes alone, without a port: the report stays valid
// JSON whatever bytes it quotes, and each pattern of failures gives the sentences that name its
// wire.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "tests/tools/utf8_reading.h"
#include "tools/run/diagnosis.h"
#include "tools/run/report.h"

namespace serivane::run {
namespace {

// Every string of a JSON text (keys and values), decoded, in the order they stand; written apart
// from the writer. Throws on text that is not UTF-8 and on a string that is not JSON. (The
// reports' structure is read by the end-to-end cases.)
std::vector<std::string> JsonStrings(std::string_view s) {
  DecodeUtf8(s);
  std::vector<std::string> strings;
  for (std::size_t i = s.find('"'); i != std::string_view::npos; i = s.find('"', i)) {
    std::string out;
    for (++i;;) {
      if (i >= s.size()) throw std::runtime_error("open string");
      const auto c = static_cast<unsigned char>(s[i++]);
      if (c == '"') break;
      if (c < 0x20) throw std::runtime_error("raw control character");
      if (c != '\\') {
        out += static_cast<char>(c);
        continue;
      }
      const char e = i < s.size() ? s[i++] : '?';
      const std::string_view simple = "\"\\/bfnrt", meant = "\"\\/\b\f\n\r\t";
      if (simple.find(e) != std::string_view::npos) {
        out += meant[simple.find(e)];
      } else if (e == 'u' && i + 4 <= s.size()) {
        const auto cp =
            static_cast<std::uint32_t>(std::stoul(std::string(s.substr(i, 4)), nullptr, 16));
        if (cp >= 0xD800 && cp <= 0xDFFF) throw std::runtime_error("lone surrogate escape");
        AppendUtf8(out, cp);
        i += 4;
      } else {
        throw std::runtime_error("bad escape");
      }
    }
    strings.push_back(out);
  }
  return strings;
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
    ASSERT_NO_THROW(strings = JsonStrings(report)) << report;
    EXPECT_EQ(std::count(strings.begin(), strings.end(), decoded), 1 + 2 * 7) << report;
    EXPECT_GE(std::count(strings.begin(), strings.end(), "Open/Close --- OK"), 1);
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

// A handshake test's readings as "out in dcd" digits, one triple a reading: "000 110".
TestRecord Handshake(std::int16_t number, const std::string& readings) {
  TestRecord t = Record(number, 0);
  for (std::size_t i = 0; i + 2 < readings.size(); i += 4) {
    t.levels.push_back({readings[i] == '1', readings[i + 1] == '1', readings[i + 2] == '1'});
    if (readings[i] != readings[i + 1]) t.failures = 1;
  }
  t.kept.passed = t.failures == 0;
  return t;
}

// The diagnosis from the facts of a run, whatever its lines say. Each row: what else is known
// of the port ("slow": two slow opens, "lower ok" or "lower failed": the check at 9600 baud,
// "pty": no modem lines), the records, and a part of every sentence expected, in order.
TEST(Diagnosis, FromOutcomes) {
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
  const std::tuple<std::string, std::vector<TestRecord>, std::vector<std::string>> rows[] = {
      {"", {Record(1, 0), Record(2, 0, 256, 256), Record(3, 0, 20, 20)}, {}},
      {"", {Record(1, 1)}, {"The port did not open again"}},
      {"slow", {Record(1, 0)}, {"took longer than 2000 ms (2 times)"}},
      {"", {Record(2, 1, 256, 0), Record(3, 1, 20, 0)}, {"No character came back"}},
      {"", {Record(2, 1, 128, 0)}, {"No character came back"}},  // single bytes not run
      // One test got its echo: TxD and RxD are wired, something else is wrong.
      {"", {Record(2, 1, 256, 0), Record(3, 0, 20, 20)}, {}},
      {"", {Record(3, 1, 20, 21)}, {"More characters came back"}},
      {"", {Record(2, 1, 128, 129)}, {"More characters came back"}},
      {"", {Record(2, 1, 256, 255)}, {"Characters were lost or changed at 38400 baud:"}},
      {"lower ok", {Record(2, 1, 256, 256)}, {"at 38400 baud but not"}},
      {"lower failed", {Record(3, 1, 20, 19)}, {"at 38400 baud and at"}},
      // Single bytes are counted, not compared: all back and failed only with a line error.
      {"", {Record(3, 1, 100, 100)}, {}},
      {"", {frame}, {"Characters were lost or changed"}},
      {"", {Record(2, 1, 256)}, {}},  // refused before sending
      {"", {Handshake(4, "000 100")}, {"CTS does not follow RTS"}},
      {"", {Handshake(4, "010 110")}, {"CTS stays on when RTS is off"}},
      {"", {Handshake(4, "010 100")}, {"CTS is the opposite of RTS"}},
      {"", {Handshake(5, "000 111")}, {"DCD follows DTR: a full plug"}},
      {"", {Handshake(5, "000 101")}, {"DSR does not follow DTR", "so DTR 4 (20)"}},
      {"", {Handshake(5, "000 100")}, {"DSR does not follow DTR"}},
      {"", {Handshake(5, "001 111")}, {}},  // DSR fine, DCD stuck on
      {"pty", {Handshake(4, "000 100"), Handshake(5, "000 100")}, {"is a pseudo-terminal"}},
      {"", {gone}, {"Characters were lost or changed", "The device went away"}},
      {"", {gone_single}, {"The device went away"}},
      {"", {vanished}, {"The device went away"}},
      {"", {refused}, {"The port did not open again"}},
  };
  for (const auto& [facts, tests, expected] : rows) {
    SCOPED_TRACE(::testing::PrintToString(expected));
    PortOutcome o;
    o.opened = true;
    o.tests = tests;
    o.lower_rate = 9600;
    if (facts.starts_with("lower")) o.lower_rate_passed = facts == "lower ok";
    o.slow_opens = facts == "slow" ? 2 : 0;
    o.no_modem_lines = facts == "pty";
    const std::vector<std::string> said = Diagnose(o);
    ASSERT_EQ(said.size(), expected.size()) << ::testing::PrintToString(said);
    for (std::size_t i = 0; i < said.size(); ++i)
      EXPECT_NE(said[i].find(expected[i]), std::string::npos) << said[i];
    // A port that never opened has nothing to diagnose.
    o.opened = false;
    EXPECT_TRUE(Diagnose(o).empty());
  }
}

}  // namespace
}  // namespace serivane::run
