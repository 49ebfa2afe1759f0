// The rate sweep. Each rate gets a block of about 200 ms of wire time (at least 16 characters),
// sent at once and read back as it arrives. The rate the port runs at is the slope of the
// characters received over time: fixed delays on the way back (a FIFO's trigger level, a USB
// adapter's latency timer, the system's wake-up) shift every arrival alike and drop out of it.
#include "tools/run/checks/sweep.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <optional>
#include <string>
#include <utility>

#include "serial/comm_control.h"
#include "tools/run/checks/running_check.h"
#include "tools/run/checks/waiting.h"

namespace serivane::run {

namespace {

constexpr std::int64_t kTargetWireUs = 200'000;
constexpr std::int64_t kMinCharacters = 16;
// The control's send buffer holds 64 KiB; a block stays well within it.
constexpr std::int64_t kMaxCharacters = 32768;

enum class Verdict { kPassed, kFailed, kRefused, kStopped };

struct RateResult {
  std::int32_t asked = 0;
  Verdict verdict = Verdict::kPassed;
  std::string reason;  // why it failed or was refused
  std::int64_t characters = 0;
  std::int64_t duration_us = 0;  // from sending to the last character of the block back
  std::int64_t wire_us = 0;      // the block's wire time at the asked rate
  std::optional<double> measured_baud;
  bool off_rate = false;
  // Came back faster than any rate the port takes: no wire carried it at a rate (an emulated
  // UART's transmitter hands each character over at once).
  bool beyond_port = false;
};

std::int64_t Ms(std::int64_t us) {
  return (us + 500) / 1000;
}

std::string Plural(std::int64_t n, const char* word) {
  return std::to_string(n) + ' ' + word + (n == 1 ? "" : "s");
}

// Characters for about kTargetWireUs at `baud`, within the limits.
std::int64_t BlockSize(std::int32_t baud, int bits) {
  const std::int64_t chars =
      (std::int64_t{baud} * kTargetWireUs + bits * 1'000'000LL - 1) / (bits * 1'000'000LL);
  return std::clamp(chars, kMinCharacters, kMaxCharacters);
}

// Every code the data bits allow, in an order that changes many bits between neighbours.
std::string Block(std::int64_t size, int data_bits) {
  const unsigned mask = (1u << data_bits) - 1u;
  std::string block(static_cast<std::size_t>(size), '\0');
  for (std::int64_t i = 0; i < size; ++i)
    block[static_cast<std::size_t>(i)] = static_cast<char>((i * 73 + 11) & mask);
  return block;
}

// True when `got` is `sent` with characters left out: lost ones shift the rest, not change it.
bool InOrderWithin(const std::string& got, const std::string& sent) {
  std::size_t at = 0;
  for (const char c : got) {
    at = sent.find(c, at);
    if (at == std::string::npos) return false;
    ++at;
  }
  return true;
}

// What is wrong with an echo, or "" when it is the block.
std::string EchoFault(const std::string& sent, const std::string& got) {
  const std::size_t common = std::min(sent.size(), got.size());
  std::int64_t changed = 0;
  std::size_t first = 0;
  for (std::size_t i = 0; i < common; ++i) {
    if (sent[i] != got[i] && changed++ == 0) first = i;
  }
  const auto n = static_cast<std::int64_t>(sent.size());
  if (got.size() < sent.size()) {
    return "only " + std::to_string(got.size()) + " of " + std::to_string(n) +
           " characters came back" + (InOrderWithin(got, sent) ? "" : ", some changed");
  }
  if (changed > 0) {
    return std::to_string(changed) + " of " + std::to_string(n) +
           " characters came back changed, the first at " + std::to_string(first + 1);
  }
  if (got.size() > sent.size()) {
    return std::to_string(n) + " characters came back and " +
           Plural(static_cast<std::int64_t>(got.size() - sent.size()), "extra character");
  }
  return "";
}

// Characters per microsecond: the least-squares slope of the count over time.
std::optional<double> Slope(const std::vector<std::pair<std::int64_t, std::int64_t>>& points) {
  const auto n = static_cast<double>(points.size());
  double st = 0, sc = 0;
  for (const auto& [t, c] : points) {
    st += static_cast<double>(t);
    sc += static_cast<double>(c);
  }
  const double mt = st / n, mc = sc / n;
  double stt = 0, stc = 0;
  for (const auto& [t, c] : points) {
    const double dt = static_cast<double>(t) - mt;
    stt += dt * dt;
    stc += dt * (static_cast<double>(c) - mc);
  }
  if (stt <= 0 || stc <= 0) return std::nullopt;
  return stc / stt;
}

// The part of a refusal that says why, without the device and settings in front of it.
std::string RefusalReason(const std::string& description, const std::string& settings) {
  const std::string marker = "line settings " + settings + ": ";
  const std::size_t at = description.find(marker);
  return at == std::string::npos ? description : description.substr(at + marker.size());
}

class Sweep {
 public:
  // `fastest`: the highest rate the port takes, 0 when the device has no wire timing.
  Sweep(CheckContext& context, serial::LineConfig frame, std::int32_t fastest)
      : c_(context), frame_(frame), fastest_(fastest) {}

