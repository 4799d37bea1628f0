// SPDX-License-Identifier: GPL-3.0-or-later
// Helpers shared by the sound tests.
#pragma once

#include <cstdint>
#include <string>

#include "platform/Clock.h"

namespace soundtest {

// Bytes in one sound block: 240 ms of 16-bit mono sound at 8000 Hz.
constexpr int kBlock = 3840;

// Waits until cond holds; the limit only keeps a broken build from hanging.
template <class Cond>
bool WaitFor(Cond cond, unsigned limitMs = 10000) {
  const std::uint32_t start = TickCountMs();
  while (TickCountMs() - start < limitMs) {
    if (cond()) return true;
    SleepMs(1);
  }
  return cond();
}

// A block whose bytes say which block it is.
inline std::string Block(int id, int length = kBlock) {
  std::string b(static_cast<std::size_t>(length), '\0');
  for (int i = 0; i < length; ++i) b[static_cast<std::size_t>(i)] = static_cast<char>(id * 31 + i);
  return b;
}

}  // namespace soundtest
