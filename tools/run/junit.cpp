#include "tools/run/junit.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <type_traits>
#include <variant>

#include "common/conv.h"
#include "common/safe_file.h"
#include "common/text.h"
#include "engine/line_format.h"
#include "engine/test_names.h"
#include "engine/tester.h"
#include "tools/run/console.h"
#include "tools/run/diagnosis.h"
#include "tools/run/json_writer.h"

namespace serivane::run {

namespace {

void AppendReference(std::string& out, unsigned code) {
  char ref[16];
  std::snprintf(ref, sizeof ref, "&#x%X;", code);
  out += ref;
}

// Seconds with milliseconds, as JUnit readers take a time: "1.250".
std::string Seconds(std::int64_t ms) {
  if (ms < 0) ms = 0;
  char text[32];
  std::snprintf(text, sizeof text, "%lld.%03lld", static_cast<long long>(ms / 1000),
                static_cast<long long>(ms % 1000));
  return text;
}

std::string FigureText(const Figure& f) {
  return std::visit(
      [](const auto& v) -> std::string {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, std::int64_t>) {
          return DecimalText(v);
        } else if constexpr (std::is_same_v<T, double>) {
          char text[32];
          const auto [end, ec] = std::to_chars(text, text + sizeof text, v);
          return ec == std::errc() ? std::string(text, end) : std::string();
        } else if constexpr (std::is_same_v<T, bool>) {
          return v ? "true" : "false";
        } else {
          return v;
        }
      },
      f.value);
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return text;
}

// What one <testcase> says.
struct Case {
  enum class Kind { kPassed, kFailure, kError, kSkipped };
  std::string name;
  std::string classname;
  std::int64_t time_ms = 0;
  Kind kind = Kind::kPassed;
  std::string message;  // of the failure, error or skip
  std::string type;
  std::string detail;  // the failure's or error's text
  std::string out;     // <system-out>
};

std::string EventsLine(const std::vector<std::int16_t>& events) {
  if (events.empty()) return {};
  std::string line = "Events:";
  for (std::size_t i = 0; i < events.size(); ++i)
    line += (i == 0 ? " " : ", ") + EventName(events[i]);
  return line + "\n";
}

Case TestCase(const PortOutcome& o, const TestRecord& t,
              const std::vector<std::string>& diagnosis) {
  Case c;
  c.name = engine::TestName(t.number, o.settings.SingleBytes);
  c.classname = o.name + ".tests";
  c.time_ms = t.kept.duration_ms;
  std::string runs;
  if (t.runs > 1) {
    runs = "Failed in " + DecimalText(t.failures) + " of " + DecimalText(t.runs) + " runs" +
           (t.failures > 0 ? "; the lines are those of the first failed run.\n" : ".\n");
  }
  if (t.failures == 0) {
    c.out = Joined(t.kept.lines) + runs + EventsLine(t.events);
    return c;
  }
  // The lines go with the failure; the events stay beside it.
  c.out = EventsLine(t.events);
  c.kind = Case::Kind::kFailure;
  c.type = "failed";
  // The line that says what failed, else the first.
  const std::vector<std::string>& lines = t.kept.lines;
  const auto failed = std::find_if(lines.begin(), lines.end(), [](const std::string& line) {
    return line.find("<-- FAILED") != std::string::npos;
  });
  c.message = failed != lines.end() ? *failed : !lines.empty() ? lines.front() : c.name + " failed";
  c.detail = Joined(t.kept.lines) + runs;
  if (!diagnosis.empty()) c.detail += "\n" + Joined(diagnosis);
  return c;
}

Case CheckCase(const PortOutcome& o, const CheckOutcome& check) {
  Case c;
  c.name = check.title.empty() ? check.name : check.title;
  c.classname = o.name + "." + check.name;
  c.time_ms = check.duration_ms;
  c.out = Joined(check.lines);
  for (const Figure& f : check.figures) c.out += f.key + ": " + FigureText(f) + "\n";
  for (std::size_t i = 0; i < check.items.size(); ++i) {
    std::string line = "Item " + DecimalText(static_cast<std::int64_t>(i + 1)) + ":";
    for (std::size_t k = 0; k < check.items[i].size(); ++k) {
      const Figure& f = check.items[i][k];
      line += (k == 0 ? " " : ", ") + f.key + "=" + FigureText(f);
    }
    c.out += line + "\n";
  }
  c.out += EventsLine(check.events);
  const std::string first = check.lines.empty() ? c.name : check.lines.front();
  if (check.interrupted) {
    c.kind = Case::Kind::kSkipped;
    c.message = "stopped before it finished: " + first;
  } else if (!check.passed) {
    c.kind = Case::Kind::kFailure;
    c.type = "failed";
    c.message = first;
    c.detail = Joined(check.lines);
    if (!check.diagnosis.empty()) c.detail += "\n" + Joined(check.diagnosis);
  }
  return c;
}

std::vector<Case> PortCases(const PortOutcome& o) {
  std::vector<Case> cases;
  if (!o.error.empty()) {
    Case c;
    c.name = "Port set-up";
    c.classname = o.name + ".port";
    c.kind = Case::Kind::kError;
    c.type = o.opened ? "run error" : "port not opened";
    c.message = o.error;
    c.detail = o.error + "\n";
    cases.push_back(std::move(c));
  }
  // The sentences of the checks go with the checks; the rest with the tests.
  PortOutcome tests_only = o;
  tests_only.checks.clear();
  const std::vector<std::string> diagnosis = Diagnose(tests_only);
  const bool ran = o.opened || (o.interrupted && o.error.empty());
  for (std::int16_t n = 1; n <= 5 && ran; ++n) {
    if (const TestRecord* t = o.Test(n)) {
      cases.push_back(TestCase(o, *t, diagnosis));
    } else if (o.settings.TestSelected[static_cast<std::size_t>(n)]) {
      Case c;
      c.name = engine::TestName(n, o.settings.SingleBytes);
      c.classname = o.name + ".tests";
      c.kind = Case::Kind::kSkipped;
      c.message =
          o.interrupted ? "the run was stopped before this test ran" : "this test did not run";
      cases.push_back(std::move(c));
    }
  }
  for (const CheckOutcome& check : o.checks) cases.push_back(CheckCase(o, check));
  if (!o.result_file_error.empty()) {
    Case c;
    c.name = "Result file";
    c.classname = o.name + ".port";
    c.kind = Case::Kind::kError;
    c.type = "result file not written";
    c.message = o.result_file_error;
    c.detail = o.result_file_error + "\n";
    cases.push_back(std::move(c));
  }
  return cases;
}

struct Counts {
  std::int64_t tests = 0, failures = 0, errors = 0, skipped = 0, time_ms = 0;
  void Add(const Counts& other) {
    tests += other.tests;
    failures += other.failures;
    errors += other.errors;
    skipped += other.skipped;
    time_ms += other.time_ms;
  }
};

Counts CountOf(const std::vector<Case>& cases) {
  Counts n;
  for (const Case& c : cases) {
    ++n.tests;
    n.failures += c.kind == Case::Kind::kFailure;
    n.errors += c.kind == Case::Kind::kError;
    n.skipped += c.kind == Case::Kind::kSkipped;
    n.time_ms += c.time_ms;
  }
  return n;
}

class XmlOut {
 public:
  // `<name` with its attributes, left open for Close or Children.
  XmlOut& Open(int depth, std::string_view name) {
    text_.append(static_cast<std::size_t>(2 * depth), ' ');
    text_ += '<';
    text_ += name;
    return *this;
  }
  XmlOut& Attr(std::string_view name, std::string_view value) {
    text_ += ' ';
    text_ += name;
    text_ += "=\"";
    text_ += XmlEscape(value, true);
    text_ += '"';
    return *this;
  }
  void Close() { text_ += "/>\n"; }
  void Children() { text_ += ">\n"; }
  void End(int depth, std::string_view name) {
    text_.append(static_cast<std::size_t>(2 * depth), ' ');
    text_ += "</";
    text_ += name;
    text_ += ">\n";
  }
  // `<name>text</name>`, the text as it stands.
  void TextElement(int depth, std::string_view name, std::string_view text) {
    Open(depth, name);
    text_ += '>';
    text_ += XmlEscape(text, false);
    text_ += "</";
    text_ += name;
    text_ += ">\n";
  }
  // With its attributes already given: the text inside, and the end tag.
  void TextAndEnd(std::string_view name, std::string_view text) {
    if (text.empty()) {
      Close();
      return;
    }
    text_ += '>';
    text_ += XmlEscape(text, false);
    text_ += "</";
    text_ += name;
    text_ += ">\n";
  }
  void Raw(std::string_view text) { text_ += text; }
  std::string& Text() { return text_; }

