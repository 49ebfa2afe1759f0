// Turns SIGTERM and SIGHUP into a call on the event loop's thread: the handler only writes the
// signal's number to a pipe, and a notifier on the pipe's other end makes the call.
#pragma once

#include <QObject>
#include <csignal>
#include <functional>

class QSocketNotifier;

namespace serivane::app {

class SignalCloser final : public QObject {
 public:
  // Handles SIGTERM and SIGHUP from now on, calling `on_signal` with the signal's number. At
  // most one instance at a time.
  explicit SignalCloser(std::function<void(int signo)> on_signal, QObject* parent = nullptr);
  // Puts the handlers that were there before back.
  ~SignalCloser() override;
  SignalCloser(const SignalCloser&) = delete;
  SignalCloser& operator=(const SignalCloser&) = delete;

 private:
  void ReadSignals();

  std::function<void(int)> on_signal_;
  int read_fd_ = -1;
  int write_fd_ = -1;
  QSocketNotifier* notifier_ = nullptr;
  struct sigaction old_term_ {};
  struct sigaction old_hup_ {};
};

}  // namespace serivane::app
