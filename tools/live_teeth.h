// le-live --teeth: the bundle's four teeth members loaded, the bank track
// decoded into donor order and the borrow attached to a live pipeline.
#pragma once

#include <cstdint>
#include <string>

#include "le/le_utt.h"

namespace le::tool {

// Throws std::runtime_error naming the step that failed and the library's
// message.
void attachTeeth(le_utt* u, const std::string& bundleDir);

// The borrow's counters as le_utt_tessera_stats reports them.
struct TeethCounts {
  int state = 0;  // 0 none, 1 active, -1 failed
  int64_t ok = 0, failures = 0;
  std::string message;
};
TeethCounts teethCounts(le_utt* u);

// "teeth: borrowed N crops, F failures[: message]" or "teeth: FAILED ...".
std::string teethLine(const TeethCounts& c);

}  // namespace le::tool
