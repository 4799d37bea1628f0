// SPDX-License-Identifier: GPL-3.0-or-later
// The telemetry store of the recording being played: its GPS fixes in arrival order and at most
// one G-sensor sample per whole second of media time.
//
// Threads: the playback engine's worker appends (OnTextData) while the window thread reads and
// clears. One mutex guards every operation, and reads hand out copies, never references, so
// nothing refers into the arrays once the lock is released. OnTextData takes only this lock, so
// it may run under the engine's own lock.
#pragma once

#include <mutex>
#include <vector>

#include "telemetry/CGPSData.h"
#include "telemetry/CGSensorData.h"

class CTextData {
 public:
  CTextData() = default;
  CTextData(const CTextData&) = delete;
  CTextData& operator=(const CTextData&) = delete;

  // Decodes one text record and appends at most one entry:
  // - a GPS fix when byte 0 is 'G', byte 2 is 'G' and bytes 3..6 are "PRMC" (byte 1 is not
  //   looked at): always appended, whatever the sentence's completeness;
  // - else a G-sensor sample when byte 0 is 'M' and bytes 1..3 are present: appended only when
  //   s = timeMs / 1000 is greater than (sample count - 1), so the first sample of each new second
  //   is kept; after a jump the next sample lands at the next index, not at index s;
  // - anything else: nothing.
  // `length` bounds what is read. It counts the record's bytes and, as the engine delivers them,
  // a terminating zero: a zero in the last place is that terminator, not data. The GPS test and
  // sentence stop at the first zero byte as well; G-sensor bytes are raw, so a zero among them is
  // an axis value. A record of fewer than 4 data bytes ("M" with fewer than three axis bytes, "G"
  // alone) or a null text is ignored.
  void OnTextData(const char* text, int length, int timeMs);

  int GpsCount() const;
  // A copy of the newest fix; a default (invalid, all 0) record when there is none.
  CGPSData LastGps() const;
  // A copy of fix i; a default record when i is out of range.
  CGPSData Gps(int i) const;
  int GSensorCount() const;
  // A copy of sample i; 0, 0, 0 when i is out of range.
  CGSensorData GSensor(int i) const;
  // A copy of all samples, for drawing them without holding the lock.
  std::vector<CGSensorData> GSensorSamples() const;
  // Empties both arrays (a recording is opened or stopped, the card removed).
  void Clear();

 private:
  mutable std::mutex lock_;
  std::vector<CGPSData> gps_;
  std::vector<CGSensorData> gsensor_;
};
