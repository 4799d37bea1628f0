// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/testing/AllocationFailure.h"

#include <cstddef>
#include <new>

namespace {

// The calling thread's state. Plain data, so reaching it never allocates.
struct State {
  bool active = false;
  int allowed = 0;
  int refused = 0;
};
thread_local State state;

bool RefuseThisOne() {
  if (!state.active) return false;
  if (state.allowed > 0) {
    --state.allowed;
    return false;
  }
  ++state.refused;
  return true;
}

}  // namespace

// The wrapped functions (-Wl,--wrap=NAME) and the originals they pass on to.
extern "C" void* __real_calloc(std::size_t count, std::size_t size);
extern "C" void* __real__Znwm(std::size_t size);

extern "C" void* __wrap_calloc(std::size_t count, std::size_t size) {
  return RefuseThisOne() ? nullptr : __real_calloc(count, size);
}

// operator new(std::size_t)
extern "C" void* __wrap__Znwm(std::size_t size) {
  if (RefuseThisOne()) throw std::bad_alloc();
  return __real__Znwm(size);
}

namespace roadeye_test {

AllocationFailure::AllocationFailure(int allowed) {
  state.active = true;
  state.allowed = allowed;
  state.refused = 0;
}

AllocationFailure::~AllocationFailure() { state.active = false; }

int AllocationFailure::refused() const { return state.refused; }

}  // namespace roadeye_test
