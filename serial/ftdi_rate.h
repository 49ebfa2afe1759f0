// What an FTDI USB adapter really makes of an asked rate.
//
// The kernel's ftdi_sio driver hands the chip a divisor in eighths of its base clock and stores
// the asked rate back into termios, so reading the rate back says nothing about what the chip
// makes. This file computes it the way the driver picks the divisor, and applies the same 2 %
// rule (and the same refusal text) as CheckRate does for a UART's whole divisor.
//
// Two steps, both pure, so that they test from recorded values without a device:
//   1. DetectFtdiChip: which divisor family a device belongs to, from what sysfs tells about it
//      (ReadUsbSerialFacts reads those values from a sysfs tree).
//   2. CheckFtdiRate: the entry point of the rule. The rate the chip makes for an asked rate,
//      or the refusal.
#pragma once

#include <cstdint>
#include <string>

#include "serial/uart_rate.h"

namespace serivane::serial {

// How the chip divides, by family:
//   kSio       the first chip (FT8U100AX): ten fixed rates, 300 to 115200
//   kAm        FT8U232AM: 3 MHz base, fractions of 1/8, 1/4 and 1/2 only
//   kBm        FT232BM, FT2232C/D, FT232R, FT-X: 3 MHz base, any eighth
//   kHighSpeed FT2232H, FT4232H, FT232H and the HP/HA series: 12 MHz base, any eighth, from
//              1200 baud up (below 1200 the driver uses the 3 MHz base)
// kNone: not an FTDI adapter on ftdi_sio, or a chip revision this rule does not know: the
// driver's read-back is then all there is to go by.
enum class FtdiChip { kNone, kSio, kAm, kBm, kHighSpeed };

// What sysfs says about a terminal's device, as found under <sysfs>/class/tty/<name>/device.
struct UsbSerialFacts {
  std::string driver;              // the name the device's driver link ends in ("ftdi_sio")
  std::int32_t product_id = -1;    // the USB device's idProduct, -1 when not found
  std::int32_t bcd_device = -1;    // the USB device's bcdDevice (0x0400 for an FT232BM)
  bool has_latency_timer = false;  // ftdi_sio shows latency_timer for all but SIO and AM chips
};

// The driver tells the chips apart by bcdDevice alone (product ids are reused by the many
// products built on these chips). One quirk: an FT232BM without a serial number reports
// bcdDevice 0x0200 like an AM; the driver then takes it for a BM, and shows its latency timer.
FtdiChip DetectFtdiChip(const UsbSerialFacts& facts);

// Reads the facts for terminal `kernel_name` ("ttyUSB0") below `sysfs_root` ("/sys"): the
// driver link and latency_timer of <root>/class/tty/<name>/device, and idProduct and bcdDevice
// of the USB device two levels above it. Missing files leave their fields at the defaults.
UsbSerialFacts ReadUsbSerialFacts(const std::string& sysfs_root, const std::string& kernel_name);

// The FTDI rule. For `chip` and an asked rate (bits per second, above 0): the rate the chip
// makes (the divisor the driver picks, rounded to the nearest eighth, as the chip's clock
// divided by it), when that is within 2 % of the asked rate. Otherwise the refusal
// names the rates the chip makes around the asked one, in the form CheckRate uses:
//   "2500000 baud: this port makes 2000000 or 3000000"   (BM: no divisor between 1 and 2
//                                                        but 1.5)
//   "4000000 baud: this port makes at most 3000000"
//   "150 baud: this port makes at least 184"             (the 14-bit divisor overflows)
// kNone takes every rate at its word.
RateCheck CheckFtdiRate(FtdiChip chip, std::int32_t asked);

// "FT232BM class" and the like, for messages and reports; "" for kNone.
std::string FtdiChipText(FtdiChip chip);

}  // namespace serivane::serial
