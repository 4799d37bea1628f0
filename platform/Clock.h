// SPDX-License-Identifier: GPL-3.0-or-later
// Milliseconds of a steady clock, and sleeping.
#pragma once

#include <cstdint>

// Milliseconds since an arbitrary start, from a clock that never goes back; wraps at 2^32 like
// the classic tick count, so compare ticks by unsigned difference.
std::uint32_t TickCountMs();

// Sleeps at least ms milliseconds.
void SleepMs(unsigned ms);
