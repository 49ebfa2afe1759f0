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
#include "serial/ftdi_rate.h"
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

// What a lock file that is not a plain file is, for the refusal.
std::string NodeKind(mode_t mode) {
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISDIR(mode)) return "a folder";
  if (S_ISLNK(mode)) return "a symbolic link";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
  return "not a regular file";
}

// The UUCP lock file that other serial programs (minicom, picocom, uucp, ModemManager)
// honour: LCK..<name> in the lock folder, holding the owner's process number as ten ASCII
// digits and a newline. The content is written to a file without a name (O_TMPFILE) that is then
// linked into place, so no reader ever sees a half-written lock and a process killed midway
// leaves nothing behind. Where the folder's file system has no O_TMPFILE (or /proc is missing)
// a private named file is written and linked instead.
//
// The lock's descriptor stays open while the port is held: the lock is ours while its name
// still leads to that same file and the file still holds the text we wrote, which proves
// ownership without opening the lock again. Only then does the release remove the name.
class UucpLock {
 public:
  UucpLock() = default;
  UucpLock(const UucpLock&) = delete;
  UucpLock& operator=(const UucpLock&) = delete;
  ~UucpLock() { Release(); }

  // True when this lock is held as `lock_path` and is still ours, as the release checks it:
  // a lock kept over a close is taken again only when it is not.
  bool Holds(const std::string& lock_path) const { return path_ == lock_path && StillOurs(); }

