#include "tools/run/report.h"

#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <ctime>
#include <type_traits>
#include <variant>

#include "common/conv.h"
#include "common/safe_file.h"
#include "engine/line_format.h"
#include "engine/test_names.h"
#include "engine/tester.h"
#include "serial/comm_control.h"
#include "tools/run/diagnosis.h"
#include "tools/run/json_writer.h"
#include "tools/run/options.h"

#ifndef SERIVANE_VERSION
#define SERIVANE_VERSION "unknown"
#endif

namespace serivane::run {

namespace {

void WriteIdentity(JsonWriter& j, const Identity& id) {
  j.BeginObject();
  for (const auto& [key, value] : id.TextFields()) j.Key(key).String(value);
  if (id.latency_timer_ms) j.Key("latency_timer_ms").Number(*id.latency_timer_ms);
  j.EndObject();
}

}  // namespace

std::int64_t WallClockMicros() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string HostName() {
  char name[HOST_NAME_MAX + 1] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return {};
  return name;
}

std::string IsoTime(std::int64_t when_us) {
  const std::time_t seconds = static_cast<std::time_t>(when_us / 1'000'000);
  std::tm local{};
  ::localtime_r(&seconds, &local);
  char text[40];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
  char zone[8];
  std::strftime(zone, sizeof zone, "%z", &local);  // "+0100"
  char millis[8];
  std::snprintf(millis, sizeof millis, ".%03d", static_cast<int>(when_us / 1000 % 1000));
  std::string result = std::string(text) + millis;
  const std::string z(zone);
  result += z.size() == 5 ? z.substr(0, 3) + ":" + z.substr(3) : z;
  return result;
}

std::string EventName(std::int16_t code) {
  switch (code) {
    case serial::kEvReceive:
      return "data received";
    case serial::kEvCts:
      return "CTS changed";
    case serial::kEvDsr:
      return "DSR changed";
    case serial::kEvCd:
      return "DCD changed";
    case serial::kEvRing:
      return "ring";
    case serial::kErBreak:
      return "break";
    case serial::kErFrame:
      return "framing error";
    case serial::kErOverrun:
      return "overrun";
    case serial::kErRxOver:
      return "receive buffer overflow";
    case serial::kErRxParity:
      return "parity error";
    case serial::kErTxFull:
      return "transmit buffer full";
    case serial::kErDeviceGone:
      return "device gone";
    default:
      return "event " + DecimalText(code);
  }
}

namespace {

void WriteTest(JsonWriter& j, const TestRecord& t, const settings::Settings& settings) {
  j.BeginObject();
  j.Key("number").Number(t.number);
  j.Key("name").String(engine::TestName(t.number, settings.SingleBytes));
  j.Key("passed").Bool(t.failures == 0);
  j.Key("runs").Number(t.runs);
  j.Key("failures").Number(t.failures);
  j.Key("duration_ms").Number(t.kept.duration_ms);
  j.Key("lines").BeginArray();
  for (const std::string& line : t.kept.lines) j.String(line);
  j.EndArray();
  j.Key("events").BeginArray();
  for (const std::int16_t code : t.events) {
    j.BeginObject();
    j.Key("code").Number(code);
    j.Key("name").String(EventName(code));
    j.EndObject();
  }
  j.EndArray();
  // The handshake tests: each reading, with DCD and RI beside it. Only reported: whether DCD and
  // RI follow is what --plug full checks.
  if (!t.levels.empty()) {
    j.Key("levels").BeginArray();
    for (const engine::HandshakeLevels& l : t.levels) {
      j.BeginObject();
      j.Key("output").Bool(l.out).Key("input").Bool(l.in);
      j.Key("dcd").Bool(l.dcd).Key("ri").Bool(l.ri);
      j.EndObject();
    }
    j.EndArray();
  }
  j.EndObject();
}

void WriteFigures(JsonWriter& j, const std::vector<Figure>& figures) {
  for (const Figure& f : figures) {
    j.Key(f.key);
    std::visit(
        [&](const auto& v) {
          using T = std::decay_t<decltype(v)>;
          if constexpr (std::is_same_v<T, std::int64_t>) {
            j.Number(v);
          } else if constexpr (std::is_same_v<T, double>) {
            j.Real(v);
          } else if constexpr (std::is_same_v<T, bool>) {
            j.Bool(v);
          } else {
            j.String(v);
          }
        },
        f.value);
  }
}

void WriteCheck(JsonWriter& j, const CheckOutcome& c) {
  j.BeginObject();
  j.Key("check").String(c.name);
  j.Key("title").String(c.title);
  j.Key("passed").Bool(c.passed);
  j.Key("interrupted").Bool(c.interrupted);
  j.Key("duration_ms").Number(c.duration_ms);
  WriteFigures(j, c.figures);
  if (!c.items.empty()) {
    j.Key("items").BeginArray();
    for (const std::vector<Figure>& item : c.items) {
      j.BeginObject();
      WriteFigures(j, item);
      j.EndObject();
    }
    j.EndArray();
  }
  j.Key("lines").BeginArray();
  for (const std::string& line : c.lines) j.String(line);
  j.EndArray();
  j.Key("events").BeginArray();
  for (const std::int16_t code : c.events) {
    j.BeginObject();
    j.Key("code").Number(code);
    j.Key("name").String(EventName(code));
    j.EndObject();
  }
  j.EndArray();
  j.Key("diagnosis").BeginArray();
  for (const std::string& sentence : c.diagnosis) j.String(sentence);
  j.EndArray();
  j.EndObject();
}

void WritePort(JsonWriter& j, const PortOutcome& o) {
  j.BeginObject();
  j.Key("port").String(o.port);
  j.Key("name").String(o.name);
  j.Key("device").String(o.device);
  j.Key("identity");
  WriteIdentity(j, o.identity);
  j.Key("settings").String(engine::LineConfigFor(o.settings).Text());
  j.Key("opened").Bool(o.opened);
  if (!o.error.empty()) j.Key("error").String(o.error);
  j.Key("result_file");
  if (o.result_file.empty()) {
    j.Null();
  } else {
    j.String(o.result_file);
  }
  if (!o.result_file_error.empty()) j.Key("result_file_error").String(o.result_file_error);
  j.Key("passes").Number(o.passes);
  j.Key("passed").Bool(o.Passed());
  j.Key("interrupted").Bool(o.interrupted);
  j.Key("tests").BeginArray();
  for (const TestRecord& t : o.tests) WriteTest(j, t, o.settings);
  j.EndArray();
  if (!o.checks.empty()) {
    j.Key("checks").BeginArray();
    for (const CheckOutcome& c : o.checks) WriteCheck(j, c);
    j.EndArray();
  }
  j.Key("diagnosis").BeginArray();
  for (const std::string& sentence : Diagnose(o)) j.String(sentence);
  j.EndArray();
  if (o.lower_rate_passed) {
    j.Key("lower_rate_check").BeginObject();
    j.Key("baud").Number(o.lower_rate);
    j.Key("passed").Bool(*o.lower_rate_passed);
    j.EndObject();
  }
  if (o.counters) {
    const serial::LineCounters& c = *o.counters;
    j.Key("counters").BeginObject();
    j.Key("rx").Number(c.rx).Key("tx").Number(c.tx).Key("frame").Number(c.frame);
    j.Key("parity").Number(c.parity).Key("overrun").Number(c.overrun);
    j.Key("buf_overrun").Number(c.buf_overrun).Key("brk").Number(c.brk);
    j.EndObject();
  }
  j.EndObject();
}

}  // namespace

std::string WriteReport(const std::string& report, const std::string& target, std::ostream& out) {
  if (target == "-") {
    out << report;
    out.flush();
    return out ? "" : "cannot write the report to standard output";
  }
  const std::string why = ReplaceFile(target, kReportStart, report);
  return why.empty() ? "" : "cannot write '" + target + "': " + why;
}

std::string ReportJson(const std::vector<PortOutcome>& ports, const RunFacts& facts) {
  JsonWriter j;
  j.BeginObject();
  j.Key("program").String(kProgram);
  j.Key("version").String(SERIVANE_VERSION);
  j.Key("host").String(facts.host);
  j.Key("started").String(facts.started);
  j.Key("ended").String(facts.ended);
  j.Key("interrupted").Bool(facts.interrupted);
  j.Key("ports").BeginArray();
  for (const PortOutcome& o : ports) WritePort(j, o);
  j.EndArray();
  j.EndObject();
  return j.Text();
}

}  // namespace serivane::run
