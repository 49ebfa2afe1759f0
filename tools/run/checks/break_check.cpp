#include "tools/run/checks/break_check.h"

#include <exception>
#include <optional>
#include <string>

#include "common/conv.h"
#include "tools/run/checks/running_check.h"
#include "tools/run/checks/waiting.h"

namespace serivane::run {

namespace {

// How long a break may take to be reported after it ends: a driver with counters is looked at
// five times a second.
constexpr std::int64_t kReportWaitMs = 1000;

bool Has(const std::vector<std::int16_t>& events, std::int16_t code) {
  return std::find(events.begin(), events.end(), code) != events.end();
}

// Printable characters that differ from their neighbours, cut to the data bits in use.
std::string Block(int data_bits) {
  std::string block;
  const unsigned mask = (1u << data_bits) - 1u;
  for (std::int32_t i = 0; i < kBlockAfterBreak; ++i)
    block.push_back(static_cast<char>((0x30u + static_cast<unsigned>(i) * 7u) & mask));
  return block;
}

// What became of the break itself.
struct BreakSeen {
  bool event = false;   // it came back as a break event
  bool counted = true;  // the driver's break counter went up, where it has one
};

// Holds the break for `break_ms`, then waits for its event and reads the break counter.
BreakSeen SendBreak(CheckContext& context, RunningCheck& run, std::int32_t break_ms) {
  serial::CommControl& port = context.Port();
  CheckOutcome& c = run.Out();
  // Whatever is still on its way from the tests is not the block's.
  Settle(context);
  context.TakeEvents();
  const std::optional<serial::LineCounters> before = port.Counters();

  port.Break(true);
  Pause(context, break_ms);
  port.Break(false);
  BreakSeen seen;
  seen.event = WaitUntil(context, kReportWaitMs, [&] {
    KeepEvents(context, c.events);
    return Has(c.events, serial::kErBreak);
  });
  const std::optional<serial::LineCounters> after = port.Counters();
  run.Line(seen.event
               ? "The break came back as a break event"
               : "No break event came back within " +
                     DecimalText(static_cast<std::int32_t>(kReportWaitMs)) + " ms of its end");
  c.figures.push_back({"break_event", seen.event});
  if (before && after) {
    seen.counted = after->brk > before->brk;
    run.Line("Break counter " + DecimalText(before->brk) + " before, " + DecimalText(after->brk) +
             " after");
    c.figures.push_back({"break_count_before", before->brk});
    c.figures.push_back({"break_count_after", after->brk});
  }
  return seen;
}

// Sends the block after the break (the receiver must be back to characters); true when it came
// back intact.
bool SendBlockAfter(CheckContext& context, RunningCheck& run) {
  serial::CommControl& port = context.Port();
  CheckOutcome& c = run.Out();
  const serial::LineConfig line = serial::LineConfig::Parse(port.LineSettings());
  const std::string block = Block(line.data_bits);
  port.TransmitText(block);
  // As long as the data tests wait for their echo.
  const std::int64_t limit_ms =
      WireMicros(line, kBlockAfterBreak) / 1000 + 1 + context.RunSettings().TestTimeout;
  WaitUntil(context, limit_ms, [&] { return port.InBufferCount() >= kBlockAfterBreak; });
  KeepEvents(context, c.events);
  const std::string got = port.ReceivedText();
  const bool intact = got == block;
  const std::string what = DecimalText(kBlockAfterBreak) + " characters after the break";
  if (intact) {
    run.Line(what + " came back intact");
  } else if (got.size() == block.size()) {
    run.Line(what + " came back changed");
  } else {
    run.Line(what + ": " + DecimalText(static_cast<std::int64_t>(got.size())) + " came back");
  }
  c.figures.push_back({"block_chars", std::int64_t{kBlockAfterBreak}});
  c.figures.push_back({"block_received", static_cast<std::int64_t>(got.size())});
  c.figures.push_back({"block_intact", intact});
  return intact;
}

// What a break that did not come back whole points at.
void DiagnoseBreak(RunningCheck& run, const BreakSeen& seen, bool intact) {
  if (!seen.event && intact) {
    run.Diagnose(
        "No break came back while characters do: the port does not send a break, or its "
        "receiver does not report one (some adapters and drivers cannot).");
  } else if (!seen.event) {
    run.Diagnose("No break came back: TxD 3 (2) to RxD 2 (3) does not carry it.");
  }
  if (seen.event && !seen.counted) {
    run.Diagnose(
        "The break came back as an event but the driver's break counter did not count it.");
  }
  if (!intact) {
    run.Diagnose(
        "Characters sent after the break did not all come back intact: the receiver did not "
        "recover from the break, or the line loses characters.");
  }
}

// The break, then the block after it; true when both came back.
bool BreakAndBlock(CheckContext& context, RunningCheck& run, std::int32_t break_ms) {
  serial::CommControl& port = context.Port();
  try {
    const BreakSeen seen = SendBreak(context, run, break_ms);
    const bool intact = SendBlockAfter(context, run);
    DiagnoseBreak(run, seen, intact);
    return seen.event && seen.counted && intact;
  } catch (const std::exception& e) {
    // The line is not left held in a break.
    try {
      if (port.OpenState()) port.Break(false);
    } catch (const std::exception&) {
    }
    run.Line(PortFailedLine(e));
    return false;
  }
}

}  // namespace

CheckOutcome RunBreakCheck(CheckContext& context, std::int32_t break_ms) {
  RunningCheck run(context, "break", "Break " + DecimalText(break_ms) + "ms");
  run.Out().figures.push_back({"break_ms", std::int64_t{break_ms}});
  const bool passed = run.UnlessPseudoTerminal(
      "A pseudo-terminal has no break: nothing was sent",
      "The device is a pseudo-terminal: it cannot send or receive a break, so the break check "
      "cannot pass on it.",
      [&] { return BreakAndBlock(context, run, break_ms); });
  return run.Finish(passed, run.Title() + ": sent and received");
}

}  // namespace serivane::run
