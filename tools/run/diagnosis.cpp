#include "tools/run/diagnosis.h"

#include <algorithm>

#include "common/conv.h"
#include "serial/comm_control.h"

namespace serivane::run {

namespace {

// Characters a data test that failed got back, as far as it read its echo.
std::optional<std::int64_t> ReceivedOnFailure(const TestRecord* record) {
  if (record == nullptr || record->failures == 0) return std::nullopt;
  return record->kept.received;
}

// The test got more characters back than it sent.
bool TooMany(const TestRecord* record) {
  const std::optional<std::int64_t> received = ReceivedOnFailure(record);
  return received && *received > record->kept.sent;
}

bool LineErrorSeen(const TestRecord& record) {
  return std::any_of(record.events.begin(), record.events.end(), [](std::int16_t code) {
    return code > 1000 && code != serial::kErDeviceGone;
  });
}

// A handshake input against its output: the sentence for the way it fails to follow, if any.
std::optional<std::string> Handshake(const TestRecord& record, const std::string& wire) {
  bool on_when_off = false;
  bool off_when_on = false;
  for (const engine::HandshakeLevels& l : record.levels) {
    on_when_off = on_when_off || (!l.out && l.in);
    off_when_on = off_when_on || (l.out && !l.in);
  }
  const std::string output = wire.substr(0, 3);
  const std::string input = wire.substr(wire.find(" to ") + 4, 3);
  if (on_when_off && off_when_on) {
    return input + " is the opposite of " + output + ": " + wire +
           ", crossed with another line or inverted.";
  }
  if (on_when_off) {
    return input + " stays on when " + output + " is off: " + wire + ", " + input +
           " stuck on (shorted to a line that is on, or driven from outside).";
  }
  if (off_when_on) {
    return input + " does not follow " + output + ": " + wire + ", " + input +
           " stuck off (the wire is missing or broken).";
  }
  return std::nullopt;
}

}  // namespace

bool LostOrChanged(const PortOutcome& outcome, std::int16_t number) {
  const TestRecord* record = outcome.Test(number);
  const std::optional<std::int64_t> received = ReceivedOnFailure(record);
  if (!received) return false;
  const std::int64_t sent = record->kept.sent;
  if (*received > 0 && *received < sent) return true;
  // All characters back and the test still failed: some came back changed, or with a line error.
  return *received == sent && (number == 2 || LineErrorSeen(*record));
}

namespace {

// The port opened for the run and its device node was gone when test 1 opened it again: the
// adapter was pulled between two tests, before the open port could notice.
bool VanishedBeforeReopen(const PortOutcome& o) {
  const TestRecord* t = o.Test(1);
  return t != nullptr && t->failures > 0 && t->kept.port_error == serial::kErrInvalidPortNumber;
}

// Test 1: the port does not reopen, or reopens slowly.
void DiagnoseOpening(const PortOutcome& o, std::vector<std::string>& out) {
  const std::string max_ms = DecimalText(o.settings.MaxDuration);

  if (const TestRecord* t = o.Test(1);
      t != nullptr && t->failures > 0 && !VanishedBeforeReopen(o)) {
    out.push_back(
        "The port did not open again after it was closed: the driver or the adapter "
        "refuses to reopen it.");
  }
  if (o.slow_opens > 0) {
    out.push_back("Closing and opening the port took longer than " + max_ms + " ms (" +
                  DecimalText(o.slow_opens) + (o.slow_opens == 1 ? " time" : " times") +
                  "): the driver is slow to open the port.");
  }
}

// Tests 2 and 3: no character back at all, too many, or some lost or changed.
void DiagnoseEcho(const PortOutcome& o, std::vector<std::string>& out) {
  const TestRecord* data = o.Test(2);
  const TestRecord* single = o.Test(3);
  const bool data_silent = ReceivedOnFailure(data) == 0;
  const bool single_silent = ReceivedOnFailure(single) == 0;
  const bool data_ok = data != nullptr && data->failures == 0;
  const bool single_ok = single != nullptr && single->failures == 0;
  if ((data_silent || single_silent) && !data_ok && !single_ok) {
    out.push_back("No character came back: TxD 3 (2) to RxD 2 (3) is not connected.");
  }
  if (TooMany(data) || TooMany(single)) {
    out.push_back(
        "More characters came back than were sent: something else sends on RxD 2 (3), "
        "or the line picks up noise.");
  }
  if (LostOrChanged(o, 2) || LostOrChanged(o, 3)) {
    const std::string rate = DecimalText(o.settings.BaudRate) + " baud";
    if (o.lower_rate_passed == true) {
      out.push_back("Characters were lost or changed at " + rate + " but not at " +
                    DecimalText(o.lower_rate) +
                    " baud: noise, cable length or ground (pin 5 (7)).");
    } else if (o.lower_rate_passed == false) {
      out.push_back("Characters were lost or changed at " + rate + " and at " +
                    DecimalText(o.lower_rate) +
                    " baud as well: a loose contact on TxD 3 (2), RxD 2 (3) or ground (pin 5 "
                    "(7)), or a faulty port.");
    } else {
      out.push_back("Characters were lost or changed at " + rate +
                    ": noise, cable length or ground (pin 5 (7)), or a faulty port; a run at a "
                    "lower rate tells them apart.");
    }
  }
}

// Tests 4 and 5: each input against its output, and DCD beside DSR.
void DiagnoseHandshakes(const PortOutcome& o, std::vector<std::string>& out) {
  const bool handshakes = o.Test(4) != nullptr || o.Test(5) != nullptr;
  if (o.no_modem_lines && handshakes) {
    // A pseudo-terminal has no RTS, CTS, DTR, DSR or DCD: its inputs always read off, so a
    // failed handshake test says nothing about any wire.
    out.push_back(
        "The device is a pseudo-terminal: it has no modem lines, so the handshake tests cannot "
        "pass on it and say nothing about wires.");
  } else {
    if (const TestRecord* t = o.Test(4)) {
      if (auto sentence = Handshake(*t, "RTS 7 (4) to CTS 8 (5)")) out.push_back(*sentence);
    }
    if (const TestRecord* t = o.Test(5)) {
      const std::optional<std::string> dsr = Handshake(*t, "DTR 4 (20) to DSR 6 (6)");
      if (dsr) out.push_back(*dsr);
      const bool dcd_follows =
          !t->levels.empty() &&
          std::any_of(t->levels.begin(), t->levels.end(), [](const auto& l) { return l.out; }) &&
          std::any_of(t->levels.begin(), t->levels.end(), [](const auto& l) { return !l.out; }) &&
          std::all_of(t->levels.begin(), t->levels.end(),
                      [](const auto& l) { return l.dcd == l.out; });
      // A full plug only when DSR follows as well; otherwise DCD shows that DTR itself works.
      if (dcd_follows && !dsr) {
        out.push_back("DCD follows DTR: a full plug (DTR 4 (20) to DSR 6 (6) and DCD 1 (8)).");
      } else if (dcd_follows) {
        out.push_back(
            "DCD follows DTR, so DTR 4 (20) reaches the plug: the fault is on DSR 6 (6).");
      }
    }
  }
}

}  // namespace

std::vector<std::string> Diagnose(const PortOutcome& o) {
  std::vector<std::string> out;
  if (!o.opened) return out;
  DiagnoseOpening(o, out);
  DiagnoseEcho(o, out);
  DiagnoseHandshakes(o, out);
  const bool gone = std::any_of(o.tests.begin(), o.tests.end(), [](const TestRecord& t) {
    return std::find(t.events.begin(), t.events.end(), serial::kErDeviceGone) != t.events.end();
  });
  if (gone || VanishedBeforeReopen(o)) {
    out.push_back("The device went away during the run: a USB adapter unplugged, or its cable.");
  }
  for (const CheckOutcome& check : o.checks)
    if (!check.passed) out.insert(out.end(), check.diagnosis.begin(), check.diagnosis.end());
  return out;
}

}  // namespace serivane::run
