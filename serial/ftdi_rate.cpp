#include "serial/ftdi_rate.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace serivane::serial {

namespace {

// Divisors are counted in eighths. The chip holds 14 bits of whole divisor and three bits of
// fraction; the driver does not check the top, so a larger divisor wraps into the fraction bits
// and the chip runs at some unrelated rate.
constexpr std::int64_t kMaxEighths = (16383 << 3) | 7;
// Between 1 and 2 the chip knows only two special codes: 1 (its top rate) and 1.5.
constexpr std::int64_t kOne = 8;
constexpr std::int64_t kOneAndAHalf = 12;
constexpr std::int64_t kTwo = 16;

// The base clocks times eight: a divisor of d eighths makes clock8 / d.
constexpr double kClock8Low = 24'000'000.0;   // 3 MHz
constexpr double kClock8High = 96'000'000.0;  // 12 MHz

constexpr std::array<std::int32_t, 10> kSioRates = {300,  600,   1200,  2400,  4800,
                                                    9600, 19200, 38400, 57600, 115200};

bool WithinTwoPercent(double real, std::int32_t asked) {
  return std::abs(real - static_cast<double>(asked)) * 50.0 <= static_cast<double>(asked);
}

std::string Head(std::int32_t asked) {
  return std::to_string(asked) + " baud: this port makes ";
}

std::string RateText(double rate) {
  return std::to_string(std::lround(rate));
}

// The AM chip has only the fractions 0, 1/8, 1/4 and 1/2.
bool AmFraction(std::int64_t eighths) {
  const std::int64_t f = eighths & 7;
  return f == 0 || f == 1 || f == 2 || f == 4;
}

bool Makes(FtdiChip chip, std::int64_t eighths) {
  if (eighths == kOne) return true;
  if (eighths == kOneAndAHalf) return chip != FtdiChip::kAm;
  if (eighths < kTwo || eighths > kMaxEighths) return false;
  return chip != FtdiChip::kAm || AmFraction(eighths);
}

// The divisor ftdi_sio hands the chip: the asked rate's divisor rounded to the nearest eighth;
// the AM's driver then moves 3/8 down to 1/4, 5/8 and 3/4 down to 1/2 and 7/8 up to the next
// whole number.
std::int64_t DriverEighths(FtdiChip chip, double clock8, std::int32_t asked) {
  const auto a = static_cast<std::int64_t>(asked);
  const auto c = static_cast<std::int64_t>(clock8);
  // floor(c / a + 1/2), the kernel's DIV_ROUND_CLOSEST.
  std::int64_t d = (2 * c + a) / (2 * a);
  if (chip == FtdiChip::kAm) {
    if ((d & 7) == 7) ++d;
    const std::int64_t f = d & 7;
    d = (d & ~std::int64_t{7}) | (f == 3 ? 2 : (f == 5 || f == 6) ? 4 : f);
  }
  return d;
}

RateCheck DividedRate(FtdiChip chip, double clock8, std::int32_t asked) {
  const std::int64_t d = DriverEighths(chip, clock8, asked);
  const double real = clock8 / static_cast<double>(d);
  if (Makes(chip, d) && WithinTwoPercent(real, asked)) {
    return static_cast<std::int32_t>(std::lround(real));
  }
  // The slowest rate: the smallest whole rate whose rounded divisor still fits.
  if (d > kMaxEighths) {
    const double slowest = std::ceil(clock8 / (static_cast<double>(kMaxEighths) + 0.5));
    return RateRefusal(Head(asked) + "at least " + RateText(slowest));
  }
  // The divisors the chip has on either side of the exact quotient.
  const double quotient = clock8 / static_cast<double>(asked);
  auto below = static_cast<std::int64_t>(std::floor(quotient));
  while (below >= kOne && !Makes(chip, below)) --below;
  auto above = static_cast<std::int64_t>(std::ceil(quotient));
  while (above <= kMaxEighths && !Makes(chip, above)) ++above;
  if (below < kOne) return RateRefusal(Head(asked) + "at most " + RateText(clock8 / kOne));
  return RateRefusal(Head(asked) + RateText(clock8 / static_cast<double>(above)) + " or " +
                     RateText(clock8 / static_cast<double>(below)));
}

RateCheck SioRate(std::int32_t asked) {
  if (std::find(kSioRates.begin(), kSioRates.end(), asked) != kSioRates.end()) return asked;
  // The driver falls back to 9600 for a rate outside its table.
  const auto above = std::upper_bound(kSioRates.begin(), kSioRates.end(), asked);
  if (above == kSioRates.begin()) return RateRefusal(Head(asked) + "at least 300");
  if (above == kSioRates.end()) return RateRefusal(Head(asked) + "at most 115200");
  return RateRefusal(Head(asked) + std::to_string(*(above - 1)) + " or " + std::to_string(*above));
}

std::int32_t ReadHex(const std::string& path) {
  std::ifstream in(path);
  std::string text;
  if (!(in >> text)) return -1;
  char* end = nullptr;
  const long value = std::strtol(text.c_str(), &end, 16);
  return end != text.c_str() && *end == '\0' ? static_cast<std::int32_t>(value) : -1;
}

}  // namespace

