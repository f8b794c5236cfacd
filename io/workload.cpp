#include "io/workload.h"

#include <algorithm>
#include <atomic>

namespace lumenax {

namespace {
std::atomic<int> inFlight{1};
}

void SetConversionsInFlight(int count) {
  inFlight = std::max(1, count);
}

int ConversionsInFlight() {
  return inFlight;
}

}  // namespace lumenax
