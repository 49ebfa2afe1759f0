// The termios backend's device: one open terminal. Its locks are in port_lock.cpp, its console
// guard in console_guard.cpp, the termios image it gives the driver in termios_config.cpp.
#include "serial/termios_device.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <utility>
#include <vector>

#include "common/errno_text.h"
#include "common/unique_fd.h"
#include "serial/console_guard.h"
#include "serial/ftdi_rate.h"
#include "serial/port_lock.h"
#include "serial/serial_error.h"
#include "serial/termios_config.h"
#include "serial/termios_rate.h"
#include "serial/uart_rate.h"

namespace serivane::serial {

namespace {

std::string Reason(int err) {
  return ErrnoText(err);
}

[[noreturn]] void Fail(std::int32_t number, const std::string& text) {
  throw CommError(number, text);
}

// True when the device is a USB adapter, found from sysfs as discovery finds it.
bool OnUsb(const std::string& sysfs_root, const std::string& kernel_name) {
  std::error_code ec;
  const std::filesystem::path subsystem = std::filesystem::canonical(
      sysfs_root + "/class/tty/" + kernel_name + "/device/subsystem", ec);
  const std::string bus = ec ? "" : subsystem.filename().string();
  return bus == "usb" || bus == "usb-serial";
}

}  // namespace

// An optional ioctl's fate on this device: not yet tried, answered, or not supported.
enum class Support { kUnknown, kYes, kNo };

struct DeviceFacts {
  // The device node `path` led to.
  std::string path;
  dev_t device = 0;
  ino_t node = 0;
  dev_t node_fs = 0;

  std::string real_path;  // every link resolved
  std::string lock_name;
  std::vector<ConsoleTty> consoles;  // for a node that stands for another terminal
  bool divisor_clock = false;        // baud_base is the clock the UART divides
  FtdiChip ftdi = FtdiChip::kNone;
  Support counters = Support::kUnknown;     // TIOCGICOUNT
  Support modem_lines = Support::kUnknown;  // TIOCMBIS, TIOCMBIC, TIOCMGET
  Support serial_info = Support::kUnknown;  // TIOCGSERIAL

  // The lock file, held from the first open until these facts are dropped: a close for a
  // reopen of the same device keeps it, so that no other program takes the port in between.
  UucpLock lock;
};

namespace {

// Lines and counters are polled: drivers differ too much in what TIOCMIWAIT reports. Five looks
// a second let a change reach the event monitor well within the window's 500 ms status tick.
constexpr std::int64_t kLinePollMicros = 200'000;

class TermiosDevice final : public Device {
 public:
  // `facts` is shared with the caller, who keeps it for the next open: what this device learns
  // about its driver's ioctls is written into it.
  TermiosDevice(std::string path, UniqueFd fd, const KernelTermios& saved,
                std::shared_ptr<DeviceFacts> facts)
      : path_(std::move(path)), fd_(std::move(fd)), saved_(saved), facts_(std::move(facts)) {
    // Drivers without counters (pseudo-terminals, most USB adapters) answer ENOTTY or EINVAL;
    // their line errors are then read from the marks the line discipline puts in the data.
    if (facts_->counters != Support::kNo) {
      serial_icounter_struct counts{};
      has_counters_ = ::ioctl(fd_.get(), TIOCGICOUNT, &counts) == 0;
      if (has_counters_) counts_ = counts;
      facts_->counters = has_counters_ ? Support::kYes : Support::kNo;
    }
    has_modem_lines_ = facts_->modem_lines != Support::kNo;
  }
  ~TermiosDevice() override { Close(); }

  void Configure(const LineConfig& config, std::int32_t flow) override {
    const TermiosImage image = TermiosFor(config, flow, has_counters_);
    const std::string what = path_ + " did not take the line settings " + config.Text();
    if (!SetKernelTermios(fd_.get(), image.termios, image.custom_rate)) {
      const Refusal refused = SystemRefusal(errno, SystemStep::kSettings);
      Fail(refused.number,
           what + (image.custom_rate != 0 ? ": rate not supported (" + refused.reason + ")"
                                          : ": " + refused.reason));
    }
    KernelTermios got;
    if (!GetKernelTermios(fd_.get(), got)) {
      const Refusal refused = SystemRefusal(errno, SystemStep::kSettings);
      Fail(refused.number, what + ": " + refused.reason);
    }
    CheckTaken(image.termios, got).OrThrow(what + ": ");
    (void)CheckRealRate(config.baud, static_cast<std::int32_t>(got.ospeed)).OrThrow(what + ": ");
    config_ = config;
  }

