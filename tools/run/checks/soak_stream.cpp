#include "tools/run/checks/soak.h"

#include <algorithm>
#include <utility>

namespace serivane::run {

// The soak's stream: the sequence it sends and the comparison of what comes back.

SoakSequence::SoakSequence(int data_bits) : codes_(std::size_t{1} << data_bits) {
  for (std::size_t i = 0; i < codes_; ++i) round_[i] = static_cast<std::uint8_t>(i);
  Shuffle();
}

void SoakSequence::Shuffle() {
  for (std::size_t i = codes_ - 1; i > 0; --i) {
    // splitmix64
    std::uint64_t z = (state_ += 0x9E37'79B9'7F4A'7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58'476D'1CE4'E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D0'49BB'1331'11EBULL;
    z ^= z >> 31;
    std::swap(round_[i], round_[z % (i + 1)]);
  }
  at_ = 0;
}

std::string SoakSequence::Next(std::size_t count) {
  std::string out;
  out.reserve(count);
  while (out.size() < count) {
    if (at_ == codes_) Shuffle();
    out.push_back(static_cast<char>(round_[at_++]));
  }
  return out;
}

// ---- The comparison ------------------------------------------------------------------------

StreamCounts CompareStretch(std::string_view sent, std::string_view received) {
  // The longest common subsequence, one row at a time over the shorter side.
  std::string_view outer = sent, inner = received;
  if (inner.size() > outer.size()) std::swap(outer, inner);
  std::vector<std::size_t> row(inner.size() + 1, 0), next(inner.size() + 1, 0);
  for (const char a : outer) {
    for (std::size_t j = 0; j < inner.size(); ++j) {
      next[j + 1] = a == inner[j] ? row[j] + 1 : std::max(row[j + 1], next[j]);
    }
    std::swap(row, next);
  }
  const auto in_order = static_cast<std::int64_t>(row[inner.size()]);

  // Codes found on both sides: those beyond the common subsequence have moved.
  std::array<std::int64_t, 256> sent_codes{}, received_codes{};
  for (const char c : sent) ++sent_codes[static_cast<std::uint8_t>(c)];
  for (const char c : received) ++received_codes[static_cast<std::uint8_t>(c)];
  std::int64_t common = 0;
  for (std::size_t c = 0; c < 256; ++c) common += std::min(sent_codes[c], received_codes[c]);

  StreamCounts counts;
  counts.ok = in_order;
  counts.out_of_order = common - in_order;
  const auto sent_left = static_cast<std::int64_t>(sent.size()) - common;
  const auto received_left = static_cast<std::int64_t>(received.size()) - common;
  counts.changed = std::min(sent_left, received_left);
  counts.lost = sent_left - counts.changed;
  counts.extra = received_left - counts.changed;
  return counts;
}

StreamCheck::StreamCheck(std::size_t window, std::size_t confirm)
    : window_(std::max<std::size_t>(window, 1)), confirm_(std::max<std::size_t>(confirm, 1)) {}

void StreamCheck::Sent(std::string_view chars) {
  sent_.insert(sent_.end(), chars.begin(), chars.end());
  sent_total_ += static_cast<std::int64_t>(chars.size());
}

void StreamCheck::Received(std::string_view chars) {
  for (const char c : chars) {
    received_.push_back(c);
    // Only a mismatch keeps characters waiting, and never more than it needs to decide.
    if (received_.size() >= window_ + confirm_) Process(false);
  }
  Process(false);
}

void StreamCheck::Settle() {
  Process(true);
}

// Whether the streams agree again after skipping `n` sent and `m` received characters: the
// next `confirm_` characters match. Short of that many on either side, only a final look
// decides (on what there is; both sides used up agree).
bool StreamCheck::Agree(std::size_t n, std::size_t m, bool final) const {
  const std::size_t sent_after = sent_.size() - n, received_after = received_.size() - m;
  std::size_t length = confirm_;
  if (sent_after < confirm_ || received_after < confirm_) {
    if (!final) return false;
    length = std::min(sent_after, received_after);
    if (length == 0) return sent_after == received_after;
  }
  for (std::size_t i = 0; i < length; ++i) {
    if (sent_[n + i] != received_[m + i]) return false;
  }
  return true;
}

void StreamCheck::Account(std::size_t n, std::size_t m, bool aligned) {
  StreamCounts c;
  if (aligned) {
    const std::string sent(sent_.begin(), sent_.begin() + static_cast<std::ptrdiff_t>(n));
    const std::string received(received_.begin(),
                               received_.begin() + static_cast<std::ptrdiff_t>(m));
    c = CompareStretch(sent, received);
  } else {
    // Between places that agree, short stretches are worth a closer look; in a run of garbage,
    // codes that happen to match are chance, not characters that arrived.
    const auto sent_n = static_cast<std::int64_t>(n), received_n = static_cast<std::int64_t>(m);
    c.changed = std::min(sent_n, received_n);
    c.lost = sent_n - c.changed;
    c.extra = received_n - c.changed;
  }
  if (c.Errors() > 0 && first_error_character_ == 0) first_error_character_ = accounted_ + 1;
  counts_.ok += c.ok;
  counts_.lost += c.lost;
  counts_.changed += c.changed;
  counts_.extra += c.extra;
  counts_.out_of_order += c.out_of_order;
  accounted_ += static_cast<std::int64_t>(n);
  sent_.erase(sent_.begin(), sent_.begin() + static_cast<std::ptrdiff_t>(n));
  received_.erase(received_.begin(), received_.begin() + static_cast<std::ptrdiff_t>(m));
}

void StreamCheck::Process(bool final) {
  while (true) {
    std::size_t same = 0;
    while (same < sent_.size() && same < received_.size() && sent_[same] == received_[same]) {
      ++same;
    }
    if (same > 0) {
      counts_.ok += static_cast<std::int64_t>(same);
      accounted_ += static_cast<std::int64_t>(same);
      sent_.erase(sent_.begin(), sent_.begin() + static_cast<std::ptrdiff_t>(same));
      received_.erase(received_.begin(), received_.begin() + static_cast<std::ptrdiff_t>(same));
    }
    if (received_.empty()) {
      // Whatever is still outstanding may yet arrive, unless this is the final look.
      if (final && !sent_.empty()) Account(sent_.size(), 0, false);
      return;
    }
    if (sent_.empty()) {
      // Nothing was sent that these could be: extra, whatever follows.
      Account(0, received_.size(), false);
      return;
    }
    // A mismatch: decided once enough has arrived to tell a loss from a change or an extra.
    const bool enough =
        received_.size() >= window_ + confirm_ && sent_.size() >= window_ + confirm_;
    if (!final && !enough) return;

    bool found = false;
    // The nearest place where both streams agree again: fewest characters skipped in all.
    for (std::size_t skipped = 1; skipped <= 2 * window_ && !found; ++skipped) {
      for (std::size_t n = std::min(skipped, window_) + 1; n-- > 0 && !found;) {
        const std::size_t m = skipped - n;
        if (m > window_ || n > sent_.size() || m > received_.size()) continue;
        if (Agree(n, m, final)) {
          Account(n, m, true);
          found = true;
        }
      }
    }
    // A longer run of lost characters, up to everything outstanding.
    for (std::size_t n = window_ + 1; n <= sent_.size() && !found; ++n) {
      if (Agree(n, 0, final)) {
        Account(n, 0, true);
        found = true;
      }
    }
    if (found) continue;
    if (final) {
      Account(sent_.size(), received_.size(), false);
      return;
    }
    // Nothing agrees nearby: a window's worth is taken as it stands, and the search goes on.
    Account(std::min(window_, sent_.size()), std::min(window_, received_.size()), false);
  }
}

}  // namespace serivane::run