 private:
  std::string text_;
};

void CountAttributes(XmlOut& x, const Counts& n) {
  x.Attr("tests", DecimalText(n.tests))
      .Attr("failures", DecimalText(n.failures))
      .Attr("errors", DecimalText(n.errors))
      .Attr("skipped", DecimalText(n.skipped))
      .Attr("time", Seconds(n.time_ms));
}

void Property(XmlOut& x, std::string_view name, std::string_view value) {
  x.Open(3, "property").Attr("name", name).Attr("value", value).Close();
}

void WriteProperties(XmlOut& x, const PortOutcome& o) {
  x.Open(2, "properties").Children();
  Property(x, "port", o.port);
  Property(x, "name", o.name);
  Property(x, "device", o.device);
  Property(x, "settings", engine::LineConfigFor(o.settings).Text());
  Property(x, "passes", DecimalText(o.passes));
  Property(x, "opened", o.opened ? "true" : "false");
  Property(x, "interrupted", o.interrupted ? "true" : "false");
  if (!o.result_file.empty()) Property(x, "result_file", o.result_file);
  // The device's identity under the JSON report's names.
  const Identity& id = o.identity;
  for (const auto& [key, value] : id.TextFields()) Property(x, key, value);
  if (id.latency_timer_ms) Property(x, "latency_timer_ms", DecimalText(*id.latency_timer_ms));
  if (o.lower_rate_passed) {
    Property(x, "lower_rate_check_baud", DecimalText(o.lower_rate));
    Property(x, "lower_rate_check_passed", *o.lower_rate_passed ? "true" : "false");
  }
  if (o.counters) {
    const serial::LineCounters& c = *o.counters;
    const std::pair<const char*, std::int64_t> counters[] = {
        {"rx", c.rx},         {"tx", c.tx},           {"frame", c.frame},
        {"parity", c.parity}, {"overrun", c.overrun}, {"buf_overrun", c.buf_overrun},
        {"brk", c.brk}};
    for (const auto& [key, value] : counters)
      Property(x, std::string("counters_") + key, DecimalText(value));
  }
  x.End(2, "properties");
}

void WriteCase(XmlOut& x, const Case& c) {
  x.Open(2, "testcase").Attr("name", c.name).Attr("classname", c.classname);
  x.Attr("time", Seconds(c.time_ms));
  if (c.kind == Case::Kind::kPassed && c.out.empty()) {
    x.Close();
    return;
  }
  x.Children();
  switch (c.kind) {
    case Case::Kind::kFailure:
    case Case::Kind::kError: {
      const char* element = c.kind == Case::Kind::kFailure ? "failure" : "error";
      x.Open(3, element).Attr("message", c.message).Attr("type", c.type);
      x.TextAndEnd(element, c.detail);
      break;
    }
    case Case::Kind::kSkipped:
      x.Open(3, "skipped").Attr("message", c.message).Close();
      break;
    case Case::Kind::kPassed:
      break;
  }
  if (!c.out.empty()) x.TextElement(3, "system-out", c.out);
  x.End(2, "testcase");
}

}  // namespace

