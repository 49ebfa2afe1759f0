// The JUnit report read from hand-made outcomes: what each suite and case says, the counts, the
// file rules, and well-formed XML 1.0 whatever bytes it quotes.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "tests/tools/utf8_reading.h"
#include "tools/run/junit.h"
#include "tools/run/report.h"

namespace serivane::run {
namespace {

namespace fs = std::filesystem;

// The XML this report uses, read apart from the writer: elements, attributes in double quotes,
// text, the five entities and character references, a declaration first. Throws on text that is
// not UTF-8, on a character XML 1.0 does not allow (raw or by reference), and on markup out of
// place. Attribute values and text are normalized as any XML reader does: a raw tab, line feed or
// carriage return in an attribute reads as a blank, a raw carriage return in text as a line feed.
struct Element {
  std::string name;
  std::map<std::string, std::string> attributes;
  std::vector<Element> children;
  std::string text;  // the text directly inside, all of it

  const std::string& At(const std::string& key) const {
    const auto a = attributes.find(key);
    if (a == attributes.end()) throw std::runtime_error(name + " has no " + key);
    return a->second;
  }
  std::vector<const Element*> All(std::string_view child) const {
    std::vector<const Element*> found;
    for (const Element& c : children)
      if (c.name == child) found.push_back(&c);
    return found;
  }
  const Element* First(std::string_view child) const {
    const auto found = All(child);
    return found.empty() ? nullptr : found.front();
  }
};

bool XmlChar(std::uint32_t c) {
  return c == 0x9 || c == 0xA || c == 0xD ||
         (c >= 0x20 && c <= 0xFFFD && (c < 0xD800 || c > 0xDFFF)) ||
         (c >= 0x10000 && c <= 0x10FFFF);
}

void Check(bool ok, const std::string& what) {
  if (!ok) throw std::runtime_error(what);
}

// `raw` with its references replaced and its blanks normalized.
std::string Decoded(const std::string& raw, bool attribute) {
  static const std::map<std::string, std::uint32_t> named = {
      {"amp", '&'}, {"lt", '<'}, {"gt", '>'}, {"quot", '"'}, {"apos", '\''}};
  static const std::regex number("#(x[0-9a-fA-F]{1,6}|[0-9]{1,7})");
  std::string out;
  for (std::size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] == '&') {
      const std::size_t end = raw.find(';', i);
      const std::string ref = raw.substr(i + 1, end - i - 1);
      std::uint32_t cp = 0;
      if (named.contains(ref)) {
        cp = named.at(ref);
      } else {
        Check(end != std::string::npos && std::regex_match(ref, number), "bad reference &" + ref);
        cp = static_cast<std::uint32_t>(ref[1] == 'x' ? std::stoul(ref.substr(2), nullptr, 16)
                                                      : std::stoul(ref.substr(1)));
        Check(XmlChar(cp), "a reference to a character XML does not allow: " + ref);
      }
      AppendUtf8(out, cp);
      i = end;
    } else if (attribute && (raw[i] == '\t' || raw[i] == '\n' || raw[i] == '\r')) {
      out += ' ';
    } else if (raw[i] == '\r') {
      out += '\n';
      if (i + 1 < raw.size() && raw[i + 1] == '\n') ++i;
    } else {
      out += raw[i];
    }
  }
  return out;
}

