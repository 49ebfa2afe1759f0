// PortPump: the serial control in the Qt event loop. Before the loop sleeps it says what to wait
// for: a notifier on the control's descriptor (recreated when the descriptor changes) and a
// single-shot timer for the control's next deadline, so that a test waiting on the port sleeps in
// the loop and wakes when the port has something.
#pragma once

#include <QObject>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>
#include <cstdint>
#include <functional>

#include "serial/comm_control.h"

namespace serivane::app {

class PortPump final : public QObject {
 public:
  // `port` must outlive this; `on_error` gets what a service of the control throws.
  PortPump(serial::CommControl& port, std::function<void(const serial::CommError&)> on_error);

  // Lets the control do what is due, then says again what to wait for.
  void Service();
  // Says what to wait for: done as the loop is about to sleep, as the descriptor may have
  // changed since the last look and the next deadline has.
  void Rearm();
  // Sleeps in the loop until an event comes, the port's or another, or `max_ms` have passed.
  void Wait(std::int32_t max_ms);
  // For good: nothing is serviced or watched any more.
  void Stop();

 private:
  serial::CommControl& port_;
  std::function<void(const serial::CommError&)> on_error_;
  bool stopped_ = false;
  QPointer<QSocketNotifier> notifier_;
  int watched_fd_ = -1;
  QTimer service_timer_;
  // Ends a Wait that no event ends sooner.
  QTimer wait_timer_;
};

}  // namespace serivane::app
