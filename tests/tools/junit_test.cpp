// The JUnit report read from hand-made outcomes: what each suite and case says, the counts, the
// file rules, and well-formed XML 1.0 whatever bytes it quotes.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "tools/run/junit.h"
#include "tools/run/report.h"

namespace serivane::run {
namespace {

namespace fs = std::filesystem;

// A strict reader of the XML this report uses, written apart from the writer: elements,
// attributes in double quotes, text, the five entities and character references, a declaration
// first. It throws on text that is not UTF-8, on a character XML 1.0 does not allow (raw or by
// reference), and on markup out of place. Attribute values and text are normalized as any XML
// reader does: a raw tab, line feed or carriage return in an attribute reads as a blank, a raw
// carriage return in text as a line feed.
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

class XmlReader {
 public:
  explicit XmlReader(std::string_view text) {
    Decode(text);
    if (Starts("<?xml")) {
      while (!Starts("?>")) Next();
      i_ += 2;
    }
    Blanks();
    root = ReadElement();
    Blanks();
    if (i_ != cps_.size()) Fail("text after the root element");
  }
  Element root;

 private:
  [[noreturn]] void Fail(const std::string& what) const {
    throw std::runtime_error(what + " at character " + std::to_string(i_));
  }
  static bool XmlChar(std::uint32_t c) {
    return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
           (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
  }
  void Decode(std::string_view s) {
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
      if (cp < least[more]) throw std::runtime_error("overlong UTF-8 at byte " + std::to_string(k));
      if (!XmlChar(cp)) throw std::runtime_error("no XML character at byte " + std::to_string(k));
      cps_.push_back(cp);
      k += static_cast<std::size_t>(more) + 1;
    }
  }
  static void Append(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  bool Starts(std::string_view ascii) const {
    if (i_ + ascii.size() > cps_.size()) return false;
    for (std::size_t k = 0; k < ascii.size(); ++k)
      if (cps_[i_ + k] != static_cast<unsigned char>(ascii[k])) return false;
    return true;
  }
  std::uint32_t Next() {
    if (i_ >= cps_.size()) Fail("unexpected end");
    return cps_[i_++];
  }
  static bool Blank(std::uint32_t c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
  void Blanks() {
    while (i_ < cps_.size() && Blank(cps_[i_])) ++i_;
  }
  std::string Name() {
    std::string name;
    while (i_ < cps_.size() && (std::isalnum(static_cast<int>(cps_[i_])) || cps_[i_] == '-' ||
                                cps_[i_] == '_' || cps_[i_] == ':'))
      name += static_cast<char>(cps_[i_++]);
    if (name.empty()) Fail("expected a name");
    return name;
  }
  // After '&': the character it stands for.
  std::uint32_t Reference() {
    std::string ref;
    for (std::uint32_t c = Next(); c != ';'; c = Next()) {
      if (ref.size() > 10) Fail("runaway reference");
      ref += static_cast<char>(c);
    }
    static const std::map<std::string, std::uint32_t> named = {
        {"amp", '&'}, {"lt", '<'}, {"gt", '>'}, {"quot", '"'}, {"apos", '\''}};
    if (const auto n = named.find(ref); n != named.end()) return n->second;
    if (ref.size() < 2 || ref[0] != '#') Fail("unknown entity &" + ref + ";");
    const bool hex = ref[1] == 'x';
    const std::string digits = ref.substr(hex ? 2 : 1);
    if (digits.empty() || digits.find_first_not_of(hex ? "0123456789abcdefABCDEF" : "0123456789") !=
                              std::string::npos)
      Fail("bad character reference");
    const std::uint32_t cp = static_cast<std::uint32_t>(std::stoul(digits, nullptr, hex ? 16 : 10));
    if (!XmlChar(cp)) Fail("reference to a character XML does not allow");
    return cp;
  }
  Element ReadElement() {
    if (Next() != '<') Fail("expected <");
    Element e;
    e.name = Name();
    for (;;) {
      const bool blank = i_ < cps_.size() && Blank(cps_[i_]);
      Blanks();
      if (Starts("/>")) {
        i_ += 2;
        return e;
      }
      if (Starts(">")) {
        ++i_;
        break;
      }
      if (!blank) Fail("no blank before an attribute");
      const std::string key = Name();
      Blanks();
      if (Next() != '=') Fail("expected =");
      Blanks();
      if (Next() != '"') Fail("expected \"");
      std::string value;
      for (std::uint32_t c = Next(); c != '"'; c = Next()) {
        if (c == '<') Fail("< in an attribute");
        Append(value, c == '&' ? Reference() : Blank(c) ? ' ' : c);
      }
      if (!e.attributes.emplace(key, value).second) Fail("attribute twice: " + key);
    }
    for (;;) {
      if (Starts("</")) {
        i_ += 2;
        if (Name() != e.name) Fail("end tag of another element");
        Blanks();
        if (Next() != '>') Fail("expected >");
        return e;
      }
      if (Starts("<!") || Starts("<?")) Fail("unexpected markup");
      if (Starts("<")) {
        e.children.push_back(ReadElement());
        continue;
      }
      std::uint32_t c = Next();
      if (c == '\r') {
        if (Starts("\n")) ++i_;
        c = '\n';
      }
      Append(e.text, c == '&' ? Reference() : c);
    }
  }

  std::vector<std::uint32_t> cps_;
  std::size_t i_ = 0;
};

RunFacts Facts() {
  RunFacts f;
  f.started = "2026-12-07T09:15:02.125+01:00";
  f.ended = "2026-12-07T09:15:04.000+01:00";
  f.host = "bench-3";
  return f;
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

std::map<std::string, std::string> Properties(const Element& suite) {
  std::map<std::string, std::string> found;
  for (const Element* p : suite.First("properties")->All("property"))
    found[p->At("name")] = p->At("value");
  return found;
}

std::vector<std::string> Names(const Element& suite) {
  std::vector<std::string> names;
  for (const Element* c : suite.All("testcase")) names.push_back(c->At("name"));
  return names;
}

TEST(Junit, APassedPortIsASuiteOfPassedCasesWithItsSettingsAndIdentity) {
  PortOutcome o = Port("COM3", "/dev/ttyUSB0");
  o.settings.BaudRate = 115200;
  o.identity.by_id = "/dev/serial/by-id/usb-FTDI_FT232R-if00-port0";
  o.identity.serial = "A1B2C3";
  o.identity.latency_timer_ms = 16;
  o.settings.TestSelected = {false, true, true, true, true, true};
  o.tests = {Record(1, 12, {"Open/Close --- OK   (Duration: 12ms)"}),
             Record(2, 68, {"Data Tx/Rx: 256 bytes send/received --- OK"}),
             Record(3, 1500, {"20 bytes Tx/Rx: Single bytes send/received --- OK  (1500ms)"}),
             Record(4, 100, {}), Record(5, 2, {})};
  const std::string xml = JunitXml({o}, Facts());
  ASSERT_TRUE(xml.starts_with(kJunitStart));
  const Element root = XmlReader(xml).root;
  EXPECT_EQ(root.name, "testsuites");
  const std::map<std::string, std::string> totals = {
      {"name", "serivane-run"}, {"tests", "5"},
      {"failures", "0"},        {"errors", "0"},
      {"skipped", "0"},         {"time", "1.682"},
      {"hostname", "bench-3"},  {"timestamp", "2026-12-07T09:15:02.125+01:00"}};
  EXPECT_EQ(root.attributes, totals);
  ASSERT_EQ(root.All("testsuite").size(), 1u);
  const Element& suite = *root.First("testsuite");
  EXPECT_EQ(suite.At("name"), "COM3 (/dev/ttyUSB0)");
  EXPECT_EQ(suite.At("tests"), "5");
  EXPECT_EQ(suite.At("time"), "1.682");
  EXPECT_EQ(suite.At("hostname"), "bench-3");
  const auto props = Properties(suite);
  EXPECT_EQ(props.at("port"), "COM3");
  EXPECT_EQ(props.at("device"), "/dev/ttyUSB0");
  EXPECT_EQ(props.at("settings"), "115200,N,8,1");
  EXPECT_EQ(props.at("by_id"), "/dev/serial/by-id/usb-FTDI_FT232R-if00-port0");
  EXPECT_EQ(props.at("serial_number"), "A1B2C3");
  EXPECT_EQ(props.at("latency_timer_ms"), "16");
  EXPECT_EQ(props.count("manufacturer"), 0u);  // none known: none said
  EXPECT_EQ(Names(suite),
            (std::vector<std::string>{"Close/Open port", "Data Tx/Rx", "20 bytes Tx/Rx",
                                      "RTS/CTS handshake", "DTR/DSR handshake"}));
  std::vector<std::string> times;
  for (const Element* c : suite.All("testcase")) {
    times.push_back(c->At("time"));
    EXPECT_EQ(c->At("classname"), "COM3.tests");
    EXPECT_EQ(c->First("failure"), nullptr);
    EXPECT_EQ(c->First("skipped"), nullptr);
  }
  EXPECT_EQ(times, (std::vector<std::string>{"0.012", "0.068", "1.500", "0.100", "0.002"}));
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
  CheckOutcome brk;
  brk.name = "break";
  brk.title = "Break 250ms";
  brk.lines = {"Break 250ms: sent, nothing came back <-- FAILED"};
  brk.diagnosis = {"No break came back: TxD 3 (2) to RxD 2 (3)."};
  o.checks = {brk};
  const Element root = XmlReader(JunitXml({o}, Facts())).root;
  const Element& suite = *root.First("testsuite");
  EXPECT_EQ(suite.At("name"), "loopback?cts=off");  // the device is the port itself
  EXPECT_EQ(suite.At("tests"), "3");
  EXPECT_EQ(suite.At("failures"), "2");
  EXPECT_EQ(root.At("failures"), "2");
  const Element* failure = suite.All("testcase")[1]->First("failure");
  ASSERT_NE(failure, nullptr);
  EXPECT_EQ(failure->At("message"), "RTS/CTS handshake: RTS/CTS= on <-- FAILED");
  EXPECT_EQ(failure->text,
            "RTS/CTS handshake: RTS/CTS= off --- OK\n"
            "RTS/CTS handshake: RTS/CTS= on <-- FAILED\n"
            "Failed in 1 of 3 runs; the lines are those of the first failed run.\n"
            "\n"
            "CTS does not follow RTS: RTS 7 (4) to CTS 8 (5), CTS stuck off (the wire is missing "
            "or broken).\n");
  EXPECT_EQ(suite.All("testcase")[0]->First("failure"), nullptr);
  // The port's whole diagnosis stands beside the suite.
  EXPECT_EQ(suite.First("system-out")->text,
            "CTS does not follow RTS: RTS 7 (4) to CTS 8 (5), CTS stuck off (the wire is missing "
            "or broken).\nNo break came back: TxD 3 (2) to RxD 2 (3).\n");
}

TEST(Junit, ChecksAreCasesWithTheirFiguresItemsAndDiagnosis) {
  PortOutcome o = Port("loopback", "loopback");
  CheckOutcome sweep;
  sweep.name = "sweep";
  sweep.title = "Sweep 9600 to 115200";
  sweep.duration_ms = 2345;
  sweep.lines = {"Sweep 9600 to 115200 <-- FAILED", "115200: refused"};
  sweep.diagnosis = {"The port refuses 115200 baud."};
  sweep.figures = {{"highest_passed_baud", std::int64_t{9600}}, {"ratio", 0.5}};
  sweep.items = {{{"baud", std::int64_t{9600}}, {"passed", true}},
                 {{"baud", std::int64_t{115200}}, {"result", std::string("refused")}}};
  CheckOutcome latency;
  latency.name = "latency";
  latency.title = "Latency 100 rounds";
  latency.passed = true;
  latency.duration_ms = 40;
  latency.lines = {"Latency 100 rounds: median 1.2ms --- OK"};
  latency.figures = {{"median_us", std::int64_t{1234}}};
  CheckOutcome soak;
  soak.name = "soak";
  soak.title = "Soak 10m at 38400,N,8,1";
  soak.interrupted = true;
  soak.lines = {"Soak 10m at 38400,N,8,1: stopped after 12s"};
  o.checks = {sweep, latency, soak};
  const Element suite = *XmlReader(JunitXml({o}, Facts())).root.First("testsuite");
  EXPECT_EQ(Names(suite), (std::vector<std::string>{"Sweep 9600 to 115200", "Latency 100 rounds",
                                                    "Soak 10m at 38400,N,8,1"}));
  EXPECT_EQ(suite.At("failures"), "1");
  EXPECT_EQ(suite.At("skipped"), "1");
  EXPECT_EQ(suite.At("time"), "2.385");
  const auto cases = suite.All("testcase");
  EXPECT_EQ(cases[0]->At("classname"), "loopback.sweep");
  EXPECT_EQ(cases[0]->At("time"), "2.345");
  const Element* failure = cases[0]->First("failure");
  ASSERT_NE(failure, nullptr);
  EXPECT_EQ(failure->At("message"), "Sweep 9600 to 115200 <-- FAILED");
  EXPECT_EQ(failure->text,
            "Sweep 9600 to 115200 <-- FAILED\n115200: refused\n\nThe port refuses 115200 baud.\n");
  EXPECT_EQ(cases[0]->First("system-out")->text,
            "Sweep 9600 to 115200 <-- FAILED\n115200: refused\nhighest_passed_baud: 9600\n"
            "ratio: 0.5\nItem 1: baud=9600, passed=true\nItem 2: baud=115200, result=refused\n");
  EXPECT_EQ(cases[1]->First("failure"), nullptr);
  EXPECT_EQ(cases[1]->First("skipped"), nullptr);
  EXPECT_EQ(cases[1]->First("system-out")->text,
            "Latency 100 rounds: median 1.2ms --- OK\nmedian_us: 1234\n");
  ASSERT_NE(cases[2]->First("skipped"), nullptr);
  EXPECT_EQ(cases[2]->First("failure"), nullptr);
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
  const Element root = XmlReader(JunitXml({unopened, stopped, unwritten}, Facts())).root;
  EXPECT_EQ(root.At("tests"), "5");
  EXPECT_EQ(root.At("errors"), "2");
  EXPECT_EQ(root.At("skipped"), "2");
  EXPECT_EQ(root.At("failures"), "0");
  EXPECT_EQ(root.At("time"), "0.005");
  const auto suites = root.All("testsuite");
  ASSERT_EQ(suites.size(), 3u);
  // Several ports: each suite is named as the summary lines name the port.
  EXPECT_EQ(suites[0]->At("name"), "COM7 (/dev/ttyUSB7)");
  EXPECT_EQ(suites[0]->At("errors"), "1");
  EXPECT_EQ(suites[0]->At("tests"), "1");  // no skipped tests beside the error
  const Element* error = suites[0]->First("testcase")->First("error");
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->At("message"), "Cannot open /dev/ttyUSB7: no such device");
  EXPECT_EQ(Properties(*suites[0]).at("opened"), "false");

  EXPECT_EQ(Names(*suites[1]), (std::vector<std::string>{"Close/Open port", "Data Tx/Rx"}));
  EXPECT_EQ(suites[1]->At("skipped"), "2");
  EXPECT_EQ(suites[1]->At("errors"), "0");
  for (const Element* c : suites[1]->All("testcase"))
    EXPECT_EQ(c->First("skipped")->At("message"), "the run was stopped before this test ran");
  EXPECT_EQ(Properties(*suites[1]).at("interrupted"), "true");

  EXPECT_EQ(Names(*suites[2]), (std::vector<std::string>{"Close/Open port", "Result file"}));
  EXPECT_EQ(suites[2]->All("testcase")[1]->First("error")->At("message"),
            "Result file error: cannot write /r.txt: No space left on device");
}

TEST(Junit, AnyBytesGiveWellFormedXmlAndReadBackVisibly) {
  // NUL and another C0 control, markup, a lone byte above 0x9F and one in the C1 range, the
  // three blanks an attribute would lose, a noncharacter, valid UTF-8 and a CDATA end.
  const std::string hostile =
      std::string("p\0\x01<&\"'>", 8) + "\xff\x80\r\n\t\xEF\xBF\xBF" + "\xC3\xA9\xC2\x85]]>";
  const std::string seen = "p\u2400\u2401<&\"'>\u00ff\u0080\r\n\t\uFFFD\u00e9\u0085]]>";
  PortOutcome o = Port(hostile, "/dev/" + hostile);
  o.name = hostile;
  o.result_file = "/tmp/" + hostile;
  o.identity.product = hostile;
  o.tests = {Record(2, 1, {hostile, hostile})};
  o.settings.TestSelected[2] = true;
  o.tests[0].failures = 1;
  o.tests[0].kept.passed = false;
  o.error = hostile;
  RunFacts facts = Facts();
  facts.host = hostile;
  const std::string xml = JunitXml({o}, facts);
  Element root;
  ASSERT_NO_THROW(root = XmlReader(xml).root) << xml;
  EXPECT_EQ(root.At("hostname"), seen);
  const Element& suite = *root.First("testsuite");
  EXPECT_EQ(suite.At("name"), seen + " (/dev/" + seen + ")");
  const auto props = Properties(suite);
  EXPECT_EQ(props.at("port"), seen);
  EXPECT_EQ(props.at("result_file"), "/tmp/" + seen);
  EXPECT_EQ(props.at("product"), seen);
  const auto cases = suite.All("testcase");
  ASSERT_EQ(cases.size(), 2u);
  EXPECT_EQ(cases[0]->First("error")->At("message"), seen);
  EXPECT_EQ(cases[0]->First("error")->text, seen + "\n");
  EXPECT_EQ(cases[1]->At("classname"), seen + ".tests");
  EXPECT_EQ(cases[1]->First("failure")->At("message"), seen);
  EXPECT_EQ(cases[1]->First("failure")->text, seen + "\n" + seen + "\n");
}

TEST(Junit, XmlEscapeKeepsValidTextAndMarksWhatXmlCannotHold) {
  EXPECT_EQ(XmlEscape("A-Z 0-9 \xC3\xA9\xE2\x82\xAC\xF0\x9F\x94\x8C", false),
            "A-Z 0-9 \xC3\xA9\xE2\x82\xAC\xF0\x9F\x94\x8C");
  EXPECT_EQ(XmlEscape("a\tb\nc\rd", false), "a\tb\nc&#13;d");
  EXPECT_EQ(XmlEscape("a\tb\nc\rd", true), "a&#9;b&#10;c&#13;d");
  EXPECT_EQ(XmlEscape("<a href=\"x\">&amp;</a>", true),
            "&lt;a href=&quot;x&quot;&gt;&amp;amp;&lt;/a&gt;");
  // A cut sequence: each byte on its own; an overlong form and a surrogate likewise.
  EXPECT_EQ(XmlEscape("\xE2\x82", false), "\xC3\xA2&#x82;");
  EXPECT_EQ(XmlEscape("\xC0\xAF", false), "\xC3\x80\xC2\xAF");
  EXPECT_EQ(XmlEscape("\xED\xA0\x80", false), "\xC3\xAD\xC2\xA0&#x80;");
  EXPECT_EQ(XmlEscape("\x1f\x7f", false), "\xE2\x90\x9F&#x7F;");
}

class JunitFileTest : public ::testing::Test {
 protected:
  JunitFileTest() {
    std::string pattern = (fs::temp_directory_path() / "serivane-junit-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    root_ = pattern;
  }
  ~JunitFileTest() override { fs::remove_all(root_); }
  std::string Path(const std::string& name) const { return (root_ / name).string(); }
  std::string Read(const std::string& name) const {
    std::ostringstream s;
    s << std::ifstream(Path(name), std::ios::binary).rdbuf();
    return s.str();
  }
  fs::path root_;
};

TEST_F(JunitFileTest, ReplacesOnlyItsOwnReportsAndWritesStandardOutput) {
  const std::string first = JunitXml({Port("loopback", "loopback")}, Facts());
  const std::string second = JunitXml({Port("COM2", "loopback")}, Facts());
  std::ostringstream unused;
  EXPECT_EQ(WriteJunit(first, Path("r.xml"), unused), "");
  EXPECT_EQ(WriteJunit(second, Path("r.xml"), unused), "");
  EXPECT_EQ(Read("r.xml"), second);
  std::ofstream(Path("empty.xml")).close();
  EXPECT_EQ(WriteJunit(first, Path("empty.xml"), unused), "");
  EXPECT_EQ(Read("empty.xml"), first);
  // Another program's XML, and this program's JSON report, are left as they are; nor does the
  // JSON report replace a JUnit file.
  const std::string other = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites name=\"x\">";
  std::ofstream(Path("other.xml")) << other;
  EXPECT_NE(WriteJunit(first, Path("other.xml"), unused).find("not a file this program wrote"),
            std::string::npos);
  EXPECT_EQ(Read("other.xml"), other);
  std::ofstream(Path("report.json")) << kReportStart << "}\n";
  EXPECT_NE(WriteJunit(first, Path("report.json"), unused), "");
  EXPECT_NE(WriteReport("{}", Path("r.xml"), unused), "");
  EXPECT_EQ(Read("r.xml"), second);
  EXPECT_EQ(unused.str(), "");

  std::ostringstream out;
  EXPECT_EQ(WriteJunit(first, "-", out), "");
  EXPECT_EQ(out.str(), first);
  std::ostream broken(nullptr);
  EXPECT_EQ(WriteJunit(first, "-", broken), "cannot write the JUnit report to standard output");
}

}  // namespace
}  // namespace serivane::run