std::string XmlEscape(std::string_view text, bool attribute) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x80) {
      if (const std::size_t n = Utf8Length(text.substr(i)); n > 0) {
        const std::string_view sequence = text.substr(i, n);
        i += n;
        const auto b1 = static_cast<unsigned char>(sequence[1]);
        if (c == 0xC2 && b1 <= 0x9F) {
          AppendReference(out, b1);  // U+0080 to U+009F
        } else if (c == 0xEF && b1 == 0xBF && static_cast<unsigned char>(sequence[2]) >= 0xBE) {
          AppendUtf8(out, 0xFFFD);  // U+FFFE and U+FFFF are no XML characters
        } else {
          out.append(sequence);
        }
        continue;
      }
      // A byte outside valid UTF-8: the character of the same code.
      ++i;
      if (c <= 0x9F) {
        AppendReference(out, c);
      } else {
        AppendUtf8(out, c);
      }
      continue;
    }
    ++i;
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\r':
        out += "&#13;";
        break;
      case '\n':
        out += attribute ? "&#10;" : "\n";
        break;
      case '\t':
        out += attribute ? "&#9;" : "\t";
        break;
      case 0x7F:
        AppendReference(out, c);
        break;
      default:
        if (c < 0x20) {
          AppendUtf8(out, 0x2400 + c);  // the control picture: NUL shows as U+2400
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out;
}

std::string JunitXml(const std::vector<PortOutcome>& ports, const RunFacts& facts) {
  std::vector<std::vector<Case>> cases;
  Counts all;
  for (const PortOutcome& o : ports) {
    cases.push_back(PortCases(o));
    all.Add(CountOf(cases.back()));
  }
  XmlOut x;
  x.Raw(kJunitStart);
  CountAttributes(x, all);
  x.Attr("timestamp", facts.started).Attr("hostname", facts.host);
  x.Children();
  const bool several = ports.size() > 1;
  for (std::size_t i = 0; i < ports.size(); ++i) {
    const PortOutcome& o = ports[i];
    x.Open(1, "testsuite").Attr("name", Head(o, several));
    CountAttributes(x, CountOf(cases[i]));
    x.Attr("timestamp", facts.started).Attr("hostname", facts.host);
    x.Attr("id", DecimalText(static_cast<std::int64_t>(i)));
    x.Children();
    WriteProperties(x, o);
    for (const Case& c : cases[i]) WriteCase(x, c);
    if (const std::vector<std::string> diagnosis = Diagnose(o); !diagnosis.empty())
      x.TextElement(2, "system-out", Joined(diagnosis));
    x.End(1, "testsuite");
  }
  x.End(0, "testsuites");
  return std::move(x.Text());
}

std::string WriteJunit(const std::string& xml, const std::string& target, std::ostream& out) {
  if (target == "-") {
    out << xml;
    out.flush();
    return out ? "" : "cannot write the JUnit report to standard output";
  }
  const std::string why = ReplaceFile(target, kJunitStart, xml);
  return why.empty() ? "" : "cannot write '" + target + "': " + why;
}

}  // namespace serivane::run
