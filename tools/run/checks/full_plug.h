// --plug full: a plug that also wires DCD (to DTR, with DSR) and RI (to RTS, with CTS). Each
// output is set off and on; after the handshake delay DCD must follow DTR and RI follow RTS.
#pragma once

#include "tools/run/checks/check.h"

namespace serivane::run {

CheckOutcome RunFullPlugCheck(CheckContext& context);

}  // namespace serivane::run
