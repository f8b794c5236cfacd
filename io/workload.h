// How much work the process already runs side by side, for code that could spread one task
// over several threads: a batch runner that converts N images at once says so here, and an
// encoder that splits one image over worker threads takes at most
// max(1, cores / ConversionsInFlight()) of them, so that the machine is never oversubscribed.
#pragma once

namespace lumenax {

// Conversions in flight: the number of images a batch converts at once (1 when nothing says
// otherwise). Set before the batch starts, back to 1 when it ends.
void SetConversionsInFlight(int count);
int ConversionsInFlight();

}  // namespace lumenax