  RateResult Run(std::int32_t asked) {
    RateResult r;
    r.asked = asked;
    serial::LineConfig config = frame_;
    config.baud = asked;
    serial::CommControl& port = c_.Port();
    try {
      port.LineSettings(config.Text());
    } catch (const serial::CommError& e) {
      r.verdict = Verdict::kRefused;
      r.reason = RefusalReason(e.description(), config.Text());
      return r;
    }
    try {
      Send(port, config, r);
    } catch (const serial::CommError& e) {
      r.verdict = Verdict::kFailed;
      r.reason = e.description();
    }
    return r;
  }

 private:
  std::int64_t Now() const { return c_.GetClock().NowMicros(); }

  // Waits until `until` (clock microseconds) or until something arrives, whichever is first.
  void WaitUntil(std::int64_t until) {
    const std::int64_t left_ms = (until - Now() + 999) / 1000;
    c_.Wait(static_cast<std::int32_t>(std::clamp<std::int64_t>(left_ms, 1, 1000)));
  }

  // The block at `config`, its echo checked and, with wire timing, its rate measured.
  void Send(serial::CommControl& port, const serial::LineConfig& config, RateResult& r) {
    const int bits = config.BitsPerCharacter();
    const std::int64_t size = BlockSize(config.baud, bits);
    const std::string block = Block(size, config.data_bits);
    r.characters = size;
    r.wire_us = size * bits * 1'000'000LL / config.baud;

    // Whatever the rate change left behind is not part of the echo.
    c_.Wait(0);
    (void)port.ReceivedText();

    Echo echo;
    if (!Receive(port, block, r, echo)) return;
    CollectExtras(port, r, echo.got);
    if (const std::string fault = EchoFault(block, echo.got); !fault.empty()) {
      r.verdict = Verdict::kFailed;
      r.reason = fault;
      return;
    }
    if (fastest_ > 0) Measure(config, echo.arrivals, r);
  }

  // What came back of a block.
  struct Echo {
    std::string got;
    // (microseconds since sending, characters in by then) at each arrival of the block.
    std::vector<std::pair<std::int64_t, std::int64_t>> arrivals;
  };

  // Sends `block` and reads its echo as it arrives, until it is all back or its time is up.
  // False when a stop or a closed port ended it, with the verdict set.
  bool Receive(serial::CommControl& port, const std::string& block, RateResult& r, Echo& echo) {
    const auto size = std::ssize(block);
    const std::int64_t start = Now();
    const std::int64_t deadline =
        start + 2 * r.wire_us + std::int64_t{c_.RunSettings().TestTimeout} * 1000;
    port.TransmitText(block);
    std::int64_t last = start;
    while (std::ssize(echo.got) < size && Now() < deadline) {
      if (c_.StopRequested()) {
        r.verdict = Verdict::kStopped;
        return false;
      }
      WaitUntil(deadline);
      if (!port.OpenState()) break;
      if (port.InBufferCount() == 0) continue;
      echo.got += port.ReceivedText();
      last = Now();
      echo.arrivals.emplace_back(last - start, std::min<std::int64_t>(std::ssize(echo.got), size));
    }
    r.duration_us = last - start;
    if (!port.OpenState()) {
      r.verdict = Verdict::kFailed;
      r.reason = "the port closed: " + port.LostReason();
      return false;
    }
    return true;
  }

