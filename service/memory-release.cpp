#include "memory-release.h"

#include <malloc.h>

namespace corvane {

namespace {

// The library's own starting value; setting it is what keeps it there.
constexpr int kTrimThreshold = 128 * 1024;

}  // namespace

void keepTrimThresholdFixed() { mallopt(M_TRIM_THRESHOLD, kTrimThreshold); }

}  // namespace corvane
