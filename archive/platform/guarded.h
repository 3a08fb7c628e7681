// Runs a callable and drops whatever it throws: for application handlers
// and clean-up steps where a throw must not stop the work that follows.
#pragma once

namespace qmx {

template <typename F>
void Guarded(F&& f) {
  try {
    f();
  } catch (...) {
  }
}

}  // namespace qmx
