#include "tools/run/checks/break_check.h"

#include <exception>
#include <optional>
#include <string>

#include "common/conv.h"
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

}  // namespace

CheckOutcome RunBreakCheck(CheckContext& context, std::int32_t break_ms) {
  CheckOutcome c;
  c.name = "break";
  c.title = "Break " + DecimalText(break_ms) + "ms";
  Clock& clock = context.GetClock();
  serial::CommControl& port = context.Port();
  const std::int64_t started = clock.NowMicros();
  const auto finish = [&](bool passed) {
    c.interrupted = context.StopRequested();
    c.passed = passed && !c.interrupted;
    c.lines.insert(c.lines.begin(),
                   c.title + ": sent and received" + (c.passed ? " --- OK" : " <-- FAILED"));
    c.duration_ms = (clock.NowMicros() - started) / 1000;
    return c;
  };
  c.figures.push_back({"break_ms", std::int64_t{break_ms}});

  if (context.NoModemLines()) {
    c.lines.push_back("A pseudo-terminal has no break: nothing was sent");
    c.diagnosis.push_back(
        "The device is a pseudo-terminal: it cannot send or receive a break, so the break check "
        "cannot pass on it.");
    return finish(false);
  }

  try {
    // Whatever is still on its way from the tests is not the block's.
    Settle(context);
    context.TakeEvents();
    const std::optional<serial::LineCounters> before = port.Counters();

    port.Break(true);
    Pause(context, break_ms);
    port.Break(false);
    const bool event = WaitUntil(context, kReportWaitMs, [&] {
      KeepEvents(context, c.events);
      return Has(c.events, serial::kErBreak);
    });
    const std::optional<serial::LineCounters> after = port.Counters();
    c.lines.push_back(event ? "The break came back as a break event"
                            : "No break event came back within " +
                                  DecimalText(static_cast<std::int32_t>(kReportWaitMs)) +
                                  " ms of its end");
    c.figures.push_back({"break_event", event});
    bool counted = true;
    if (before && after) {
      counted = after->brk > before->brk;
      c.lines.push_back("Break counter " + DecimalText(before->brk) + " before, " +
                        DecimalText(after->brk) + " after");
      c.figures.push_back({"break_count_before", before->brk});
      c.figures.push_back({"break_count_after", after->brk});
    }

    // The block after it: the receiver must be back to characters.
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
      c.lines.push_back(what + " came back intact");
    } else if (got.size() == block.size()) {
      c.lines.push_back(what + " came back changed");
    } else {
      c.lines.push_back(what + ": " + DecimalText(static_cast<std::int64_t>(got.size())) +
                        " came back");
    }
    c.figures.push_back({"block_chars", std::int64_t{kBlockAfterBreak}});
    c.figures.push_back({"block_received", static_cast<std::int64_t>(got.size())});
    c.figures.push_back({"block_intact", intact});

    if (!event && intact) {
      c.diagnosis.push_back(
          "No break came back while characters do: the port does not send a break, or its "
          "receiver does not report one (some adapters and drivers cannot).");
    } else if (!event) {
      c.diagnosis.push_back("No break came back: TxD 3 (2) to RxD 2 (3) does not carry it.");
    }
    if (event && !counted) {
      c.diagnosis.push_back(
          "The break came back as an event but the driver's break counter did not count it.");
    }
    if (!intact) {
      c.diagnosis.push_back(
          "Characters sent after the break did not all come back intact: the receiver did not "
          "recover from the break, or the line loses characters.");
    }
    return finish(event && counted && intact);
  } catch (const std::exception& e) {
    try {
      if (port.OpenState()) port.Break(false);
    } catch (const std::exception&) {
    }
    c.lines.push_back(std::string("The port failed: ") + e.what());
    return finish(false);
  }
}

}  // namespace serivane::run