Element ReadXml(const std::string& xml) {
  for (const std::uint32_t c : DecodeUtf8(xml)) Check(XmlChar(c), "no XML character in the text");
  static const std::regex tag(R"(<(/?)([A-Za-z_][\w:.-]*)((?:\s+[\w:.-]+="[^"<]*")*)\s*(/?)>)");
  static const std::regex attribute(R"(([\w:.-]+)="([^"<]*)\")");
  const std::size_t start = xml.starts_with("<?xml") ? xml.find("?>") + 2 : 0;
  std::vector<Element> open(1);  // the elements not yet ended; the first holds the root
  auto at = xml.cbegin() + static_cast<std::ptrdiff_t>(start);
  for (std::sregex_iterator it(at, xml.cend(), tag), end; it != end; ++it) {
    const std::smatch& m = *it;
    const std::string text(at, m[0].first);
    at = m[0].second;
    Check(text.find('<') == std::string::npos, "markup out of place: " + text);
    Check(open.size() > 1 || text.find_first_not_of(" \n") == std::string::npos, "text outside");
    open.back().text += Decoded(text, false);
    if (m[1].length() > 0) {
      Check(open.size() > 1 && open.back().name == m[2].str(), "end tag of another element");
      Element done = std::move(open.back());
      open.pop_back();
      open.back().children.push_back(std::move(done));
      continue;
    }
    Element e{m[2].str(), {}, {}, {}};
    const std::string attributes = m[3].str();
    for (std::sregex_iterator a(attributes.begin(), attributes.end(), attribute), none; a != none;
         ++a)
      Check(e.attributes.emplace((*a)[1].str(), Decoded((*a)[2].str(), true)).second,
            "attribute twice");
    if (m[4].length() > 0) {
      open.back().children.push_back(std::move(e));
    } else {
      open.push_back(std::move(e));
    }
  }
  Check(open.size() == 1 && open[0].children.size() == 1, "not one whole root element");
  Check(std::string(at, xml.cend()).find_first_not_of(" \n") == std::string::npos, "text after it");
  return open[0].children[0];
}

RunFacts Facts() {
  return {"2026-12-07T09:15:02.125+01:00", "2026-12-07T09:15:04.000+01:00", "bench-3", false};
}

TestRecord Record(std::int16_t number, std::int64_t ms, std::vector<std::string> lines) {
  TestRecord t;
  t.number = number;
  t.runs = 1;
  t.kept.number = number;
  t.kept.passed = true;
  t.kept.duration_ms = ms;
  t.kept.lines = std::move(lines);
  return t;
}

PortOutcome Port(const std::string& port, const std::string& device) {
  PortOutcome o;
  o.port = port;
  o.name = port;
  o.device = device;
  o.opened = true;
  o.passes = 1;
  o.settings.SingleBytes = 20;
  o.settings.TestSelected = {};  // each case selects the tests it has
  return o;
}

CheckOutcome Outcome(const char* name, const char* title, std::vector<std::string> lines) {
  return {name, title, false, false, 0, std::move(lines), {}, {}, {}, {}};
}

std::map<std::string, std::string> Properties(const Element& suite) {
  std::map<std::string, std::string> found;
  for (const Element* p : suite.First("properties")->All("property"))
    found[p->At("name")] = p->At("value");
  return found;
}

std::string Joined(const std::map<std::string, std::string>& pairs) {
  std::string text;
  for (const auto& [key, value] : pairs) text += key + "=" + value + " ";
  return text;
}

std::vector<std::string> Names(const Element& suite) {
  std::vector<std::string> names;
  for (const Element* c : suite.All("testcase")) names.push_back(c->At("name"));
  return names;
}

TEST(Junit, APassedPortIsASuiteOfPassedCasesWithItsSettingsAndIdentity) {
  PortOutcome o = Port("COM3", "/dev/ttyUSB0");
  o.settings.BaudRate = 115200;
  o.identity.serial = "A1B2C3";
  o.identity.latency_timer_ms = 16;
  o.settings.TestSelected = {false, true, true, true, true, true};
  o.tests = {Record(1, 12, {"Open/Close --- OK   (Duration: 12ms)"}),
             Record(2, 68, {"Data Tx/Rx: 256 bytes send/received --- OK"}),
             Record(3, 1500, {"20 bytes Tx/Rx: Single bytes send/received --- OK  (1500ms)"}),
             Record(4, 100, {}), Record(5, 2, {})};
  const std::string xml = JunitXml({o}, Facts());
  ASSERT_TRUE(xml.starts_with(kJunitStart));
  const Element root = ReadXml(xml);
  EXPECT_EQ(root.name, "testsuites");
  EXPECT_EQ(Joined(root.attributes),
            "errors=0 failures=0 hostname=bench-3 name=serivane-run skipped=0 tests=5 time=1.682 "
            "timestamp=2026-12-07T09:15:02.125+01:00 ");
  ASSERT_EQ(root.All("testsuite").size(), 1u);
  const Element& suite = *root.First("testsuite");
  EXPECT_EQ(suite.At("name"), "COM3 (/dev/ttyUSB0)");
  EXPECT_EQ(suite.At("time"), "1.682");
  // No other identity known: none said.
  EXPECT_EQ(Joined(Properties(suite)),
            "device=/dev/ttyUSB0 interrupted=false latency_timer_ms=16 name=COM3 opened=true "
            "passes=1 port=COM3 serial_number=A1B2C3 settings=115200,N,8,1 ");
  std::string times;
  for (const Element* c : suite.All("testcase")) {
    times += c->At("time") + " ";
    EXPECT_EQ(c->At("classname"), "COM3.tests");
    EXPECT_FALSE(c->First("failure") || c->First("skipped"));
  }
  EXPECT_EQ(times, "0.012 0.068 1.500 0.100 0.002 ");
  EXPECT_EQ(suite.All("testcase")[1]->First("system-out")->text,
            "Data Tx/Rx: 256 bytes send/received --- OK\n");
}

TEST(Junit, AFailedTestCarriesItsFailedLineAndTheTestsDiagnosisNotTheChecks) {
  PortOutcome o = Port("loopback?cts=off", "loopback?cts=off");
  o.tests = {Record(2, 68, {"Data Tx/Rx: 256 bytes send/received --- OK"}),
             Record(4, 100,
                    {"RTS/CTS handshake: RTS/CTS= off --- OK",
                     "RTS/CTS handshake: RTS/CTS= on <-- FAILED"})};
  TestRecord& rts = o.tests[1];
  rts.runs = 3;
  rts.failures = 1;
  rts.kept.passed = false;
  rts.levels = {{false, false, false}, {true, false, false}};
  CheckOutcome brk =
      Outcome("break", "Break 250ms", {"Break 250ms: sent, nothing came back <-- FAILED"});
  brk.diagnosis = {"No break came back: TxD 3 (2) to RxD 2 (3)."};
  o.checks = {brk};
  const Element root = ReadXml(JunitXml({o}, Facts()));
  const Element& suite = *root.First("testsuite");
  EXPECT_EQ(suite.At("name"), "loopback?cts=off");  // the device is the port itself
  EXPECT_EQ(suite.At("tests"), "3");
  EXPECT_EQ(root.At("failures"), "2");
  EXPECT_EQ(suite.All("testcase")[0]->First("failure"), nullptr);
  const Element* failure = suite.All("testcase")[1]->First("failure");
  ASSERT_NE(failure, nullptr);
  EXPECT_EQ(failure->At("message"), "RTS/CTS handshake: RTS/CTS= on <-- FAILED");
  const std::string cts =
      "CTS does not follow RTS: RTS 7 (4) to CTS 8 (5), CTS stuck off (the wire is missing or "
      "broken).\n";
  EXPECT_EQ(failure->text,
            "RTS/CTS handshake: RTS/CTS= off --- OK\nRTS/CTS handshake: RTS/CTS= on <-- FAILED\n"
            "Failed in 1 of 3 runs; the lines are those of the first failed run.\n\n" +
                cts);
  // The port's whole diagnosis stands beside the suite.
  EXPECT_EQ(suite.First("system-out")->text, cts + "No break came back: TxD 3 (2) to RxD 2 (3).\n");
}

TEST(Junit, ChecksAreCasesWithTheirFiguresItemsAndDiagnosis) {
  PortOutcome o = Port("loopback", "loopback");
  CheckOutcome sweep = Outcome("sweep", "Sweep 9600 to 115200",
                               {"Sweep 9600 to 115200 <-- FAILED", "115200: refused"});
  sweep.duration_ms = 2345;
  sweep.diagnosis = {"The port refuses 115200 baud."};
  sweep.figures = {{"highest_passed_baud", std::int64_t{9600}}, {"ratio", 0.5}};
  sweep.items = {{{"baud", std::int64_t{9600}}, {"passed", true}},
                 {{"baud", std::int64_t{115200}}, {"result", std::string("refused")}}};
  CheckOutcome latency =
      Outcome("latency", "Latency 100 rounds", {"Latency 100 rounds: median 1.2ms --- OK"});
  latency.passed = true;
  latency.duration_ms = 40;
  CheckOutcome soak =
      Outcome("soak", "Soak 10m at 38400,N,8,1", {"Soak 10m at 38400,N,8,1: stopped after 12s"});
  soak.interrupted = true;
  o.checks = {sweep, latency, soak};
  // Which case failed, was skipped or passed, and its failure text: the end-to-end read-back.
  const Element suite = *ReadXml(JunitXml({o}, Facts())).First("testsuite");
  EXPECT_EQ(suite.At("failures") + suite.At("skipped") + suite.At("time"), "112.385");
  const auto cases = suite.All("testcase");
  EXPECT_EQ(cases[0]->At("classname"), "loopback.sweep");
  EXPECT_EQ(cases[0]->First("system-out")->text,
            "Sweep 9600 to 115200 <-- FAILED\n115200: refused\nhighest_passed_baud: 9600\n"
            "ratio: 0.5\nItem 1: baud=9600, passed=true\nItem 2: baud=115200, result=refused\n");
  ASSERT_NE(cases[2]->First("skipped"), nullptr);
  EXPECT_EQ(cases[2]->First("skipped")->At("message"),
            "stopped before it finished: Soak 10m at 38400,N,8,1: stopped after 12s");
}

TEST(Junit, APortThatCouldNotBeUsedIsAnErrorAndAStoppedOneSkipsItsTests) {
  PortOutcome unopened = Port("COM7", "/dev/ttyUSB7");
  unopened.opened = false;
  unopened.passes = 0;
  unopened.error = "Cannot open /dev/ttyUSB7: no such device";
  PortOutcome stopped = Port("loopback", "loopback");
  stopped.opened = false;
  stopped.interrupted = true;
  stopped.passes = 0;
  stopped.settings.TestSelected = {false, true, true, false, false, false};
  PortOutcome unwritten = Port("COM2", "loopback");
  unwritten.tests = {Record(1, 5, {"Open/Close --- OK   (Duration: 5ms)"})};
  unwritten.settings.TestSelected = {false, true, false, false, false, false};
  unwritten.result_file_error = "Result file error: cannot write /r.txt: No space left on device";
  const Element root = ReadXml(JunitXml({unopened, stopped, unwritten}, Facts()));
  EXPECT_EQ(root.At("tests") + root.At("errors") + root.At("skipped") + root.At("failures"),
            "5220");
  const auto suites = root.All("testsuite");
  ASSERT_EQ(suites.size(), 3u);
  // Several ports: each suite is named as the summary lines name the port.
  EXPECT_EQ(suites[0]->At("name"), "COM7 (/dev/ttyUSB7)");
  EXPECT_EQ(suites[0]->At("tests"), "1");  // no skipped tests beside the error
  const Element* error = suites[0]->First("testcase")->First("error");
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->At("message"), "Cannot open /dev/ttyUSB7: no such device");
  EXPECT_EQ(Properties(*suites[0]).at("opened"), "false");

  EXPECT_EQ(Names(*suites[1]), (std::vector<std::string>{"Close/Open port", "Data Tx/Rx"}));
  EXPECT_EQ(suites[1]->At("skipped"), "2");
  for (const Element* c : suites[1]->All("testcase"))
    EXPECT_EQ(c->First("skipped")->At("message"), "the run was stopped before this test ran");
  EXPECT_EQ(Properties(*suites[1]).at("interrupted"), "true");

  EXPECT_EQ(Names(*suites[2]), (std::vector<std::string>{"Close/Open port", "Result file"}));
  EXPECT_EQ(suites[2]->All("testcase")[1]->First("error")->At("message"),
            "Result file error: cannot write /r.txt: No space left on device");
}

