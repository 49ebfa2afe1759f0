#include "app/signal_close.h"

#include <fcntl.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <cerrno>
#include <stdexcept>

namespace serivane::app {

namespace {

// The write end for the handler; -1 when no closer exists.
volatile sig_atomic_t g_write_fd = -1;

extern "C" void WriteSignal(int signo) {
  const int saved = errno;
  const auto byte = static_cast<unsigned char>(signo);
  // A full pipe already holds a signal that will be handled; this one may be lost.
  [[maybe_unused]] const ssize_t written = ::write(g_write_fd, &byte, 1);
  errno = saved;
}

}  // namespace

SignalCloser::SignalCloser(std::function<void(int)> on_signal, QObject* parent)
    : QObject(parent), on_signal_(std::move(on_signal)) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) throw std::runtime_error("no pipe for signals");
  read_fd_ = fds[0];
  write_fd_ = fds[1];
  g_write_fd = write_fd_;
  notifier_ = new QSocketNotifier(read_fd_, QSocketNotifier::Read, this);
  connect(notifier_, &QSocketNotifier::activated, this, &SignalCloser::ReadSignals);

  struct sigaction action {};
  action.sa_handler = WriteSignal;
  sigemptyset(&action.sa_mask);
  // Slow calls the signal interrupts go on by themselves.
  action.sa_flags = SA_RESTART;
  ::sigaction(SIGTERM, &action, &old_term_);
  ::sigaction(SIGHUP, &action, &old_hup_);
}

SignalCloser::~SignalCloser() {
  ::sigaction(SIGTERM, &old_term_, nullptr);
  ::sigaction(SIGHUP, &old_hup_, nullptr);
  g_write_fd = -1;
  notifier_->setEnabled(false);
  ::close(read_fd_);
  ::close(write_fd_);
}

void SignalCloser::ReadSignals() {
  unsigned char numbers[16];
  const ssize_t got = ::read(read_fd_, numbers, sizeof numbers);
  for (ssize_t i = 0; i < got && on_signal_; ++i) on_signal_(numbers[i]);
}

}  // namespace serivane::app
