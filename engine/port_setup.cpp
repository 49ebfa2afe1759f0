// Port setup: gives the control the window's port settings and reopens the port.
#include "common/conv.h"
#include "engine/error_text.h"
#include "engine/tester.h"

namespace serivane::engine {

std::string Tester::LineSettingsText() const {
  const char* parity = "N";
  if (settings_.Parity == 2) parity = "O";
  if (settings_.Parity == 3) parity = "E";
  return DecimalText(settings_.BaudRate) + "," + parity + "," + DecimalText(settings_.DataBits) +
         "," + DecimalText(settings_.StopBits);
}

void Tester::Setup_ComPort() {
  // The menus and the port list are disabled during a run; a call that comes anyway must not
  // pull the port away from a test.
  if (TestRunning) return;

  ErrorInfo error;
  bool failed = false;
  try {
    const std::string text = LineSettingsText();
    port_.LineSettings(text);
    port_.FlowControl(0);
    window_.SetBusyCursor(true);
    if (port_.OpenState()) port_.OpenState(false);
    port_.PortNumber(settings_.ComPort);
    port_.OpenState(true);
    // A control that opens without complaint but is not open is a failure all the same; it
    // is reported with an empty description and number 0.
    if (!port_.OpenState()) {
      failed = true;
    } else {
      port_.RtsOn(window_.RtsChecked());
      port_.DtrOn(window_.DtrChecked());
      AppendResultLine("Com-port " + DecimalText(settings_.ComPort) + " = " + text);
      window_.SetTestFrameCaption("&Test:  (" + text + ")");
      window_.SetBusyCursor(false);
      return;
    }
  } catch (...) {
    failed = true;
    error = CurrentError();
  }
  if (!failed) return;

  // Fall back to port 1 before the box is shown: the status timer ticks while the box is open,
  // and it must find Com1 chosen, not the number that just failed (which would take it down
  // its recovery path and suppress the start-up run). A port that did open (the failure came
  // from a later step) is closed, so that the control does not stay on the failed number while
  // the list shows Com1: the status timer opens port 1 at its next tick.
  const std::int16_t failed_port = settings_.ComPort;
  try {
    port_.OpenState(false);
  } catch (...) {
  }
  settings_.ComPort = 1;
  try {
    window_.SelectComEntry(0);
  } catch (...) {
  }
  try {
    window_.SetBusyCursor(false);
    window_.ShowCriticalMessage("Error opening Com-port " + DecimalText(failed_port) + "\rError: " +
                                    error.description + "  (" + HexText(error.number) + "H)\r",
                                "Error in Setup_ComPort");
  } catch (...) {
  }
}

}  // namespace serivane::engine
