// Elapsed time of an operation, with the time spent in user dialogues left out.
#pragma once

#include <cstdint>

namespace qmx {

class TqmxTimer {
 public:
  void Start();
  void Stop();
  void Pause();
  void Resume();
  bool Running() const { return FStartTick > 0; }
  float ElapsedTime() const { return FElapsedTime; }

 private:
  std::uint32_t Now() const;

  std::uint32_t FStartTick = 0;  // 0: not running
  std::uint32_t FStopTick = 0;
  std::uint32_t FPauseTick = 0;
  int FPauseDepth = 0;  // pauses nest: an error reported inside a dialogue
  float FElapsedTime = 0;
};

// Leaves the time of a user dialogue or handler out of the elapsed time.
class TPauseGuard {
 public:
  explicit TPauseGuard(TqmxTimer& t) : t_(t) { t_.Pause(); }
  ~TPauseGuard() { t_.Resume(); }
  TPauseGuard(const TPauseGuard&) = delete;
  TPauseGuard& operator=(const TPauseGuard&) = delete;

 private:
  TqmxTimer& t_;
};

}  // namespace qmx
