// SPDX-License-Identifier: GPL-3.0-or-later
// One gpmd sample of a GoPro recording, as the metadata pass hands it over: the input is the
// sample, copied into a buffer of exactly its length so that a read past it is a fault. Nothing
// may crash, hang, add from bytes it refused, or give a fix out of range or a time outside the
// sample.
#include <cmath>
#include <cstdint>
#include <vector>

#include "metadata/Gpmf.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  constexpr int kStartMs = 1000, kDurationMs = 1001;
  const std::vector<std::uint8_t> sample(data, data + size);
  metadata::CameraMetadata out;
  const bool read =
      metadata::ParseGpmfSample(sample.data(), sample.size(), kStartMs, kDurationMs, &out);
  if (!read && !out.Empty()) __builtin_trap();
  for (const metadata::Fix& fix : out.fixes) {
    if (!(std::fabs(fix.latitude) <= 90) || !(std::fabs(fix.longitude) <= 180)) __builtin_trap();
    if (fix.mediaMs < kStartMs || fix.mediaMs >= kStartMs + kDurationMs) __builtin_trap();
  }
  for (const metadata::GSample& g : out.gsensor) {
    if (g.mediaMs < kStartMs || g.mediaMs >= kStartMs + kDurationMs) __builtin_trap();
  }
  return 0;
}
