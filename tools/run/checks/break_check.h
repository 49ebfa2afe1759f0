// --break MS: the port holds a break for MS milliseconds. It must come back as a break event
// and, where the driver keeps counters, in its break counter; a block sent after it must come
// back intact.
#pragma once

#include <cstdint>

#include "tools/run/checks/check.h"

namespace serivane::run {

// Characters of the block sent after the break.
inline constexpr std::int32_t kBlockAfterBreak = 64;

CheckOutcome RunBreakCheck(CheckContext& context, std::int32_t break_ms);

}  // namespace serivane::run
