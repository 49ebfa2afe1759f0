#include "tools/run/checks/checks.h"

#include "tools/run/checks/break_check.h"
#include "tools/run/checks/full_plug.h"
#include "tools/run/checks/latency.h"
#include "tools/run/checks/soak.h"
#include "tools/run/checks/sweep.h"

namespace serivane::run {

std::vector<CheckOutcome> RunChecks(const CheckOptions& options, CheckContext& context) {
  std::vector<CheckOutcome> done;
  // Each check that was asked for, unless a stop came before it.
  const auto run = [&](bool wanted, auto&& check) {
    if (!wanted || context.StopRequested()) return;
    done.push_back(check());
  };
  run(options.full_plug, [&] { return RunFullPlugCheck(context); });
  run(options.break_ms.has_value(), [&] { return RunBreakCheck(context, *options.break_ms); });
  run(options.latency_rounds.has_value(),
      [&] { return RunLatencyCheck(context, *options.latency_rounds); });
  run(options.sweep.has_value(), [&] { return RunSweepCheck(context, *options.sweep); });
  run(options.soak_ms.has_value(),
      [&] { return RunSoakCheck(context, *options.soak_ms, options.flow_rts); });
  return done;
}

}  // namespace serivane::run
