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
#include <string>
#include <vector>

#include "telemetry/CGPSData.h"
#include "telemetry/CGSensorData.h"

// A car's own state (Tesla's cameras record it with every picture): a "T" record of "key=value"
// pairs separated by ';' (g gear letter, l and r the blinkers, b the brake, a the autopilot
// state 0 to 3).
struct CVehicleData {
  bool present = false;
  char gear = 0;  // 'P', 'R', 'N', 'D'; 0 unknown
  bool blinkLeft = false;
  bool blinkRight = false;
  bool brake = false;
  int autopilot = 0;  // 0 none, 1 self-driving, 2 autosteer, 3 traffic-aware cruise control
};

// Reads a "T" record of `length` bytes; false when it is not one.
bool ParseVehicleRecord(const char* text, int length, CVehicleData* out);

// What the window shows beside the speed: "D", the blinkers as "<" and ">", "BRAKE" and the
// autopilot's state ("FSD", "AUTOSTEER", "TACC"), separated by two spaces; empty with no state.
std::string VehicleReadout(const CVehicleData& state);

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
  // - else a car's state when byte 0 is 'T' (ParseVehicleRecord): it replaces the last one;
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
  // The newest car's state; not present when the recording gives none.
  CVehicleData LastVehicle() const;
  // Empties both arrays and the car's state (a recording is opened or stopped, the card removed).
  void Clear();

 private:
  mutable std::mutex lock_;
  std::vector<CGPSData> gps_;
  std::vector<CGSensorData> gsensor_;
  CVehicleData vehicle_;
};
