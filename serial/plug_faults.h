// Fault switches of the built-in virtual loopback plug, written as the query part of the port
// target: "loopback?echo=off", "loopback?cts=off&dsr=on", "loopback?frame=256&openfail=1".
//
// The plug is wired like a standard 9-pin loopback plug: TxD to RxD, RTS to CTS, DTR to DSR and
// DCD (wiring=full adds RTS to RI). A break holds the line in the spacing state: characters
// handed to the plug while it is held are lost. Each character arrives after its wire time at the
// current line settings (start bit, data bits, parity bit, stop bits at the baud rate) and keeps
// only its data bits. Counters such as "the K-th character" count from the first open of the port
// and survive close and reopen.
//
//   echo=off        nothing sent comes back (TxD not wired to RxD)
//   drop=K          every K-th character sent is lost (drop=1 loses all)
//   corrupt=K       every K-th character comes back with its lowest bit inverted
//   swap=K          every K-th character changes places with the one sent after it (when that one
//                   follows it onto the wire before it has arrived): out of order
//   extra=N         N extra characters ('?') arrive after the characters of each write to the
//                   plug (each TransmitText, unless the plug was full and took it in parts);
//                   N is at most 1024
//   slow=MS         a far end that answers slowly: the characters come back one at a time, each
//                   MS milliseconds after the one before it at the earliest (at most 60000)
//   break=K         a break (1001) is raised when the K-th character arrives
//   frame=K         a framing error (1004) is raised when the K-th character arrives
//   parity=K        a parity error (1009) is raised when the K-th character arrives
//   overrun=K       an overrun (1006) is raised when the K-th character arrives, and it is lost
//                   For these four the error is raised after the character's own data and any
//                   receive event (2) that the character causes, so it is the latest code.
//   cts=on|off      CTS stuck on or off, whatever RTS does (likewise dsr=, dcd=)
//   ring=on         RI held on (raises 6 once when the port opens)
//   wiring=full     a full plug: RI is wired to RTS as well (CTS and RI follow RTS); by default
//                   RI is not wired and reads off
//   ri=on|off       RI stuck on or off, whatever the wiring and RTS do
//   breaks=lost     a break sent (CommControl::Break) never reaches the receiver; by default it
//                   arrives as the break event (1001) when it ends, lasting one character at least
//   delay=MS        a far end that answers late: each character and break comes back MS
//                   milliseconds after it left the wire (at most 60000); unlike slow=, the line
//                   keeps its speed
//   openfail=N      the first N opens succeed, every later one fails with 8010 (0: never opens)
//   busy=on         every open fails with 8005, as if another program held the port
//   opendelay=MS    an open takes MS milliseconds of the clock
//   closedelay=MS   a close takes MS milliseconds of the clock
//   vanish=MS       the device disappears MS milliseconds after an open: the port closes by
//                   itself and later opens fail with 8002
//   rate=N          the wire runs at N baud whatever rate is set, as an adapter whose clock or
//                   divisor is wrong; rate=A:N only when A is set (every other rate is kept)
//   maxrate=N       a rate above N is refused with 8015, as a UART whose divisor cannot go lower
//                   refuses it (also at open, when the port's own rate is above N)
//
// The plug holds at most 65536 characters on their way; what does not fit waits in the control's
// send buffer, as it would for a UART whose transmitter is busy. Its memory is bounded whatever
// the switches say.
//
// An unknown switch or a value that does not parse or is beyond its limit makes the open fail
// with 380, naming the switch and its limit.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace serivane::serial {

struct PlugFaults {
  static constexpr std::int64_t kMaxExtra = 1024;
  static constexpr std::int64_t kMaxSlowMs = 60000;

  bool echo = true;
  std::int64_t drop_every = 0;
  std::int64_t corrupt_every = 0;
  std::int64_t extra = 0;
  std::int64_t swap_every = 0;
  std::int32_t slow_ms = 0;
  std::int64_t break_at = 0;
  std::int64_t frame_at = 0;
  std::int64_t parity_at = 0;
  std::int64_t overrun_at = 0;
  std::optional<bool> cts, dsr, dcd;
  bool ring = false;
  bool full_wiring = false;
  std::optional<bool> ri;
  bool breaks_lost = false;
  std::int32_t delay_ms = 0;
  std::int64_t open_fail_after = -1;  // -1: opens never fail
  bool busy = false;
  std::int32_t open_delay_ms = 0;
  std::int32_t close_delay_ms = 0;
  std::int32_t vanish_after_ms = -1;  // -1: never vanishes
  std::int32_t wire_rate = 0;         // rate=: the baud the wire runs at; 0: the one set
  std::int32_t wire_rate_for = 0;     // rate=A:N: only when A is set; 0: whatever is set
  std::int32_t max_rate = 0;          // maxrate=: 0: any rate is taken

  // The baud the plug's wire runs at when `set` is set.
  std::int32_t WireRate(std::int32_t set) const {
    return wire_rate > 0 && (wire_rate_for == 0 || wire_rate_for == set) ? wire_rate : set;
  }

  // Parses the part after "loopback?" (empty gives no faults). Throws CommError(380).
  static PlugFaults Parse(std::string_view query);
};

// True when `target` names the virtual plug ("loopback" or "loopback?...", any letter case).
bool IsLoopbackTarget(std::string_view target);

// The fault switches of a loopback target, the text after its '?': "loopback?cts=off" ->
// "cts=off"; empty when there is no '?'.
std::string_view PlugSwitches(std::string_view target);

}  // namespace serivane::serial
