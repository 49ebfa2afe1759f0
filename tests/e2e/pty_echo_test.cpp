// The echo program is the far end of the pseudo-terminal that the end-to-end tests give the
// window program as a port: it must loop every byte value and survive the port being closed and
// opened again.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

namespace {

// Three times: opens the terminal side, has every byte value echoed, closes it again.
void LoopsBackEveryByteValue(const std::string& path) {
  ASSERT_EQ(path.rfind("/dev/pts/", 0), 0u) << "printed path: " << path;

  std::string block;
  for (int c = 0; c < 256; ++c) block += static_cast<char>(c);
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, block.data(), block.size()), 256);
    std::string back;
    char buf[512];
    pollfd p{fd, POLLIN, 0};
    // The give-up time only turns a broken echo into a failure instead of a hang.
    for (ssize_t n = 0; back.size() < block.size() && poll(&p, 1, 20'000) > 0 &&
                        (n = read(fd, buf, sizeof buf)) > 0;) {
      back.append(buf, static_cast<std::size_t>(n));
    }
    EXPECT_EQ(back, block);
    close(fd);
    // The port stays closed a while between opens, as in the window program's close/open test.
    usleep(200'000);
  }
}

TEST(PtyEcho, LoopsEveryByteValueAndSurvivesCloseAndReopen) {
  int out[2];
  ASSERT_EQ(pipe(out), 0);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], STDOUT_FILENO);
    execl(SERIVANE_PTY_ECHO, SERIVANE_PTY_ECHO, "--exit-after", "30", nullptr);
    _exit(127);
  }
  close(out[1]);
  std::string path;
  for (char c; read(out[0], &c, 1) == 1 && c != '\n';) path += c;
  close(out[0]);
  LoopsBackEveryByteValue(path);
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
}

}  // namespace
