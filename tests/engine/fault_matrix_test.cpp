// What the operator sees when the port fails, for each way a port can fail: the setup's one
// message box, or the failed lines of a run that still ends as a run. Lower-level rows (the
// console, busy and refused opens at the device, the result file, the exit) are tested where
// their code lives.
#include <string>
#include <vector>

#include "rig.h"

namespace serivane::engine::testing {
namespace {

TEST(FaultMatrix, PortFailuresAreToldOnceAndNeverHang) {
  struct Row {
    std::string target;  // "@plain": a plain file in the rig's folder
    std::string shown;   // the setup's box, or the run's box text after its start line
  };
  const std::string setup = "Error in Setup_ComPort: Error opening Com-port 1\rError: ";
  const std::string closed =
      "Error: Com-port 1 is not open: the operation is valid only when the port is open\r\n";
  const std::vector<Row> rows{
      {"loopback?busy=on", setup + "Cannot open the virtual loopback plug: it is in use by another "
                                   "program  (1F45H)\r"},
      {"@plain", setup + "Cannot open {d}/plain: it is not a serial port (not a terminal device)  "
                         "(1F42H)\r"},
      {"/dev/serivane-no-such-port",
       setup + "Cannot open /dev/serivane-no-such-port: No such file or directory  (1F42H)\r"},
      // Gone 30 ms after the Open/Close test's open, during the data test's wait.
      {"loopback?vanish=30",
       "Test started ...\r\nOpen/Close --- OK   (Duration: 0ms)\r\nData Tx/Rx: 256 bytes "
       "send/received <-- FAILED\r\n" +
           closed + "100 bytes Tx/Rx: Single bytes send/received <-- FAILED\r\n" + closed +
           "RTS/CTS handshake: RTS/CTS= off --- OK\r\nRTS/CTS handshake: RTS/CTS= on <-- "
           "FAILED\r\nDTR/DSR handshake: DTR/DSR= off --- OK\r\nDTR/DSR handshake: DTR/DSR= on "
           "<-- FAILED\r\nTEST(S) FAILED !!\r\n\r\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.target);
    Rig rig;
    rig.targets[1] = row.target[0] == '@' ? rig.folder + "/plain" : row.target;
    std::ofstream(rig.folder + "/plain") << "text";
    rig.tester.Setup_ComPort();
    std::string shown = row.shown;
    if (const auto at = shown.find("{d}"); at != std::string::npos)
      shown.replace(at, 3, rig.folder);
    if (!rig.port.OpenState()) {
      EXPECT_EQ(rig.calls, (std::vector<std::string>{"busy", "idle", shown, "select 0"}));
      continue;
    }
    rig.calls.clear();
    rig.Run();
    EXPECT_EQ(rig.text, shown);
    EXPECT_FALSE(rig.tester.TestRunning);
  }
}

}  // namespace
}  // namespace serivane::engine::testing