// Whatever bytes it quotes, in attributes and in text, the report is well-formed XML 1.0 and
// reads back visibly: a control character as its control picture, a noncharacter as U+FFFD,
// bytes that are not UTF-8 (a lone byte, an overlong form, a surrogate) each as the Latin-1
// letter of its code, the blanks an attribute would lose as references.
TEST(Junit, AnyBytesGiveWellFormedXmlAndReadBackVisibly) {
  const std::string hostile = std::string("p\0\x01<&\"'>", 8) + "\xff\x80\r\n\t\xEF\xBF\xBF" +
                              "\xC0\xAF\xED\xA0\x80\xC3\xA9\xC2\x85]]>";
  const std::string seen =
      "p\u2400\u2401<&\"'>\u00ff\u0080\r\n\t\uFFFD\u00c0\u00af\u00ed\u00a0\u0080\u00e9\u0085]]>";
  PortOutcome o = Port(hostile, "/dev/" + hostile);
  o.result_file = "/tmp/" + hostile;
  o.tests = {Record(2, 1, {hostile, hostile})};
  o.settings.TestSelected[2] = true;
  o.tests[0].failures = 1;
  o.tests[0].kept.passed = false;
  o.error = hostile;
  RunFacts facts = Facts();
  facts.host = hostile;
  const std::string xml = JunitXml({o}, facts);
  Element root;
  ASSERT_NO_THROW(root = ReadXml(xml)) << xml;
  EXPECT_EQ(root.At("hostname"), seen);
  const Element& suite = *root.First("testsuite");
  EXPECT_EQ(suite.At("name"), seen + " (/dev/" + seen + ")");
  EXPECT_EQ(Properties(suite).at("result_file"), "/tmp/" + seen);
  const auto cases = suite.All("testcase");
  ASSERT_EQ(cases.size(), 2u);
  EXPECT_EQ(cases[0]->First("error")->At("message"), seen);
  EXPECT_EQ(cases[0]->First("error")->text, seen + "\n");
  EXPECT_EQ(cases[1]->At("classname"), seen + ".tests");
  EXPECT_EQ(cases[1]->First("failure")->text, seen + "\n" + seen + "\n");
}