  void SetOutputs(bool dtr, bool rts) override {
    if (!has_modem_lines_) return;
    const int on = (dtr ? TIOCM_DTR : 0) | (rts ? TIOCM_RTS : 0);
    const int off = (dtr ? 0 : TIOCM_DTR) | (rts ? 0 : TIOCM_RTS);
    if ((on && ::ioctl(fd_.get(), TIOCMBIS, &on) != 0) ||
        (off && ::ioctl(fd_.get(), TIOCMBIC, &off) != 0)) {
      NoteModemFailure(errno);
    }
  }

  ModemInputs Inputs() override {
    if (!has_modem_lines_ || gone_) return {};
    int bits = 0;
    if (::ioctl(fd_.get(), TIOCMGET, &bits) != 0) {
      NoteModemFailure(errno);
      return {};
    }
    return {(bits & TIOCM_CTS) != 0, (bits & TIOCM_DSR) != 0, (bits & TIOCM_CD) != 0,
            (bits & TIOCM_RI) != 0};
  }

  bool SetBreak(bool on) override {
    // A pseudo-terminal takes both requests and sends nothing: it has no line to hold.
    if (gone_ || !has_modem_lines_) return false;
    // TIOCSBRK first lets the driver send what it holds; TIOCCBRK ends the break at once.
    if (::ioctl(fd_.get(), on ? TIOCSBRK : TIOCCBRK) == 0) return true;
    if (errno == EIO || errno == ENXIO || errno == ENODEV) SetGone(Reason(errno));
    return false;
  }

  std::size_t Write(std::string_view bytes) override {
    if (gone_ || bytes.empty()) return 0;
    for (;;) {
      const ssize_t n = ::write(fd_.get(), bytes.data(), bytes.size());
      if (n >= 0) return static_cast<std::size_t>(n);
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) SetGone(Reason(errno));
      return 0;
    }
  }

  bool Poll(DeviceSink& sink) override {
    if (gone_) return false;
    pollfd p{fd_.get(), POLLIN, 0};
    while (::poll(&p, 1, 0) < 0 && errno == EINTR) {
    }
    if (p.revents & POLLNVAL) {
      SetGone("the descriptor is no longer valid");
      return false;
    }
    // A vanished device may still hold bytes that arrived before it went; take them first.
    if (p.revents & (POLLIN | POLLHUP | POLLERR)) ReadAll(sink);
    if (!gone_ && (p.revents & (POLLHUP | POLLERR))) SetGone("the device hung up");
    if (!gone_) PollCounters(sink);
    return !gone_;
  }

  bool Gone() const override { return gone_; }
  std::string GoneReason() const override { return path_ + " has gone: " + gone_reason_; }

  std::optional<LineCounters> Counters() const override {
    serial_icounter_struct now{};
    if (!has_counters_ || gone_ || ::ioctl(fd_.get(), TIOCGICOUNT, &now) != 0) return std::nullopt;
    return LineCounters{now.rx,      now.tx,          now.frame, now.parity,
                        now.overrun, now.buf_overrun, now.brk};
  }
  int Fd() const override { return fd_.get(); }
  std::int64_t NextDueMicros() const override { return -1; }
  std::int64_t LinePollMicros() const override {
    // A pseudo-terminal and most USB adapters have neither lines nor counters: nothing to watch.
    return has_modem_lines_ || has_counters_ ? kLinePollMicros : -1;
  }

  void Close() override {
    if (fd_.get() < 0) return;
    if (!gone_) {
      // Output still queued would hold close() for the port's closing_wait (30 s by default)
      // while the driver tries to drain it; the bytes are abandoned instead.
      ::tcflush(fd_.get(), TCOFLUSH);
      SetKernelTermios(fd_.get(), saved_);
      ::ioctl(fd_.get(), TIOCNXCL);
    }
    fd_.Reset();
  }

 private:
  void SetGone(const std::string& reason) {
    gone_ = true;
    gone_reason_ = reason;
  }

  // The driver reads back the rate it was asked for. A UART makes the rate of its whole
  // divisor, which only its base clock tells; an FTDI chip the rate of its divisor in eighths.
  RateCheck CheckRealRate(std::int32_t asked, std::int32_t read_back) {
    DriverRate driver;
    driver.read_back = read_back;
    if (facts_->ftdi != FtdiChip::kNone) {
      RateCheck chip = CheckFtdiRate(facts_->ftdi, asked);
      if (!chip.ok()) return chip;
      // A driver that falls back to another rate still says so.
      RateCheck back = CheckRate(asked, driver);
      return back.ok() ? chip : back;
    }
    serial_struct info{};
    if (facts_->divisor_clock && facts_->serial_info != Support::kNo) {
      const bool answered = ::ioctl(fd_.get(), TIOCGSERIAL, &info) == 0;
      facts_->serial_info = answered ? Support::kYes : Support::kNo;
      if (answered && info.baud_base > 0) driver.baud_base = info.baud_base;
    }
    return CheckRate(asked, driver);
  }

