#include "tools/run/checks/checks.h"

#include "tools/run/checks/sweep.h"

namespace serivane::run {

std::vector<CheckOutcome> RunChecks(const CheckOptions& options, CheckContext& context) {
  std::vector<CheckOutcome> done;
  // Each check that was asked for, unless a stop came before it.
  const auto run = [&](bool wanted, auto&& check) {
    if (!wanted || context.StopRequested()) return;
    done.push_back(check());
  };
  run(options.sweep.has_value(), [&] { return RunSweepCheck(context, *options.sweep); });
  return done;
}

}  // namespace serivane::run