// A file is replaced only when this program wrote it as a JUnit report (or it is empty); neither
// report replaces the other.
TEST(Junit, ReplacesOnlyItsOwnReports) {
  std::string pattern = (fs::temp_directory_path() / "serivane-junit-XXXXXX").string();
  ASSERT_NE(mkdtemp(pattern.data()), nullptr);
  const fs::path dir = pattern;
  const auto read = [&](const char* name) {
    std::ostringstream s;
    s << std::ifstream(dir / name, std::ios::binary).rdbuf();
    return s.str();
  };
  const std::string first = JunitXml({Port("loopback", "loopback")}, Facts());
  const std::string second = JunitXml({Port("COM2", "loopback")}, Facts());
  const std::string other = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites name=\"x\">";
  std::ofstream(dir / "empty.xml").close();
  std::ofstream(dir / "other.xml") << other;
  std::ostringstream out;
  EXPECT_EQ(WriteJunit(first, (dir / "r.xml").string(), out), "");
  EXPECT_EQ(WriteJunit(second, (dir / "r.xml").string(), out), "");
  EXPECT_EQ(WriteJunit(first, (dir / "empty.xml").string(), out), "");
  EXPECT_NE(WriteJunit(first, (dir / "other.xml").string(), out), "");
  EXPECT_NE(WriteReport("{}", (dir / "r.xml").string(), out), "");
  EXPECT_EQ(read("r.xml") + read("empty.xml") + read("other.xml"), second + first + other);
  fs::remove_all(dir);
}

}  // namespace
}  // namespace serivane::run
