// SPDX-License-Identifier: GPL-3.0-or-later
// The telemetry records of a recording's text stream: the input is cut into records at zero bytes,
// each parsed as an RMC sentence on its own and fed to the store as the engine feeds it, then the
// store is read as the window reads it. Nothing may crash or read outside the record.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "telemetry/CGPSData.h"
#include "telemetry/CTextData.h"
#include "telemetry/SpeedReadout.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  CTextData store;
  const char* text = reinterpret_cast<const char*>(data);
  std::size_t start = 0;
  int timeMs = 0;
  while (start <= size) {
    const void* zero = std::memchr(text + start, 0, size - start);
    const std::size_t end = zero ? std::size_t(static_cast<const char*>(zero) - text) : size;
    // Each record in a buffer of exactly its own length: a read past it is a fault.
    std::vector<char> record(text + start, text + end);
    const int length = int(record.size());
    CGPSData fix;
    fix.ParseRMC(record.data(), length);
    const double lat = fix.GetLatitude(), lon = fix.GetLongitude();
    if (fix.valid && (std::isnan(lat) || std::isnan(lon))) __builtin_trap();
    CGPSData made(record.data(), length);
    (void)made.GetSpeed();
    store.OnTextData(record.data(), length, timeMs);
    timeMs += 100;
    start = end + 1;
  }
  for (int i = 0; i < store.GpsCount(); ++i) (void)store.Gps(i).GetSpeed();
  (void)store.GSensorSamples();
  (void)SpeedReadout(store, SpeedUnitFromSetting(1));
  (void)SpeedReadout(store, SpeedUnitFromSetting(2));
  return 0;
}
