// The termios backend. Every termios, ioctl and kernel header of the program is included here
// (and the termios2 rate code in termios_rate.cpp); nothing outside this file sees them.
#include "serial/termios_device.h"

#include <fcntl.h>
#include <grp.h>
#include <linux/serial.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <utility>
#include <vector>

#include "common/errno_text.h"
#include "common/unique_fd.h"
#include "serial/termios_rate.h"
#include "serial/uart_rate.h"

namespace serivane::serial {

namespace {

std::string Reason(int err) {
  return ErrnoText(err);
}

// Added to the system's reason when a device path names nothing.
constexpr const char* kNotPresent =
    " (the device is not present: connect it, or map the port to "
    "the device's path with serivane-ports)";

[[noreturn]] void Fail(std::int32_t number, const std::string& text) {
  throw CommError(number, text);
}

// "process 1234 (minicom)", from the name the kernel keeps for the process.
std::string ProcessText(long pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/comm");
  std::string name;
  std::getline(in, name);
  return "process " + std::to_string(pid) + (name.empty() ? "" : " (" + name + ")");
}

// The processes that have the character device `device` open, as "process 1234 (minicom)"
// joined by ", "; "" when none is visible (another user's processes may be hidden).
std::string DeviceHolders(dev_t device) {
  namespace fs = std::filesystem;
  std::string holders;
  std::error_code ec;
  for (const fs::directory_entry& proc : fs::directory_iterator("/proc", ec)) {
    const std::string name = proc.path().filename().string();
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::error_code fd_ec;
    for (const fs::directory_entry& fd : fs::directory_iterator(proc.path() / "fd", fd_ec)) {
      struct stat st {};
      if (::stat(fd.path().c_str(), &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == device) {
        holders += (holders.empty() ? "" : ", ") + ProcessText(std::stol(name));
        break;
      }
    }
  }
  return holders;
}

// "<what> is in use by process 1234 (minicom): end that program or choose another port".
std::string InUseText(const std::string& what, const std::string& holders) {
  return what + " is in use by " + (holders.empty() ? "another program" : holders) +
         ": end that program or choose another port";
}

// For a permission failure on `path`: which group owns it and whether this user is in that
// group, e.g. "the device belongs to group dialout, and you are not a member of it".
std::string PermissionHint(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return {};
  std::string group_name = std::to_string(st.st_gid);
  // getgrgid_r, not getgrgid: ports may be opened on several threads at once.
  struct group entry {};
  struct group* found = nullptr;
  std::vector<char> buffer(16384);
  if (::getgrgid_r(st.st_gid, &entry, buffer.data(), buffer.size(), &found) == 0 &&
      found != nullptr)
    group_name = found->gr_name;
  bool member = ::getegid() == st.st_gid;
  const int n = ::getgroups(0, nullptr);
  if (n > 0) {
    std::vector<gid_t> groups(static_cast<std::size_t>(n));
    if (::getgroups(n, groups.data()) == n) {
      member = member || std::find(groups.begin(), groups.end(), st.st_gid) != groups.end();
    }
  }
  return "the device belongs to group " + group_name +
         (member ? ", and you are a member of it (the device does not let its group in)"
                 : ", and you are not a member of it (add yourself to it and log in again)");
}

// True when the device is a USB adapter, found from sysfs as discovery finds it.
bool OnUsb(const std::string& sysfs_root, const std::string& kernel_name) {
  std::error_code ec;
  const std::filesystem::path subsystem = std::filesystem::canonical(
      sysfs_root + "/class/tty/" + kernel_name + "/device/subsystem", ec);
  const std::string bus = ec ? "" : subsystem.filename().string();
  return bus == "usb" || bus == "usb-serial";
}

// Device name as the kernel's console list writes it: the path below /dev.
std::string KernelName(const std::string& real_path) {
  constexpr std::string_view kDev = "/dev/";
  if (real_path.starts_with(kDev)) return real_path.substr(kDev.size());
  const auto slash = real_path.rfind('/');
  return slash == std::string::npos ? real_path : real_path.substr(slash + 1);
}

// The lock file's name: LCK.. and the path below /dev, further slashes made underscores.
std::string LockFileName(const std::string& device_path) {
  std::string name = KernelName(device_path);
  std::replace(name.begin(), name.end(), '/', '_');
  return "LCK.." + name;
}

// The UUCP lock file that other serial programs (minicom, picocom, uucp, ModemManager)
// honour: LCK..<name> in the lock folder, holding the owner's process number as ten ASCII
// digits and a newline. Created by writing a private file and hard-linking it into place, so no
// reader ever sees a half-written lock.
class UucpLock {
 public:
  UucpLock() = default;
  UucpLock(UucpLock&& other) noexcept : path_(std::exchange(other.path_, {})) {}
  UucpLock& operator=(UucpLock&&) = delete;
  UucpLock(const UucpLock&) = delete;
  ~UucpLock() { Release(); }

  // Throws 8005 when a live process holds the lock. A lock folder that is missing or not
  // writable is no reason to refuse the port: the lock is then simply not taken.
  void Acquire(const std::string& lock_dir, const std::string& device_path) {
    const std::string lock_path = lock_dir + "/" + LockFileName(device_path);
    // The private file is named for this open, not only for the process: ports opened at the
    // same time on several threads must not write, link or remove each other's file.
    static std::atomic<unsigned> next_temp{0};
    const std::string temp_path = lock_dir + "/LTMP." + std::to_string(::getpid()) + "." +
                                  std::to_string(next_temp.fetch_add(1));
    {
      UniqueFd temp(::open(temp_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
      if (temp.get() < 0) return;
      char text[16];
      const int len = std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(::getpid()));
      if (::write(temp.get(), text, static_cast<std::size_t>(len)) != len) {
        ::unlink(temp_path.c_str());
        return;
      }
    }
    for (int attempt = 0; attempt < 2; ++attempt) {
      if (::link(temp_path.c_str(), lock_path.c_str()) == 0) {
        path_ = lock_path;
        break;
      }
      if (errno != EEXIST) break;
      const long holder = ReadHolder(lock_path);
      if (holder > 0 && (::kill(static_cast<pid_t>(holder), 0) == 0 || errno == EPERM)) {
        ::unlink(temp_path.c_str());
        Fail(kErrPortAlreadyOpen,
             InUseText(device_path, ProcessText(holder) + ", lock file " + lock_path));
      }
      // The holder has ended without removing its lock (or the file names no process).
      ::unlink(lock_path.c_str());
    }
    ::unlink(temp_path.c_str());
  }

  void Release() {
    if (path_.empty()) return;
    if (ReadHolder(path_) == ::getpid()) ::unlink(path_.c_str());
    path_.clear();
  }

 private:
  static long ReadHolder(const std::string& lock_path) {
    std::ifstream in(lock_path);
    long pid = 0;
    if (!(in >> pid)) return 0;
    return pid;
  }

  std::string path_;
};

// The system's console as device numbers: /dev/console itself and each terminal the kernel
// writes its console to. <sysfs>/class/tty/console/active names those ("tty0 ttyS0") and
// <sysfs>/class/tty/<name>/dev gives each one's "major:minor". Numbers, not names, so that no
// other path, link or device node (mknod, a container's device mapping, a chroot's /dev) that
// reaches the console is opened.
struct ConsoleTty {
  std::string name;
  dev_t number = 0;
  bool number_known = false;  // sysfs gave no number; the name is all there is to go by
};

std::vector<ConsoleTty> ConsoleTtys(const std::string& sysfs_root) {
  std::vector<ConsoleTty> consoles{{"console", makedev(5, 1), true}};
  std::ifstream active(sysfs_root + "/class/tty/console/active");
  std::string name;
  while (active >> name) {
    ConsoleTty tty{name};
    std::ifstream dev(sysfs_root + "/class/tty/" + name + "/dev");
    unsigned int dev_major = 0, dev_minor = 0;
    char colon = 0;
    if (dev >> dev_major >> colon >> dev_minor && colon == ':') {
      tty.number = makedev(dev_major, dev_minor);
      tty.number_known = true;
    }
    consoles.push_back(tty);
  }
  return consoles;
}

// The console that device `number` (or, without numbers, the path's kernel name) is; nullptr
// when it is none of them.
const ConsoleTty* FindConsole(const std::vector<ConsoleTty>& consoles, dev_t number,
                              const std::string& kernel_name) {
  for (const ConsoleTty& tty : consoles) {
    if (tty.number_known ? tty.number == number : tty.name == kernel_name) return &tty;
    // tty0 is whichever virtual terminal is in front, so every one of them may be the console.
    if (tty.name == "tty0" && major(number) == 4 && minor(number) < 64) return &tty;
  }
  return nullptr;
}

struct Rate {
  std::int32_t baud;
  speed_t code;
};
constexpr std::array kStandardRates = {
    Rate{50, B50},           Rate{75, B75},           Rate{110, B110},
    Rate{134, B134},         Rate{150, B150},         Rate{200, B200},
    Rate{300, B300},         Rate{600, B600},         Rate{1200, B1200},
    Rate{1800, B1800},       Rate{2400, B2400},       Rate{4800, B4800},
    Rate{9600, B9600},       Rate{19200, B19200},     Rate{38400, B38400},
    Rate{57600, B57600},     Rate{115200, B115200},   Rate{230400, B230400},
    Rate{460800, B460800},   Rate{500000, B500000},   Rate{576000, B576000},
    Rate{921600, B921600},   Rate{1000000, B1000000}, Rate{1152000, B1152000},
    Rate{1500000, B1500000}, Rate{2000000, B2000000}, Rate{2500000, B2500000},
    Rate{3000000, B3000000}, Rate{3500000, B3500000}, Rate{4000000, B4000000},
};

const char* ParityWord(tcflag_t cflag) {
  if (!(cflag & PARENB)) return "no parity";
  return (cflag & PARODD) ? "odd parity" : "even parity";
}

int DataBitsOf(tcflag_t cflag) {
  switch (cflag & CSIZE) {
    case CS5:
      return 5;
    case CS6:
      return 6;
    case CS7:
      return 7;
    default:
      return 8;
  }
}

// Lines and counters are polled: drivers differ too much in what TIOCMIWAIT reports. Five looks
// a second let a change reach the event monitor well within the window's 500 ms status tick.
constexpr std::int64_t kLinePollMicros = 200'000;

class TermiosDevice final : public Device {
 public:
  // `divisor_clock`: the driver's baud_base is the clock its UART divides (not so for USB
  // adapters, whose drivers report a nominal figure or divide in fractions).
  TermiosDevice(std::string path, UniqueFd fd, UucpLock lock, termios saved, bool divisor_clock)
      : path_(std::move(path)),
        fd_(std::move(fd)),
        lock_(std::move(lock)),
        saved_(saved),
        divisor_clock_(divisor_clock) {
    serial_icounter_struct counts{};
    // Drivers without counters (pseudo-terminals, most USB adapters) answer ENOTTY or EINVAL;
    // their line errors are then read from the marks the line discipline puts in the data.
    has_counters_ = ::ioctl(fd_.get(), TIOCGICOUNT, &counts) == 0;
    if (has_counters_) counts_ = counts;
  }
  ~TermiosDevice() override { Close(); }

  void Configure(const LineConfig& config, std::int32_t flow) override {
    termios t{};
    // Every field is written, so that nothing an earlier program left behind survives.
    t.c_cflag = CREAD | CLOCAL | HUPCL;
    switch (config.data_bits) {
      case 5:
        t.c_cflag |= CS5;
        break;
      case 6:
        t.c_cflag |= CS6;
        break;
      case 7:
        t.c_cflag |= CS7;
        break;
      default:
        t.c_cflag |= CS8;
        break;
    }
    if (config.parity != 'N') t.c_cflag |= PARENB;
    if (config.parity == 'O') t.c_cflag |= PARODD;
    if (config.stop_bits == 2) t.c_cflag |= CSTOPB;
    if (flow & 2) t.c_cflag |= CRTSCTS;
    if (flow & 1) t.c_iflag |= IXON | IXOFF;
    if (has_counters_) {
      // The counters report breaks; a break must not also put a NUL into the data.
      t.c_iflag |= IGNBRK;
    } else {
      // In-band marking: a break reads as FF 00 00, a character with a parity or framing error
      // as FF 00 c, a real FF as FF FF. INPCK is needed for framing errors to be marked too.
      t.c_iflag |= PARMRK | INPCK;
    }
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    t.c_cc[VSTART] = 0x11;
    t.c_cc[VSTOP] = 0x13;

    const auto standard = std::find_if(kStandardRates.begin(), kStandardRates.end(),
                                       [&](const Rate& r) { return r.baud == config.baud; });
    const speed_t code = standard != kStandardRates.end() ? standard->code : B38400;
    cfsetispeed(&t, code);
    cfsetospeed(&t, code);

    const std::string what = path_ + " did not take the line settings " + config.Text();
    if (::tcsetattr(fd_.get(), TCSANOW, &t) != 0) Fail(kErrCommState, what + ": " + Reason(errno));
    if (standard == kStandardRates.end() && !SetArbitraryRate(fd_.get(), config.baud)) {
      Fail(kErrCommState, what + ": rate not supported (" + Reason(errno) + ")");
    }

    termios got{};
    if (::tcgetattr(fd_.get(), &got) != 0) Fail(kErrCommState, what + ": " + Reason(errno));
    if ((got.c_cflag & CSIZE) != (t.c_cflag & CSIZE)) {
      Fail(kErrCommState,
           what + ": the driver keeps " + std::to_string(DataBitsOf(got.c_cflag)) + " data bits");
    }
    if ((got.c_cflag & (PARENB | PARODD)) != (t.c_cflag & (PARENB | PARODD)) &&
        ((got.c_cflag | t.c_cflag) & PARENB)) {
      Fail(kErrCommState, what + ": the driver keeps " + ParityWord(got.c_cflag));
    }
    if ((got.c_cflag & CSTOPB) != (t.c_cflag & CSTOPB)) {
      Fail(kErrCommState,
           what + ": the driver keeps " + ((got.c_cflag & CSTOPB) ? "2" : "1") + " stop bits");
    }
    if ((got.c_cflag & CRTSCTS) != (t.c_cflag & CRTSCTS) ||
        (got.c_iflag & (IXON | IXOFF)) != (t.c_iflag & (IXON | IXOFF))) {
      Fail(kErrCommState, what + ": the driver did not take the flow control");
    }
    if ((got.c_lflag & (ICANON | ECHO | ISIG)) != 0 || (got.c_cflag & CREAD) == 0) {
      Fail(kErrCommState, what + ": the driver did not take raw mode");
    }
    // The driver reads back the rate it was asked for; a UART makes the rate of its whole
    // divisor, which only its base clock tells.
    DriverRate driver;
    driver.read_back = ReadBackRate(fd_.get());
    serial_struct info{};
    if (divisor_clock_ && ::ioctl(fd_.get(), TIOCGSERIAL, &info) == 0 && info.baud_base > 0) {
      driver.baud_base = info.baud_base;
    }
    const RateCheck rate = CheckRate(config.baud, driver);
    if (!rate.refusal.empty()) Fail(kErrCommState, what + ": " + rate.refusal);
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
      ::tcsetattr(fd_.get(), TCSANOW, &saved_);
      ::ioctl(fd_.get(), TIOCNXCL);
    }
    fd_.Reset();
    lock_.Release();
  }

 private:
  void SetGone(const std::string& reason) {
    gone_ = true;
    gone_reason_ = reason;
  }

  void NoteModemFailure(int err) {
    // Pseudo-terminals and some adapters have no modem lines at all.
    if (err == ENOTTY || err == EINVAL) {
      has_modem_lines_ = false;
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
  UucpLock lock_;
  termios saved_;
  bool divisor_clock_ = false;
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

std::unique_ptr<Device> OpenTermiosDevice(const std::string& path, const SystemPaths& paths,
                                          const LineConfig& config, std::int32_t flow, bool dtr,
                                          bool rts) {
  const std::string cannot = "Cannot open " + path + ": ";
  char resolved[PATH_MAX];
  if (::realpath(path.c_str(), resolved) == nullptr) {
    const int err = errno;
    Fail(err == EACCES ? kErrHardwareNotAvailable : kErrInvalidPortNumber,
         cannot + Reason(err) + (err == ENOENT ? kNotPresent : ""));
  }
  const std::string real_path = resolved;

  struct stat st {};
  if (::stat(real_path.c_str(), &st) != 0) Fail(kErrInvalidPortNumber, cannot + Reason(errno));
  if (!S_ISCHR(st.st_mode)) {
    Fail(kErrInvalidPortNumber, cannot + "it is not a serial port (not a terminal device)");
  }
  const std::vector<ConsoleTty> consoles = ConsoleTtys(paths.sysfs_root);
  const auto refuse_console = [&](const ConsoleTty& tty) {
    Fail(kErrHardwareNotAvailable,
         cannot + "it is the system console (" + tty.name + "); it is never opened for testing");
  };
  if (const ConsoleTty* tty = FindConsole(consoles, st.st_rdev, KernelName(real_path))) {
    refuse_console(*tty);
  }

  UucpLock lock;
  lock.Acquire(paths.lock_dir, real_path);

  UniqueFd fd(::open(real_path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (fd.get() < 0) {
    const int err = errno;
    switch (err) {
      case ENOENT:
      case ENXIO:
      case ENODEV:
      case ENOTDIR:
        Fail(kErrInvalidPortNumber, cannot + Reason(err) + kNotPresent);
      case EBUSY:
        Fail(kErrPortAlreadyOpen,
             cannot + Reason(err) + "; " + InUseText("it", DeviceHolders(st.st_rdev)));
      case EACCES:
      case EPERM:
        Fail(kErrHardwareNotAvailable, cannot + Reason(err) + "; " + PermissionHint(real_path));
      default:
        Fail(kErrHardwareNotAvailable, cannot + Reason(err));
    }
  }

  termios saved{};
  if (::tcgetattr(fd.get(), &saved) != 0) {
    Fail(kErrInvalidPortNumber, cannot + "it is not a serial port (not a terminal device)");
  }
  // A node that stands for another terminal (/dev/tty, the controlling terminal) shows which one
  // only once open. The kernel answers in its own 32-bit encoding of device numbers.
  unsigned int behind = 0;
  if (::ioctl(fd.get(), TIOCGDEV, &behind) == 0) {
    const dev_t number =
        makedev((behind & 0xfff00u) >> 8, (behind & 0xffu) | ((behind >> 12) & 0xfff00u));
    if (number != st.st_rdev) {
      if (const ConsoleTty* tty = FindConsole(consoles, number, {})) refuse_console(*tty);
    }
  }
  if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
    // Our own descriptor is let go first, so that only the holders are named.
    fd.Reset();
    Fail(kErrPortAlreadyOpen, cannot + InUseText("it", DeviceHolders(st.st_rdev)));
  }
  // Keeps other programs from opening the port while it is ours (the superuser is exempt).
  ::ioctl(fd.get(), TIOCEXCL);

  auto device = std::make_unique<TermiosDevice>(path, std::move(fd), std::move(lock), saved,
                                                !OnUsb(paths.sysfs_root, KernelName(real_path)));
  device->Configure(config, flow);
  device->SetOutputs(dtr, rts);
  return device;
}

}  // namespace serivane::serial
