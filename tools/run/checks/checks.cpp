#include "tools/run/checks/checks.h"

#include "tools/run/checks/soak.h"

namespace serivane::run {

std::vector<CheckOutcome> RunChecks(const CheckOptions& options, CheckContext& context) {
  std::vector<CheckOutcome> done;
  // Each check that was asked for, unless a stop came before it.
  const auto run = [&](bool wanted, auto&& check) {
    if (!wanted || context.StopRequested()) return;
    done.push_back(check());
  };
  run(options.soak_ms.has_value(),
      [&] { return RunSoakCheck(context, *options.soak_ms, options.flow_rts); });
  return done;
}

}  // namespace serivane::run