  // Throws 8005 when a live process holds the lock, 8010 when the lock's name is taken by
  // something that is not a regular file. A lock folder that is missing or not writable is no
  // reason to refuse the port: the lock is then simply not taken.
  void Acquire(const std::string& lock_dir, const std::string& lock_name,
               const std::string& device_path) {
    const std::string lock_path = lock_dir + "/" + lock_name;
    char text[16];
    const int len = std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(::getpid()));
    const std::string content(text, static_cast<std::size_t>(len));
    for (int attempt = 0; attempt < 2; ++attempt) {
      const int err = Place(lock_dir, lock_path, content);
      if (err == 0) return;
      if (err != EEXIST) return;
      const long holder = ReadHolder(lock_path, device_path);
      if (holder > 0 && (::kill(static_cast<pid_t>(holder), 0) == 0 || errno == EPERM)) {
        Fail(kErrPortAlreadyOpen,
             InUseText(device_path, ProcessText(holder) + ", lock file " + lock_path));
      }
      // The holder has ended without removing its lock (or the file names no process).
      ::unlink(lock_path.c_str());
    }
  }

  void Release() {
    if (fd_.get() < 0) return;
    if (StillOurs()) ::unlink(path_.c_str());
    fd_.Reset();
    path_.clear();
  }

 private:
  bool StillOurs() const {
    if (fd_.get() < 0) return false;
    struct stat now {};
    char held[16];
    return ::lstat(path_.c_str(), &now) == 0 && now.st_ino == node_.st_ino &&
           now.st_dev == node_.st_dev &&
           ::pread(fd_.get(), held, sizeof held, 0) == static_cast<ssize_t>(text_.size()) &&
           text_.compare(0, text_.size(), held, text_.size()) == 0;
  }

  // Writes `content` and links it in as `lock_path`. 0 when placed (the lock is then held),
  // EEXIST when the name is taken, another errno when the folder cannot take a lock.
  int Place(const std::string& lock_dir, const std::string& lock_path, const std::string& content) {
    UniqueFd file(::open(lock_dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0644));
    if (file.get() >= 0) {
      if (!WriteAll(file.get(), content)) return EIO;
      const std::string self = "/proc/self/fd/" + std::to_string(file.get());
      if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, lock_path.c_str(), AT_SYMLINK_FOLLOW) == 0) {
        return Hold(std::move(file), lock_path, content);
      }
      if (errno == EEXIST) return EEXIST;
    } else if (errno == ENOENT || errno == EACCES || errno == EROFS || errno == ENOTDIR) {
      return errno;  // no folder, or not ours to write
    }
    return PlaceThroughNamedFile(lock_dir, lock_path, content);
  }

  int PlaceThroughNamedFile(const std::string& lock_dir, const std::string& lock_path,
                            const std::string& content) {
    // Named for this open, not only for the process: ports opened at the same time on several
    // threads must not write, link or remove each other's file.
    static std::atomic<unsigned> next_temp{0};
    const std::string temp_path = lock_dir + "/LTMP." + std::to_string(::getpid()) + "." +
                                  std::to_string(next_temp.fetch_add(1));
    UniqueFd file(
        ::open(temp_path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (file.get() < 0) return errno;
    int result = EIO;
    if (WriteAll(file.get(), content)) {
      result = ::link(temp_path.c_str(), lock_path.c_str()) == 0 ? 0 : errno;
    }
    ::unlink(temp_path.c_str());
    return result == 0 ? Hold(std::move(file), lock_path, content) : result;
  }

  int Hold(UniqueFd file, const std::string& lock_path, const std::string& content) {
    if (::fstat(file.get(), &node_) != 0) return errno;
    fd_ = std::move(file);
    path_ = lock_path;
    text_ = content;
    return 0;
  }

  static bool WriteAll(int fd, const std::string& content) {
    return ::write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size());
  }

  // The process number a lock file holds; 0 when it names none (or is gone meanwhile). A name
  // that is not a regular file is refused: it is opened without following a link and without
  // waiting (a FIFO would hold the open, or the read, for ever), and looked at before reading.
  static long ReadHolder(const std::string& lock_path, const std::string& device_path) {
    const std::string refused =
        "Cannot open " + device_path + ": its lock file " + lock_path + " is ";
    const std::string advice = ", not a lock: whoever put it there must remove it";
    UniqueFd file(
        ::open(lock_path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (file.get() < 0) {
      const int err = errno;
      if (err == ENOENT) return 0;
      struct stat st {};
      const std::string kind =
          ::lstat(lock_path.c_str(), &st) == 0 ? NodeKind(st.st_mode) : Reason(err);
      if (err == ELOOP || err == ENXIO || (err != EACCES && !S_ISREG(st.st_mode))) {
        Fail(kErrHardwareNotAvailable, refused + kind + advice);
      }
      // A lock that cannot be read cannot be shown stale: it is taken as held.
      Fail(kErrPortAlreadyOpen,
           InUseText(device_path, "the lock file " + lock_path + " (" + Reason(err) + ")"));
    }
    struct stat st {};
    if (::fstat(file.get(), &st) != 0) return 0;
    if (!S_ISREG(st.st_mode)) {
      Fail(kErrHardwareNotAvailable, refused + NodeKind(st.st_mode) + advice);
    }
    char text[64];
    const ssize_t n = ::read(file.get(), text, sizeof text - 1);
    if (n <= 0) return 0;
    text[n] = '\0';
    return std::strtol(text, nullptr, 10);
  }

  std::string path_;
  UniqueFd fd_;
  struct stat node_ {};
  std::string text_;
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
    KernelTermios t;
    // Every field is written, so that nothing an earlier program left behind survives.
    t.cflag = CREAD | CLOCAL | HUPCL;
    switch (config.data_bits) {
      case 5:
        t.cflag |= CS5;
        break;
      case 6:
        t.cflag |= CS6;
        break;
      case 7:
        t.cflag |= CS7;
        break;
      default:
        t.cflag |= CS8;
        break;
    }
    if (config.parity != 'N') t.cflag |= PARENB;
    if (config.parity == 'O') t.cflag |= PARODD;
    if (config.stop_bits == 2) t.cflag |= CSTOPB;
    if (flow & 2) t.cflag |= CRTSCTS;
    if (flow & 1) t.iflag |= IXON | IXOFF;
    if (has_counters_) {
      // The counters report breaks; a break must not also put a NUL into the data.
      t.iflag |= IGNBRK;
    } else {
      // In-band marking: a break reads as FF 00 00, a character with a parity or framing error
      // as FF 00 c, a real FF as FF FF. INPCK is needed for framing errors to be marked too.
      t.iflag |= PARMRK | INPCK;
    }
    t.cc[VMIN] = 0;
    t.cc[VTIME] = 0;
    t.cc[VSTART] = 0x11;
    t.cc[VSTOP] = 0x13;

    // A rate of the standard table goes by its code (the input rate follows the output rate
    // when its own code is left 0), any other through BOTHER; one call sets all of it.
    const auto standard = std::find_if(kStandardRates.begin(), kStandardRates.end(),
                                       [&](const Rate& r) { return r.baud == config.baud; });
    const bool arbitrary = standard == kStandardRates.end();
    if (!arbitrary) t.cflag |= standard->code;
    t.ispeed = t.ospeed = static_cast<std::uint32_t>(config.baud);

    const std::string what = path_ + " did not take the line settings " + config.Text();
    if (!SetKernelTermios(fd_.get(), t, arbitrary ? config.baud : 0)) {
      const std::string reason = Reason(errno);
      Fail(kErrCommState,
           what + (arbitrary ? ": rate not supported (" + reason + ")" : ": " + reason));
    }

    KernelTermios got;
    if (!GetKernelTermios(fd_.get(), got)) Fail(kErrCommState, what + ": " + Reason(errno));
    if ((got.cflag & CSIZE) != (t.cflag & CSIZE)) {
      Fail(kErrCommState,
           what + ": the driver keeps " + std::to_string(DataBitsOf(got.cflag)) + " data bits");
    }
    if ((got.cflag & (PARENB | PARODD)) != (t.cflag & (PARENB | PARODD)) &&
        ((got.cflag | t.cflag) & PARENB)) {
      Fail(kErrCommState, what + ": the driver keeps " + ParityWord(got.cflag));
    }
    if ((got.cflag & CSTOPB) != (t.cflag & CSTOPB)) {
      Fail(kErrCommState,
           what + ": the driver keeps " + ((got.cflag & CSTOPB) ? "2" : "1") + " stop bits");
    }
    if ((got.cflag & CRTSCTS) != (t.cflag & CRTSCTS) ||
        (got.iflag & (IXON | IXOFF)) != (t.iflag & (IXON | IXOFF))) {
      Fail(kErrCommState, what + ": the driver did not take the flow control");
    }
    if ((got.lflag & (ICANON | ECHO | ISIG)) != 0 || (got.cflag & CREAD) == 0) {
      Fail(kErrCommState, what + ": the driver did not take raw mode");
    }
    const RateCheck rate = CheckRealRate(config.baud, static_cast<std::int32_t>(got.ospeed));
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
      const RateCheck chip = CheckFtdiRate(facts_->ftdi, asked);
      if (!chip.refusal.empty()) return chip;
      // A driver that falls back to another rate still says so.
      const RateCheck back = CheckRate(asked, driver);
      return back.refusal.empty() ? chip : back;
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
    const int err = errno;
    Fail(err == EACCES ? kErrHardwareNotAvailable : kErrInvalidPortNumber,
         cannot + Reason(err) + (err == ENOENT ? kNotPresent : ""));
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
    const int err = errno;
    Fail(err == EACCES ? kErrHardwareNotAvailable : kErrInvalidPortNumber,
         cannot + Reason(err) + (err == ENOENT ? kNotPresent : ""));
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
    facts->lock.Acquire(paths.lock_dir, facts->lock_name, real_path);
  }

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
