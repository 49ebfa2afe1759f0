#include "engine/comm_monitor.h"

#include <algorithm>

namespace serivane::engine {

namespace {

// The message for an event code; nullptr for codes that show nothing.
const char* EventMessage(std::int16_t code) {
  switch (code) {
    case serial::kErBreak:
      return "Comm Event: Break received";
    case serial::kErFrame:
      return "Comm Event: Framing error";
    case serial::kErOverrun:
      return "Comm Event: Overrun error";
    case serial::kErRxOver:
      return "Comm Event: Receive buffer overflow";
    case serial::kErRxParity:
      return "Comm Event: Parity error";
    case serial::kErTxFull:
      return "Comm Event: Transmit buffer full";
    case serial::kEvRing:
      return "Comm Event: Ring detected";
    default:
      return nullptr;
  }
}

}  // namespace

CommMonitor::CommMonitor(EventPump& events, serial::CommControl& port, ResultLog& log)
    : events_(events), port_(port), log_(log) {}

void CommMonitor::HandleEvent() {
  // This runs from the control's Service() inside the event loop, where an exception would end
  // the program: nothing may leave it, and the timer is switched on again whatever happens.
  try {
    events_.SetCommTimerEnabled(false);
    const std::int16_t event = port_.CommEvent();
    if (recorded_ != nullptr &&
        std::find(recorded_->begin(), recorded_->end(), event) == recorded_->end())
      recorded_->push_back(event);
    if (event > 1000 && first_line_error_ == 0) {
      first_line_error_ = event;
    }
    if (const char* message = EventMessage(event)) {
      if (event != last_event_) log_.AppendEventLine(message);
    } else if (event == serial::kErDeviceGone) {
      // The control has closed the port; the operator learns which device went and why.
      if (event != last_event_)
        log_.AppendEventLine("Comm Event: Device lost: " + port_.LostReason());
    } else if (event == serial::kEvReceive) {
      if (tests_running_) {
        echo_in_ = true;
      } else {
        std::string received;
        try {
          received = port_.ReceivedText();
        } catch (...) {
          // The port closed between the event and this read: there is nothing to show.
        }
        if (!received.empty()) log_.AppendReceived(received);
      }
    }
    // Read again: a code raised while this handler ran is the one to remember.
    last_event_ = port_.CommEvent();
  } catch (...) {
  }
  try {
    events_.SetCommTimerEnabled(true);
  } catch (...) {
  }
}

}  // namespace serivane::engine