  // Characters that follow the block closely are extras: two character times more.
  void CollectExtras(serial::CommControl& port, const RateResult& r, std::string& got) {
    const std::int64_t settle = Now() + std::max<std::int64_t>(5000, 2 * r.wire_us / r.characters);
    while (Now() < settle && !c_.StopRequested()) {
      WaitUntil(settle);
      if (port.InBufferCount() > 0) got += port.ReceivedText();
    }
  }

  // The rate the block came back at, and whether it is off the asked one or beyond the port.
  void Measure(const serial::LineConfig& config,
               const std::vector<std::pair<std::int64_t, std::int64_t>>& arrivals,
               RateResult& r) const {
    const std::int64_t size = r.characters;
    // The slope, when the block came back in enough pieces spread over its time; else the
    // whole block over the time it took, which can only err towards slower.
    const bool spread = arrivals.size() >= 4 && arrivals.front().second <= size / 2;
    std::optional<double> per_us = spread ? Slope(arrivals) : std::nullopt;
    if (!per_us && r.duration_us > 0)
      per_us = static_cast<double>(size) / static_cast<double>(r.duration_us);
    if (!per_us) return;
    r.measured_baud = *per_us * config.BitsPerCharacter() * 1e6;
    if (*r.measured_baud > fastest_ * (1 + kSweepTolerance)) {
      r.beyond_port = true;
      return;
    }
    const double off = std::abs(*r.measured_baud - config.baud) / config.baud;
    if (off > kSweepTolerance) {
      r.off_rate = true;
      r.verdict = Verdict::kFailed;
      r.reason = "asked " + std::to_string(config.baud) + ", runs at about " +
                 std::to_string(AboutRate(*r.measured_baud));
    }
  }

