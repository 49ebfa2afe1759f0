// The echo program is the far end of the pseudo-terminal that the end-to-end tests give the
// window program as a port; these tests show it loops every byte value and survives the port
// being closed and opened again, as the close/open test does.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

// Generous: only there so that a broken echo fails the test instead of hanging it.
constexpr int kGiveUpMs = 20'000;

class EchoProcess {
 public:
  explicit EchoProcess(const std::vector<std::string>& extra_args = {}) {
    int out[2];
    if (::pipe(out) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(out[1], STDOUT_FILENO);
      ::close(out[0]);
      ::close(out[1]);
      std::vector<char*> argv{const_cast<char*>(SERIVANE_PTY_ECHO)};
      for (const auto& a : extra_args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      ::execv(SERIVANE_PTY_ECHO, argv.data());
      ::_exit(127);
    }
    ::close(out[1]);
    char c;
    while (::read(out[0], &c, 1) == 1 && c != '\n') path_ += c;
    out_ = out[0];
  }
  ~EchoProcess() {
    if (pid_ > 0 && !reaped_) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) ::close(out_);
  }
  EchoProcess(const EchoProcess&) = delete;
  EchoProcess& operator=(const EchoProcess&) = delete;

  const std::string& path() const { return path_; }
  pid_t pid() const { return pid_; }
  void MarkReaped() { reaped_ = true; }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  bool reaped_ = false;
  std::string path_;
};

int OpenRawTerminal(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return fd;
  termios tio{};
  ::tcgetattr(fd, &tio);
  ::cfmakeraw(&tio);
  ::tcsetattr(fd, TCSANOW, &tio);
  return fd;
}

// Writes `data` and reads until as many bytes came back or the give-up time passed.
std::string RoundTrip(int fd, const std::string& data) {
  EXPECT_EQ(::write(fd, data.data(), data.size()), static_cast<ssize_t>(data.size()));
  std::string back;
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::milliseconds(kGiveUpMs);
  while (back.size() < data.size() && std::chrono::steady_clock::now() < give_up) {
    pollfd pfd{fd, POLLIN, 0};
    if (::poll(&pfd, 1, 100) <= 0) continue;
    char buf[512];
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n > 0) back.append(buf, static_cast<std::size_t>(n));
  }
  return back;
}

std::string EveryByteValue() {
  std::string block;
  for (int c = 0; c < 256; ++c) block += static_cast<char>(c);
  return block;
}

TEST(PtyEcho, LoopsEveryByteValueAndSurvivesCloseAndReopen) {
  EchoProcess echo;
  ASSERT_EQ(echo.path().rfind("/dev/pts/", 0), 0u) << "printed path: " << echo.path();

  const std::string block = EveryByteValue();
  for (int round = 0; round < 3; ++round) {
    const int fd = OpenRawTerminal(echo.path());
    ASSERT_GE(fd, 0) << "round " << round;
    EXPECT_EQ(RoundTrip(fd, block), block) << "round " << round;
    EXPECT_EQ(RoundTrip(fd, "7"), "7") << "round " << round;
    ::close(fd);
    // The port stays closed a while between opens (up to a status tick of the window program);
    // long enough for the echo's side to see the hang-up.
    ::usleep(200'000);
  }
}

TEST(PtyEcho, KeepsLargeBlocksWhole) {
  EchoProcess echo;
  const int fd = OpenRawTerminal(echo.path());
  ASSERT_GE(fd, 0);
  std::string big;
  for (int i = 0; i < 3000; ++i) big += static_cast<char>('A' + i % 26);
  EXPECT_EQ(RoundTrip(fd, big), big);
  ::close(fd);
}

TEST(PtyEcho, EndsByItselfAfterItsTimeLimit) {
  EchoProcess echo({"--exit-after", "1"});
  ASSERT_FALSE(echo.path().empty());
  int status = -1;
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::milliseconds(kGiveUpMs);
  while (std::chrono::steady_clock::now() < give_up) {
    if (::waitpid(echo.pid(), &status, WNOHANG) == echo.pid()) {
      echo.MarkReaped();
      break;
    }
    ::usleep(50'000);
  }
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
