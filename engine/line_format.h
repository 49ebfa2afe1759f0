// The line format the stored settings ask for, in the port's own terms: the one place that turns
// the settings' numbers (parity 1 none, 2 odd, 3 even) into a LineConfig. Its Text() is what the
// port, the log, the caption and the report are given ("38400,N,8,1"), its BitsPerCharacter()
// what the time limits count.
#pragma once

#include "serial/comm_control.h"
#include "settings/settings.h"

namespace serivane::engine {

// Rate, data bits and stop bits are taken as they are: a value out of range is refused by the
// port when it is given the text, naming the value. Parity 2 is odd, 3 even, anything else none.
serial::LineConfig LineConfigFor(const settings::Settings& settings);

}  // namespace serivane::engine