  CheckContext& c_;
  serial::LineConfig frame_;
  std::int32_t fastest_;
};

// The highest of the standard and the asked rates the port takes at `frame`, from the top down;
// the port is left at that rate. 0 when it takes none.
std::int32_t FastestRate(serial::CommControl& port, serial::LineConfig frame,
                         std::vector<std::int32_t> rates) {
  rates.insert(rates.end(), kSweepRates.begin(), kSweepRates.end());
  std::sort(rates.rbegin(), rates.rend());
  for (const std::int32_t rate : rates) {
    frame.baud = rate;
    try {
      port.LineSettings(frame.Text());
      return rate;
    } catch (const serial::CommError&) {
    }
  }
  return 0;
}

std::string RateLine(const RateResult& r) {
  const std::string asked = std::to_string(r.asked);
  const std::string figures =
      std::to_string(r.characters) + " characters in " + std::to_string(Ms(r.duration_us)) + " ms";
  switch (r.verdict) {
    case Verdict::kRefused:
      return asked + ": refused (" + r.reason + ")";
    case Verdict::kFailed:
      if (r.off_rate)
        return r.reason + ": " + figures + ", wire time " + std::to_string(Ms(r.wire_us)) + " ms";
      return asked + ": failed, " + r.reason;
    case Verdict::kStopped:
      return asked + ": stopped";
    case Verdict::kPassed:
      break;
  }
  std::string line = asked + ": passed, " + figures;
  if (!r.measured_baud || r.beyond_port) return line + " (not timed)";
  line += " (wire time " + std::to_string(Ms(r.wire_us)) + " ms)";
  if (const std::int32_t about = AboutRate(*r.measured_baud); about != r.asked)
    line += ", runs at about " + std::to_string(about);
  return line;
}

const char* VerdictWord(Verdict v) {
  switch (v) {
    case Verdict::kPassed:
      return "passed";
    case Verdict::kRefused:
      return "refused";
    default:
      return "failed";
  }
}

std::vector<Figure> ItemFigures(const RateResult& r) {
  std::vector<Figure> f{{"asked_baud", std::int64_t{r.asked}},
                        {"result", std::string(VerdictWord(r.verdict))}};
  if (r.verdict != Verdict::kRefused) {
    f.push_back({"characters", r.characters});
    f.push_back({"duration_ms", Ms(r.duration_us)});
    f.push_back({"wire_time_ms", Ms(r.wire_us)});
  }
  if (r.measured_baud && !r.beyond_port) {
    f.push_back({"measured_baud", static_cast<std::int64_t>(std::llround(*r.measured_baud))});
    f.push_back({"about_baud", std::int64_t{AboutRate(*r.measured_baud)}});
    f.push_back({"off_rate", r.off_rate});
  }
  if (!r.reason.empty()) f.push_back({"reason", r.reason});
  return f;
}

// The rates as they went: each one's result, in order, and whether a stop ended them early.
struct SweepRun {
  std::vector<RateResult> results;
  bool interrupted = false;
};

SweepRun SweepRates(CheckContext& context, Sweep& sweep, const std::vector<std::int32_t>& rates) {
  serial::CommControl& port = context.Port();
  SweepRun run;
  for (const std::int32_t rate : rates) {
    if (context.StopRequested() || !port.OpenState()) {
      run.interrupted = context.StopRequested();
      break;
    }
    RateResult r = sweep.Run(rate);
    if (r.verdict == Verdict::kStopped) {
      run.interrupted = true;
      break;
    }
    run.results.push_back(std::move(r));
  }
  return run;
}

// Sets the run's own settings again, and drops what is left of the last echo: "" or why not.
std::string RestoreRunSettings(serial::CommControl& port, const std::string& run_settings) {
  try {
    if (port.OpenState()) port.LineSettings(run_settings);
    (void)port.ReceivedText();
  } catch (const serial::CommError& e) {
    return e.description();
  }
  return "";
}

// The results counted.
struct Tally {
  std::int64_t passed = 0, failed = 0, refused = 0, off = 0, beyond = 0;
  std::optional<std::int32_t> highest;  // the highest rate that passed
};

Tally Count(const std::vector<RateResult>& results) {
  Tally t;
  for (const RateResult& r : results) {
    if (r.verdict == Verdict::kPassed) {
      ++t.passed;
      t.highest = std::max(t.highest.value_or(0), r.asked);
    }
    if (r.verdict == Verdict::kFailed) ++t.failed;
    if (r.verdict == Verdict::kRefused) ++t.refused;
    if (r.off_rate) ++t.off;
    if (r.beyond_port) ++t.beyond;
  }
  return t;
}

// A line for each rate; the standard rates beyond the port's reach are one line, not one each.
void ListRates(const std::vector<RateResult>& results, bool standard,
               std::vector<std::string>& lines) {
  std::size_t listed = results.size();
  if (standard) {
    while (listed > 0 && results[listed - 1].verdict == Verdict::kRefused) --listed;
    if (listed == 0 || results.size() - listed < 2) listed = results.size();
  }
  for (std::size_t i = 0; i < listed; ++i) lines.push_back(RateLine(results[i]));
  if (listed < results.size()) {
    const RateResult& first = results[listed];
    lines.push_back(std::to_string(first.asked) + " to " + std::to_string(results.back().asked) +
                    ": refused, " +
                    Plural(static_cast<std::int64_t>(results.size() - listed), "rate") + " (" +
                    first.reason + ")");
  }
}

// What the sweep as a whole adds after the rates' lines.
void SweepNotes(const Tally& t, bool timed, std::int32_t fastest, bool interrupted,
                const std::string& restore_fault, std::vector<std::string>& lines) {
  if (!timed) lines.push_back("A pseudo-terminal has no wire timing: the rates were not timed");
  if (t.beyond > 0) {
    lines.push_back("The echo came back faster than " + std::to_string(fastest) +
                    " baud, the fastest rate this port takes: its wire is not timed (as an "
                    "emulated UART's is not), and " +
                    (t.beyond == 1 ? std::string("that rate was") : "those rates were") +
                    " not timed");
  }
  if (interrupted) lines.push_back("Stopped before the sweep's end");
  lines.push_back(t.highest ? "Highest rate that passed: " + std::to_string(*t.highest)
                            : std::string("No rate passed"));
  if (!restore_fault.empty())
    lines.push_back("The run's rate could not be set again: " + restore_fault);
}

void DiagnoseSweep(const std::vector<RateResult>& results, const std::string& restore_fault,
                   std::vector<std::string>& diagnosis) {
  for (const RateResult& r : results) {
    if (r.off_rate) {
      diagnosis.push_back("At " + std::to_string(r.asked) + " baud the port runs at about " +
                          std::to_string(AboutRate(*r.measured_baud)) +
                          ": the adapter or its driver does not make the rate it was asked "
                          "for, and a device at " +
                          std::to_string(r.asked) + " baud sees framing errors.");
    } else if (r.verdict == Verdict::kFailed) {
      diagnosis.push_back("At " + std::to_string(r.asked) + " baud the echo failed (" + r.reason +
                          "): the port, the cable or the plug does not carry that rate.");
    }
  }
  if (!restore_fault.empty())
    diagnosis.push_back("The port did not take the run's own settings again after the sweep.");
}

std::vector<Figure> SweepFigures(const Tally& t, std::size_t rates, bool timed,
                                 const std::string& frame_text, std::int32_t fastest) {
  std::vector<Figure> f = {{"rates_asked", static_cast<std::int64_t>(rates)},
                           {"rates_passed", t.passed},
                           {"rates_failed", t.failed},
                           {"rates_refused", t.refused},
                           {"rates_off", t.off},
                           {"timed", timed},
                           {"rates_untimed", timed ? t.beyond : t.passed + t.failed},
                           {"frame", frame_text}};
  if (t.highest) f.push_back({"highest_passed_baud", std::int64_t{*t.highest}});
  if (fastest > 0) f.push_back({"port_fastest_baud", std::int64_t{fastest}});
  return f;
}

}  // namespace

std::int32_t AboutRate(double measured_baud) {
  for (const std::int32_t rate : kSweepRates) {
    if (std::abs(measured_baud - rate) <= 0.015 * rate) return rate;
  }
  if (measured_baud < 1) return 0;
  const double digits = std::floor(std::log10(measured_baud)) + 1;
  const double unit = std::pow(10.0, std::max(0.0, digits - 3));
  return static_cast<std::int32_t>(std::llround(std::round(measured_baud / unit) * unit));
}

CheckOutcome RunSweepCheck(CheckContext& context, const std::vector<std::int32_t>& asked) {
  const bool standard = asked.empty();
  const std::vector<std::int32_t> rates =
      standard ? std::vector<std::int32_t>(kSweepRates.begin(), kSweepRates.end()) : asked;
  serial::CommControl& port = context.Port();
  const std::string run_settings = port.LineSettings();
  const serial::LineConfig frame = serial::LineConfig::Parse(run_settings);
  const std::string frame_text = run_settings.substr(run_settings.find(',') + 1);
  const bool timed = !context.NoModemLines();
  RunningCheck run(context, "sweep",
                   "Rate sweep of " + Plural(std::ssize(rates), "rate") + " at " + frame_text);
  // No wire carries characters faster than the port's fastest rate: an echo that comes back
  // faster was not timed by one.
  const std::int32_t fastest = timed ? FastestRate(port, frame, rates) : 0;

  Sweep sweep(context, frame, fastest);
  const SweepRun swept = SweepRates(context, sweep, rates);
  const std::string restore_fault = RestoreRunSettings(port, run_settings);

  const Tally t = Count(swept.results);
  CheckOutcome& out = run.Out();
  for (const RateResult& r : swept.results) out.items.push_back(ItemFigures(r));
  out.interrupted = swept.interrupted;
  out.passed = t.failed == 0 && !out.interrupted && restore_fault.empty();
  ListRates(swept.results, standard, out.lines);
  SweepNotes(t, timed, fastest, out.interrupted, restore_fault, out.lines);
  DiagnoseSweep(swept.results, restore_fault, out.diagnosis);
  out.figures = SweepFigures(t, swept.results.size(), timed, frame_text, fastest);
  KeepEvents(context, out.events);
  out.duration_ms = Ms(run.ElapsedUs());

  std::string counts = std::to_string(t.passed) + " passed";
  if (t.failed > 0) counts += ", " + std::to_string(t.failed) + " failed";
  if (t.refused > 0) counts += ", " + std::to_string(t.refused) + " refused";
  return run.Conclude(run.Title() + ": " + counts + VerdictMark(out.passed));
}

}  // namespace serivane::run
