// The soak (--soak DURATION, --flow rts): a continuous stream at the run's line settings for a
// given time, every character checked on its return.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>

#include "tools/run/checks/check.h"

namespace serivane::run {

// The characters a soak sends: every code the data bits allow, in a reproducible pseudo-random
// order. The stream is made of rounds; each round is every code once, shuffled (Fisher-Yates)
// with a splitmix64 generator started from kSeed, so a round of 8 data bits holds each of the
// 256 codes exactly once and two runs send the same stream.
class SoakSequence {
 public:
  static constexpr std::uint64_t kSeed = 0x5E41'0000'0232'50AFULL;

  explicit SoakSequence(int data_bits);
  // The next `count` characters of the stream.
  std::string Next(std::size_t count);

 private:
  void Shuffle();
  std::uint64_t state_ = kSeed;
  std::size_t codes_;  // 2 to the data bits
  std::array<std::uint8_t, 256> round_{};
  std::size_t at_ = 0;  // the next character of round_
};

// What became of the characters a stream check accounted for.
struct StreamCounts {
  std::int64_t ok = 0;            // arrived as sent, in their place
  std::int64_t lost = 0;          // sent, never arrived
  std::int64_t changed = 0;       // arrived in the place of a character sent, but another code
  std::int64_t extra = 0;         // arrived, never sent
  std::int64_t out_of_order = 0;  // arrived as sent, but moved from their place
  std::int64_t Errors() const { return lost + changed + extra + out_of_order; }
  bool operator==(const StreamCounts&) const = default;
};

// How two short stretches that stand between two agreeing parts of a stream differ: `sent` went
// out where `received` came back. The characters of their longest common subsequence count as
// ok; of the rest, a code found on both sides has moved (out of order); then each remaining sent
// character paired with a remaining received one is changed, and the surplus is lost or extra.
StreamCounts CompareStretch(std::string_view sent, std::string_view received);

// Compares what comes back with what was sent, as both arrive. After a mismatch it looks for
// where the received stream picks up the sent one again: the smallest total of sent characters
// skipped and received characters skipped (each at most `window`) after which `confirm`
// characters agree; failing that, a longer loss (up to everything outstanding). What was skipped
// on both sides is classified by CompareStretch. A stretch of garbage with no such place is
// counted as changed (and lost or extra for the difference) `window` characters at a time, so
// the cost per character stays bounded.
//
// Memory: the characters sent and not yet accounted for (the caller bounds them by how far it
// lets its sender run ahead) and at most window + confirm received characters awaiting a verdict.
class StreamCheck {
 public:
  static constexpr std::size_t kWindow = 64;
  static constexpr std::size_t kConfirm = 8;

  explicit StreamCheck(std::size_t window = kWindow, std::size_t confirm = kConfirm);

  // Characters handed to the port, in order; call before any of them can come back.
  void Sent(std::string_view chars);
  // Characters that came back, in order.
  void Received(std::string_view chars);
  // Nothing more will come back for what was sent so far: every character still outstanding
  // gets its verdict now (what arrives later counts as extra).
  void Settle();

  // Sent and not yet accounted for.
  std::int64_t Outstanding() const { return static_cast<std::int64_t>(sent_.size()); }
  const StreamCounts& Counts() const { return counts_; }
  // Characters sent so far, and the number (from 1) of the sent character at which the first
  // error was found (0: none yet).
  std::int64_t SentTotal() const { return sent_total_; }
  std::int64_t FirstErrorCharacter() const { return first_error_character_; }

 private:
  void Process(bool final);
  bool Agree(std::size_t n, std::size_t m, bool final) const;
  // Gives a verdict on the first `n` sent and `m` received characters; `aligned`: they stand
  // between places where the streams agree, and are compared closely.
  void Account(std::size_t n, std::size_t m, bool aligned);

  std::size_t window_;
  std::size_t confirm_;
  std::deque<char> sent_;      // outstanding, oldest first
  std::deque<char> received_;  // awaiting a verdict
  std::int64_t sent_total_ = 0;
  std::int64_t accounted_ = 0;  // sent characters given a verdict
  std::int64_t first_error_character_ = 0;
  StreamCounts counts_;
};

// Runs the soak for `soak_ms` on the context's open port, with RTS/CTS handshake when
// `flow_rts` (the port's flow control is put back afterwards).
CheckOutcome RunSoakCheck(CheckContext& context, std::int64_t soak_ms, bool flow_rts);

// "90s", "10m", "2h", "1500ms": a duration as the command line would give it.
std::string DurationText(std::int64_t ms);

}  // namespace serivane::run
