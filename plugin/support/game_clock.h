// The plugin's clock: the game's own time, summed from the frame deltas the host passes to the
// per-frame callback. Waits that span minutes (backing off from a store that refuses) are
// measured on it, so that they follow the game's time on a server and the simulated time of the
// stand-in alike. Game thread only.
#pragma once

namespace gildmark {

double GameSeconds();
void AdvanceGameClock(float delta_seconds);

}  // namespace gildmark
