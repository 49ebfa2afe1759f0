// The rate an FTDI chip really makes, and which chip a device is, from values recorded from
// sysfs. Expected rates are worked by hand from the chips' clocks: 3 MHz or 12 MHz divided by a
// divisor in eighths (AM: eighths 0, 1, 2 and 4 only; none between 1 and 2 but 1.5).
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "serial/ftdi_rate.h"

namespace serivane::serial {
namespace {

TEST(FtdiRate, EachChipAcceptsWhatItMakesWithinTwoPercentAndNamesItsNeighboursOtherwise) {
  struct Case {
    FtdiChip chip;
    std::int32_t asked;
    std::int32_t accepted;  // 0: refused
    std::string refusal;
  };
  const FtdiChip am = FtdiChip::kAm, bm = FtdiChip::kBm, h = FtdiChip::kHighSpeed,
                 sio = FtdiChip::kSio;
  const std::vector<Case> cases{
      {bm, 9600, 9600, ""},
      {bm, 115200, 115385, ""},  // 208 eighths
      {bm, 45056, 45028, ""},    // 533 eighths: where a 16550 at 115200 makes 38400
      {bm, 2000000, 2000000, ""},
      {bm, 3000000, 3000000, ""},
      {bm, 179104, 179104, ""},  // 16.75: any eighth
      {bm, 2500000, 0, "2500000 baud: this port makes 2000000 or 3000000"},
      {bm, 1700000, 0, "1700000 baud: this port makes 1500000 or 2000000"},
      {bm, 1450000, 0, "1450000 baud: this port makes 1411765 or 1500000"},  // 2.6 % off
      {bm, 3500000, 0, "3500000 baud: this port makes at most 3000000"},
      {bm, 184, 184, ""},
      {bm, 150, 0, "150 baud: this port makes at least 184"},  // the divisor would overflow
      {am, 179104, 181818, ""},                                // 16.75 goes down to 16.5
      {am, 177778, 176471, ""},                                // 16.875 goes up to 17
      {am, 921600, 923077, ""},                                // 26 eighths: x.25 is there
      {am, 1090909, 0, "1090909 baud: this port makes 1000000 or 1200000"},  // 2.75 -> 2.5
      {am, 2000000, 0, "2000000 baud: this port makes 1500000 or 3000000"},
      {h, 12000000, 12000000, ""},
      {h, 3500000, 3555556, ""},  // 27 eighths of 12 MHz
      {h, 2500000, 2526316, ""},
      {h, 10000000, 0, "10000000 baud: this port makes 8000000 or 12000000"},
      {h, 12500000, 0, "12500000 baud: this port makes at most 12000000"},
      {h, 1199, 1199, ""},  // below 1200 the 3 MHz base
      {h, 150, 0, "150 baud: this port makes at least 184"},
      {sio, 57600, 57600, ""},
      {sio, 14400, 0, "14400 baud: this port makes 9600 or 19200"},
      {sio, 230400, 0, "230400 baud: this port makes at most 115200"},
      {FtdiChip::kNone, 45056, 45056, ""},
  };
  for (const Case& c : cases) {
    const RateCheck got = CheckFtdiRate(c.chip, c.asked);
    const std::string row = FtdiChipText(c.chip) + " " + std::to_string(c.asked);
    if (c.accepted != 0) {
      ASSERT_TRUE(got.ok()) << row << ": " << got.refusal().reason;
      EXPECT_EQ(got.value(), c.accepted) << row;
    } else {
      ASSERT_FALSE(got.ok()) << row;
      EXPECT_EQ(got.refusal().reason, c.refusal) << row;
    }
  }
}

TEST(FtdiRate, TheChipComesFromBcdDeviceAsTheDriverTellsIt) {
  struct Case {
    UsbSerialFacts facts;
    FtdiChip chip;
  };
  const std::vector<Case> cases{
      {{"ftdi_sio", 0x6001, 0x0400, true}, FtdiChip::kBm},  // FT232BM (QEMU's usb-serial)
      {{"ftdi_sio", 0x6001, 0x0600, true}, FtdiChip::kBm},  // FT232R
      {{"ftdi_sio", 0x6015, 0x1000, true}, FtdiChip::kBm},  // FT-X
      {{"ftdi_sio", 0x6010, 0x0500, true}, FtdiChip::kBm},  // FT2232C
      {{"ftdi_sio", 0x6001, 0x0200, false}, FtdiChip::kAm},
      {{"ftdi_sio", 0x6001, 0x0200, true}, FtdiChip::kBm},         // a BM without a serial number
      {{"ftdi_sio", 0x6010, 0x0700, true}, FtdiChip::kHighSpeed},  // FT2232H
      {{"ftdi_sio", 0x6014, 0x0900, true}, FtdiChip::kHighSpeed},  // FT232H
      {{"ftdi_sio", 0x6011, 0x3600, true}, FtdiChip::kHighSpeed},  // FT4232HA
      {{"ftdi_sio", 0x8372, 0x0100, false}, FtdiChip::kSio},
      // A product of its own on an FTDI chip: the product id does not matter.
      {{"ftdi_sio", 0xfa10, 0x0600, true}, FtdiChip::kBm},
      {{"ftdi_sio", 0x6001, 0x1234, true}, FtdiChip::kNone},  // unknown revision: no rule
      {{"ftdi_sio", -1, -1, false}, FtdiChip::kNone},
      {{"cp210x", 0xea60, 0x0100, false}, FtdiChip::kNone},
      {{"ch341-uart", 0x7523, 0x0264, false}, FtdiChip::kNone},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(DetectFtdiChip(c.facts), c.chip)
        << c.facts.driver << " " << std::hex << c.facts.bcd_device;
  }
}

// A tree laid out as the kernel lays out a USB adapter: the tty's "device" link leads to the
// port below its interface, below the USB device.
TEST(FtdiRate, FactsAreReadFromTheTtyTheInterfaceAndTheUsbDevice) {
  namespace fs = std::filesystem;
  const fs::path root = fs::temp_directory_path() / ("serivane-sysfs-" + std::to_string(getpid()));
  const fs::path usb = root / "devices/pci0000:00/usb1/1-1";
  const fs::path port = usb / "1-1:1.0/ttyUSB0";
  fs::create_directories(port);
  fs::create_directories(root / "bus/usb-serial/drivers/ftdi_sio");
  fs::create_directories(root / "class/tty/ttyUSB0");
  std::ofstream(usb / "idProduct") << "6001\n";
  std::ofstream(usb / "bcdDevice") << "0400\n";
  std::ofstream(port / "latency_timer") << "16\n";
  fs::create_symlink("../../../../../bus/usb-serial/drivers/ftdi_sio", port / "driver");
  fs::create_symlink("../../../devices/pci0000:00/usb1/1-1/1-1:1.0/ttyUSB0",
                     root / "class/tty/ttyUSB0/device");

  const UsbSerialFacts facts = ReadUsbSerialFacts(root.string(), "ttyUSB0");
  EXPECT_EQ(facts.driver, "ftdi_sio");
  EXPECT_EQ(facts.product_id, 0x6001);
  EXPECT_EQ(facts.bcd_device, 0x0400);
  EXPECT_TRUE(facts.has_latency_timer);
  EXPECT_EQ(ReadUsbSerialFacts(root.string(), "ttyUSB1").driver, "");
  fs::remove_all(root);
}

}  // namespace
}  // namespace serivane::serial
