// The wiring diagnosis: what the pattern of failures of one port's run says about the port, the
// plug and the cable, in sentences that name wires and pins of the 9-pin plug (the 25-pin plug's
// pin in brackets).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/run/port_run.h"

namespace serivane::run {

// Test 2 or 3 failed with some, but not all or not the right, characters back: a line that
// loses or changes characters (as opposed to no echo at all, or too many characters).
bool LostOrChanged(const PortOutcome& outcome, std::int16_t number);

// The sentences for one port, in the order of the tests; empty when nothing points at a fault.
std::vector<std::string> Diagnose(const PortOutcome& outcome);

}  // namespace serivane::run