  void NoteModemFailure(int err) {
    // Pseudo-terminals and some adapters have no modem lines at all.
    if (err == ENOTTY || err == EINVAL) {
      has_modem_lines_ = false;
      facts_->modem_lines = Support::kNo;
    } else if (err == EIO || err == ENXIO || err == ENODEV) {
      SetGone(Reason(err));
    }
  }

  void ReadAll(DeviceSink& sink) {
    char buf[4096];
    // Bounded, so that a device that never stops talking cannot hold the event loop.
    for (int i = 0; i < 64; ++i) {
      const ssize_t n = ::read(fd_.get(), buf, sizeof buf);
      if (n > 0) {
        Deliver(std::string_view(buf, static_cast<std::size_t>(n)), sink);
        if (static_cast<std::size_t>(n) < sizeof buf) return;
        continue;
      }
      if (n == 0) {
        // With VMIN = VTIME = 0 an empty terminal answers 0, not EAGAIN. Only a first read
        // that finds nothing right after poll() reported the descriptor ready shows a device
        // that has hung up.
        if (i == 0) SetGone("the device hung up");
        return;
      }
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return;
      SetGone(Reason(errno));
      return;
    }
  }

  void Deliver(std::string_view bytes, DeviceSink& sink) {
    if (has_counters_) {
      sink.Received(bytes);
      return;
    }
    // With parity off only a framing error can mark a character.
    marks_.Feed(bytes, config_.parity == 'N' ? kErFrame : kErRxParity, sink);
  }

  void PollCounters(DeviceSink& sink) {
    if (!has_counters_) return;
    serial_icounter_struct now{};
    if (::ioctl(fd_.get(), TIOCGICOUNT, &now) != 0) {
      if (errno == EIO || errno == ENXIO || errno == ENODEV) SetGone(Reason(errno));
      return;
    }
    if (now.brk != counts_.brk) sink.LineError(kErBreak);
    if (now.frame != counts_.frame) sink.LineError(kErFrame);
    if (now.parity != counts_.parity) sink.LineError(kErRxParity);
    if (now.overrun != counts_.overrun) sink.LineError(kErOverrun);
    if (now.buf_overrun != counts_.buf_overrun) sink.LineError(kErRxOver);
    counts_ = now;
  }

  std::string path_;
  UniqueFd fd_;
  KernelTermios saved_;
  std::shared_ptr<DeviceFacts> facts_;
  LineConfig config_;
  bool has_counters_ = false;
  bool has_modem_lines_ = true;
  bool gone_ = false;
  std::string gone_reason_;
  serial_icounter_struct counts_{};
  MarkDecoder marks_;
};

}  // namespace

void MarkDecoder::Feed(std::string_view bytes, std::int16_t marked_error, DeviceSink& sink) {
  std::string out;
  out.reserve(bytes.size());
  for (const char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    switch (state_) {
      case State::kNone:
        if (b == 0xFF) {
          state_ = State::kFF;
        } else {
          out.push_back(c);
        }
        break;
      case State::kFF:
        state_ = State::kNone;
        if (b == 0x00) {
          state_ = State::kFF00;
        } else {
          // FF FF is a real FF. Anything else cannot come from the line discipline; keep both.
          out.push_back('\xFF');
          if (b != 0xFF) out.push_back(c);
        }
        break;
      case State::kFF00:
        state_ = State::kNone;
        if (!out.empty()) sink.Received(out);
        out.clear();
        if (b == 0x00) {
          sink.LineError(kErBreak);
        } else {
          sink.Received(std::string_view(&c, 1));
          sink.LineError(marked_error);
        }
        break;
    }
  }
  if (!out.empty()) sink.Received(out);
}

