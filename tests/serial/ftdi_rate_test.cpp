// The rate an FTDI chip really makes, and which chip a device is, from values recorded from
// sysfs. Expected rates are worked by hand from the chips' clocks: 3 MHz or 12 MHz divided by a
// divisor in eighths (AM: eighths 0, 1, 2 and 4 only; none between 1 and 2 but 1.5). Reading
// the facts from sysfs is tested with the termios device, on a recorded adapter tree.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <utility>

#include "serial/ftdi_rate.h"
#include "serial/uart_rate.h"

namespace serivane::serial {
namespace {

TEST(FtdiRate, EachChipAcceptsWhatItMakesWithinTwoPercentAndNamesItsNeighboursOtherwise) {
  const FtdiChip am = FtdiChip::kAm, bm = FtdiChip::kBm, h = FtdiChip::kHighSpeed,
                 sio = FtdiChip::kSio;
  const std::string makes = " baud: this port makes ";
  // {chip, asked, the rate taken or the refusal's reason}
  const std::tuple<FtdiChip, std::int32_t, std::string> cases[] = {
      // clang-format off
      {bm, 9600, "9600"}, {bm, 2000000, "2000000"}, {bm, 3000000, "3000000"}, {bm, 184, "184"},
      {bm, 45056, "45028"},  // 533 eighths: where a 16550 at 115200 makes 38400
      {bm, 2500000, "2500000" + makes + "2000000 or 3000000"},
      {bm, 1450000, "1450000" + makes + "1411765 or 1500000"},  // 2.6 % off
      {bm, 3500000, "3500000" + makes + "at most 3000000"},
      {bm, 150, "150" + makes + "at least 184"},  // the divisor would overflow
      {am, 179104, "181818"}, {am, 177778, "176471"},  // 16.75 goes down to 16.5, 16.875 up to 17
      {am, 1090909, "1090909" + makes + "1000000 or 1200000"},  // 2.75 -> 2.5
      {h, 3500000, "3555556"}, {h, 1199, "1199"},  // 27 eighths of 12 MHz; under 1200 3 MHz
      {h, 12500000, "12500000" + makes + "at most 12000000"},
      {sio, 57600, "57600"}, {sio, 14400, "14400" + makes + "9600 or 19200"},
      {sio, 230400, "230400" + makes + "at most 115200"}, {FtdiChip::kNone, 45056, "45056"}};
  // clang-format on
  for (const auto& [chip, asked, outcome] : cases) {
    const RateCheck got = CheckFtdiRate(chip, asked);
    EXPECT_EQ(got.ok() ? std::to_string(got.value()) : got.refusal().reason, outcome)
        << FtdiChipText(chip) << " " << asked;
  }
}

// One row per family, the AM/BM quirk, and what leaves the rule out.
TEST(FtdiRate, TheChipComesFromBcdDeviceAsTheDriverTellsIt) {
  const std::pair<UsbSerialFacts, FtdiChip> cases[] = {
      {{"ftdi_sio", 0x6001, 0x0400, true}, FtdiChip::kBm},  // FT232BM (QEMU's usb-serial)
      {{"ftdi_sio", 0x6001, 0x0200, false}, FtdiChip::kAm},
      {{"ftdi_sio", 0x6001, 0x0200, true}, FtdiChip::kBm},         // a BM without a serial number
      {{"ftdi_sio", 0x6011, 0x3600, true}, FtdiChip::kHighSpeed},  // FT4232HA
      {{"ftdi_sio", 0x8372, 0x0100, false}, FtdiChip::kSio},
      // A product of its own on an FTDI chip: the product id does not matter.
      {{"ftdi_sio", 0xfa10, 0x0600, true}, FtdiChip::kBm},
      {{"ftdi_sio", 0x6001, 0x1234, true}, FtdiChip::kNone},  // unknown revision: no rule
      {{"ftdi_sio", -1, -1, false}, FtdiChip::kNone},
      {{"cp210x", 0xea60, 0x0100, false}, FtdiChip::kNone}};
  for (const auto& [facts, chip] : cases)
    EXPECT_EQ(DetectFtdiChip(facts), chip) << facts.driver << " " << std::hex << facts.bcd_device;
}

}  // namespace
}  // namespace serivane::serial
