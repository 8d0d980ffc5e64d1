#include "support/game_clock.h"

namespace gildmark {

namespace {
double g_game_seconds = 0;
}  // namespace

double GameSeconds() { return g_game_seconds; }

void AdvanceGameClock(float delta_seconds) {
  // A negative or absurd delta (a paused or hitching engine) never moves the clock back.
  if (delta_seconds > 0 && delta_seconds < 3600) g_game_seconds += delta_seconds;
}

}  // namespace gildmark