namespace {

// Learns where `path` (found by stat as `st`) leads and refuses the console. Reads the console's
// sysfs files and resolves the path's links: done once per device, not at every open.
std::shared_ptr<DeviceFacts> Learn(const std::string& path, const struct stat& st,
                                   const SystemPaths& paths, const std::string& cannot) {
  auto facts = std::make_shared<DeviceFacts>();
  facts->path = path;
  facts->device = st.st_rdev;
  facts->node = st.st_ino;
  facts->node_fs = st.st_dev;
  char resolved[PATH_MAX];
  if (::realpath(path.c_str(), resolved) == nullptr) {
    const Refusal refused = SystemRefusal(errno, SystemStep::kFindDevice);
    Fail(refused.number, cannot + refused.reason);
  }
  facts->real_path = resolved;
  const std::string kernel_name = KernelName(facts->real_path);
  facts->consoles = ConsoleTtys(paths.sysfs_root);
  if (const ConsoleTty* tty = FindConsole(facts->consoles, st.st_rdev, kernel_name)) {
    Fail(kErrHardwareNotAvailable,
         cannot + "it is the system console (" + tty->name + "); it is never opened for testing");
  }
  facts->lock_name = LockFileName(facts->real_path);
  facts->divisor_clock = !OnUsb(paths.sysfs_root, kernel_name);
  if (!facts->divisor_clock) {
    facts->ftdi = DetectFtdiChip(ReadUsbSerialFacts(paths.sysfs_root, kernel_name));
  }
  return facts;
}

}  // namespace

std::unique_ptr<Device> OpenTermiosDevice(const std::string& path, const SystemPaths& paths,
                                          const LineConfig& config, std::int32_t flow, bool dtr,
                                          bool rts, std::shared_ptr<DeviceFacts>& known) {
  const std::string cannot = "Cannot open " + path + ": ";
  std::shared_ptr<DeviceFacts> facts = std::move(known);
  known.reset();

  // stat follows every link at once; the device number and inode tell whether the path still
  // leads where it did at the last open.
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    const Refusal refused = SystemRefusal(errno, SystemStep::kFindDevice);
    Fail(refused.number, cannot + refused.reason);
  }
  if (!S_ISCHR(st.st_mode)) {
    Fail(kErrInvalidPortNumber, cannot + "it is not a serial port (not a terminal device)");
  }
  if (!facts || facts->path != path || facts->device != st.st_rdev || facts->node != st.st_ino ||
      facts->node_fs != st.st_dev) {
    // The lock of where the path led before goes first: the device found now may bear its name.
    facts.reset();
    facts = Learn(path, st, paths, cannot);
  }
  const std::string& real_path = facts->real_path;

  // A lock kept over the close is used again only while it is still ours; one that someone
  // removed or replaced meanwhile is taken afresh, as at a first open.
  if (!facts->lock.Holds(paths.lock_dir + "/" + facts->lock_name)) {
    facts->lock.Release();
    facts->lock.Acquire(paths.lock_dir, facts->lock_name, real_path).OrThrow();
  }

  UniqueFd fd(::open(real_path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (fd.get() < 0) {
    const int err = errno;
    const Refusal refused = SystemRefusal(err, SystemStep::kOpenDevice);
    std::string detail;
    if (refused.number == kErrPortAlreadyOpen) {
      detail = "; " + InUseText("it", DeviceHolders(st.st_rdev));
    } else if (err == EACCES || err == EPERM) {
      detail = "; " + PermissionHint(real_path);
    }
    Fail(refused.number, cannot + refused.reason + detail);
  }

  KernelTermios saved;
  if (!GetKernelTermios(fd.get(), saved)) {
    Fail(kErrInvalidPortNumber, cannot + "it is not a serial port (not a terminal device)");
  }
  // A node that stands for another terminal (/dev/tty, the controlling terminal) shows which one
  // only once open. The kernel answers in its own 32-bit encoding of device numbers.
  unsigned int behind = 0;
  if (::ioctl(fd.get(), TIOCGDEV, &behind) == 0) {
    const dev_t number =
        makedev((behind & 0xfff00u) >> 8, (behind & 0xffu) | ((behind >> 12) & 0xfff00u));
    if (number != st.st_rdev) {
      if (const ConsoleTty* tty = FindConsole(facts->consoles, number, {})) {
        Fail(kErrHardwareNotAvailable, cannot + "it is the system console (" + tty->name +
                                           "); it is never opened for testing");
      }
    }
  }
  if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
    // Our own descriptor is let go first, so that only the holders are named.
    fd.Reset();
    Fail(kErrPortAlreadyOpen, cannot + InUseText("it", DeviceHolders(st.st_rdev)));
  }
  // Keeps other programs from opening the port while it is ours (the superuser is exempt).
  ::ioctl(fd.get(), TIOCEXCL);

  auto device = std::make_unique<TermiosDevice>(path, std::move(fd), saved, facts);
  device->Configure(config, flow);
  device->SetOutputs(dtr, rts);
  known = std::move(facts);
  return device;
}

}  // namespace serivane::serial