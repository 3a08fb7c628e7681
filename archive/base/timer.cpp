#include "archive/base/timer.h"

#include "archive/platform/clock.h"

namespace qmx {

// A tick of 0 means "not running", so a real reading of 0 is nudged to 1.
std::uint32_t TqmxTimer::Now() const {
  std::uint32_t t = TickCount();
  return t == 0 ? 1 : t;
}

void TqmxTimer::Start() {
  FElapsedTime = 0;
  FPauseTick = 0;
  FPauseDepth = 0;
  FStartTick = Now();
}

void TqmxTimer::Stop() {
  if (FStartTick == 0) return;
  FStopTick = Now();
  FElapsedTime = static_cast<float>(static_cast<std::uint32_t>(FStopTick - FStartTick) / 1000.0);
  FStartTick = 0;
}

void TqmxTimer::Pause() {
  if (FStartTick == 0) return;
  if (FPauseDepth++ == 0) FPauseTick = Now();
}

void TqmxTimer::Resume() {
  if (FStartTick == 0 || FPauseTick == 0) return;
  if (--FPauseDepth > 0) return;
  FPauseDepth = 0;
  FStartTick += Now() - FPauseTick;
  FPauseTick = 0;
}

}  // namespace qmx
