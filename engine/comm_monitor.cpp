// The comm event monitor: the port's OnCommEvent handler and the tmrOnComm tick.
#include "engine/tester.h"

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
    case serial::kEvEof:
      return "Comm Event: EOF received";
    case serial::kEvRing:
      return "Comm Event: Ring detected";
    default:
      return nullptr;
  }
}

}  // namespace

void Tester::OnCommEvent() {
  // This runs from the control's Service() inside the event loop, where an exception would end
  // the program: nothing may leave it, and the timer is switched on again whatever happens.
  try {
    window_.SetCommTimerEnabled(false);
    const std::int16_t event = port_.CommEvent();
    if (watching_line_errors_ && event > 1000 && first_line_error_ == 0) {
      first_line_error_ = event;
    }
    if (const char* message = EventMessage(event)) {
      // The same message is not repeated until another event came in between or the timer
      // cleared the memory.
      if (event != LastCommEvent) AppendResultLine(message);
    } else if (event == serial::kErDeviceGone) {
      // The control has closed the port; the operator learns which device went and why.
      if (event != LastCommEvent)
        AppendResultLine("Comm Event: Device lost: " + port_.LostReason());
    } else if (event == serial::kEvReceive) {
      if (TestRunning) {
        // The waiting test reads the characters itself.
        DataReceived = true;
      } else {
        // Idle traffic is shown as it comes, without a line end and without the result log's
        // caret and repaint steps.
        std::string received;
        try {
          received = port_.ReceivedText();
        } catch (...) {
          // The port closed between the event and this read: there is nothing to show.
        }
        if (!received.empty()) AppendReceivedText(received);
      }
    }
    // Read again: a code raised while this handler ran is the one to remember.
    LastCommEvent = port_.CommEvent();
  } catch (...) {
  }
  try {
    window_.SetCommTimerEnabled(true);
  } catch (...) {
  }
}

void Tester::tmrOnComm_Timer() {
  LastCommEvent = 0;
}

}  // namespace serivane::engine
