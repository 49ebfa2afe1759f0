// The checks after the tests, in the order they run: the full plug's inputs, the break, the
// round trips, the rate sweep and the soak (the longest last).
#pragma once

#include <vector>

#include "tools/run/checks/check.h"

namespace serivane::run {

std::vector<CheckOutcome> RunChecks(const CheckOptions& options, CheckContext& context);

}  // namespace serivane::run
