#include "tools/run/checks/full_plug.h"

#include <exception>
#include <string>

#include "common/text.h"
#include "tools/run/checks/running_check.h"
#include "tools/run/checks/waiting.h"

namespace serivane::run {

namespace {

constexpr const char* kTitle = "Full plug: DCD and RI follow DTR and RTS";

// One output of the port and the two inputs a full plug wires to it: the handshake input the
// tests check already, and the one only a full plug has. Pins as "9-pin (25-pin)".
struct Wiring {
  const char* output;
  const char* output_pin;
  const char* partner;  // DSR or CTS: only shown, the tests check it
  const char* input;    // DCD or RI: what this check is about
  const char* input_pin;
};

constexpr Wiring kDtr{"DTR", "DTR 4 (20)", "DSR", "DCD", "DCD 1 (8)"};
constexpr Wiring kRts{"RTS", "RTS 7 (4)", "CTS", "RI", "RI 9 (22)"};

struct Reading {
  bool on = false;
  bool partner = false;
  bool input = false;
};

const char* OnOff(bool on) {
  return on ? "on" : "off";
}

// Sets the output off, then on, and reads both inputs after the handshake delay each time.
std::vector<Reading> Follow(CheckContext& context, const Wiring& w) {
  serial::CommControl& port = context.Port();
  const bool dtr = &w == &kDtr;
  const bool was = dtr ? port.DtrOn() : port.RtsOn();
  std::vector<Reading> readings;
  for (const bool on : {false, true}) {
    if (dtr) {
      port.DtrOn(on);
    } else {
      port.RtsOn(on);
    }
    Pause(context, context.RunSettings().HandshakeDelay);
    Reading r;
    r.on = on;
    r.partner = dtr ? port.DsrState() : port.CtsState();
    r.input = dtr ? port.DcdState() : port.RingState();
    // A port that closed meanwhile reads every input off, which would pass the off reading.
    port.RequireOpen();
    readings.push_back(r);
  }
  if (dtr) {
    port.DtrOn(was);
  } else {
    port.RtsOn(was);
  }
  return readings;
}

// What a failure to follow points at, as the handshake tests' diagnosis says it.
void Diagnose(const Wiring& w, const std::vector<Reading>& readings,
              std::vector<std::string>& out) {
  bool on_when_off = false;
  bool off_when_on = false;
  bool partner_off_when_on = false;
  for (const Reading& r : readings) {
    on_when_off = on_when_off || (!r.on && r.input);
    off_when_on = off_when_on || (r.on && !r.input);
    partner_off_when_on = partner_off_when_on || (r.on && !r.partner);
  }
  const std::string wire = std::string(w.output_pin) + " to " + w.input_pin;
  const std::string in = w.input;
  const std::string output = w.output;
  if (on_when_off && off_when_on) {
    out.push_back(in + " is the opposite of " + output + ": " + wire +
                  ", crossed with another line or inverted.");
  } else if (on_when_off) {
    out.push_back(in + " stays on when " + output + " is off: " + wire + ", " + in +
                  " stuck on (shorted to a line that is on, or driven from outside).");
  } else if (off_when_on) {
    out.push_back(in + " does not follow " + output + ": " + wire + ", " + in +
                  " stuck off (the wire is missing or broken).");
    if (partner_off_when_on) {
      out.push_back("Neither " + std::string(w.partner) + " nor " + in + " follows " + output +
                    ": " + w.output_pin + " itself does not reach the plug.");
    }
  }
}

// Both readings of one output: a line and an item each, and whether its input followed, with
// what a failure points at. False when it did not follow.
bool Report(RunningCheck& run, const Wiring& w, const std::vector<Reading>& readings) {
  CheckOutcome& c = run.Out();
  bool follows = true;
  for (const Reading& r : readings) {
    const bool ok = r.input == r.on;
    follows = follows && ok;
    run.Line(std::string(w.output) + " " + OnOff(r.on) + ": " + w.partner + " " + OnOff(r.partner) +
             ", " + w.input + " " + OnOff(r.input) + (ok ? "" : " <-- FAILED"));
    c.items.push_back({{"output", std::string(w.output)},
                       {"on", r.on},
                       {Lower(w.partner), r.partner},
                       {Lower(w.input), r.input}});
  }
  c.figures.push_back({Lower(w.input) + "_follows_" + Lower(w.output), follows});
  if (!follows) Diagnose(w, readings, c.diagnosis);
  return follows;
}

// DTR, then RTS, each with the inputs that follow it; true when both are followed. A port that
// fails ends it at once.
bool FollowBoth(CheckContext& context, RunningCheck& run) {
  bool passed = true;
  for (const Wiring* w : {&kDtr, &kRts}) {
    std::vector<Reading> readings;
    try {
      readings = Follow(context, *w);
    } catch (const std::exception& e) {
      run.Line(std::string(w->output) + ": " + e.what());
      return false;
    }
    passed = Report(run, *w, readings) && passed;
  }
  run.Out().figures.push_back(
      {"handshake_delay_ms", std::int64_t{context.RunSettings().HandshakeDelay}});
  return passed;
}

}  // namespace

CheckOutcome RunFullPlugCheck(CheckContext& context) {
  RunningCheck run(context, "plug", kTitle);
  context.TakeEvents();
  const bool passed = run.UnlessPseudoTerminal(
      "A pseudo-terminal has no modem lines: DCD and RI cannot be read",
      "The device is a pseudo-terminal: it has no modem lines, so the full plug check cannot "
      "pass on it and says nothing about wires.",
      [&] { return FollowBoth(context, run); });
  KeepEvents(context, run.Out().events);
  return run.Finish(passed);
}

}  // namespace serivane::run