FtdiChip DetectFtdiChip(const UsbSerialFacts& facts) {
  if (facts.driver != "ftdi_sio" || facts.bcd_device < 0) return FtdiChip::kNone;
  const std::int32_t v = facts.bcd_device;
  if (v < 0x200) return FtdiChip::kSio;
  switch (v) {
    case 0x200:
      return facts.has_latency_timer ? FtdiChip::kBm : FtdiChip::kAm;
    case 0x400:   // FT232BM
    case 0x500:   // FT2232C/D
    case 0x600:   // FT232R
    case 0x1000:  // FT-X
      return FtdiChip::kBm;
    case 0x700:   // FT2232H
    case 0x800:   // FT4232H
    case 0x900:   // FT232H
    case 0x2800:  // FT2233HP
    case 0x2900:  // FT4233HP
    case 0x3000:  // FT2232HP
    case 0x3100:  // FT4232HP
    case 0x3200:  // FT233HP
    case 0x3300:  // FT232HP
    case 0x3600:  // FT4232HA
      return FtdiChip::kHighSpeed;
    default:
      return FtdiChip::kNone;
  }
}

UsbSerialFacts ReadUsbSerialFacts(const std::string& sysfs_root, const std::string& kernel_name) {
  namespace fs = std::filesystem;
  UsbSerialFacts facts;
  const std::string device = sysfs_root + "/class/tty/" + kernel_name + "/device";
  std::error_code ec;
  const fs::path driver = fs::read_symlink(device + "/driver", ec);
  if (ec) return facts;
  facts.driver = driver.filename().string();
  facts.has_latency_timer = fs::exists(device + "/latency_timer", ec);
  // The port's device sits below its USB interface, the interface below the USB device. The
  // kernel resolves ".." after following the "device" link, so the path needs no resolving here.
  facts.product_id = ReadHex(device + "/../../idProduct");
  facts.bcd_device = ReadHex(device + "/../../bcdDevice");
  return facts;
}

RateCheck CheckFtdiRate(FtdiChip chip, std::int32_t asked) {
  if (asked <= 0) return asked;
  switch (chip) {
    case FtdiChip::kNone:
      return asked;
    case FtdiChip::kSio:
      return SioRate(asked);
    case FtdiChip::kHighSpeed:
      if (asked > 12'000'000) return RateRefusal(Head(asked) + "at most 12000000");
      if (asked >= 1200) return DividedRate(chip, kClock8High, asked);
      return DividedRate(FtdiChip::kBm, kClock8Low, asked);
    case FtdiChip::kAm:
    case FtdiChip::kBm:
      // Above its top rate the driver sets 9600 instead.
      if (asked > 3'000'000) return RateRefusal(Head(asked) + "at most 3000000");
      return DividedRate(chip, kClock8Low, asked);
  }
  return asked;
}

std::string FtdiChipText(FtdiChip chip) {
  switch (chip) {
    case FtdiChip::kNone:
      return "";
    case FtdiChip::kSio:
      return "FTDI SIO";
    case FtdiChip::kAm:
      return "FTDI FT8U232AM";
    case FtdiChip::kBm:
      return "FTDI FT232BM class";
    case FtdiChip::kHighSpeed:
      return "FTDI high-speed (H) class";
  }
  return "";
}

}  // namespace serivane::serial
