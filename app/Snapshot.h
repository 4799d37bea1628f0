// The names and the evidence of a snapshot: the default file name the save dialog offers, the
// base name both cameras' files are named from, and the recording's own clock and GPS fix at the
// moment shown.
#pragma once

#include <ctime>
#include <string>

#include "support/SnapshotExif.h"

class CGPSData;

// "Capture_<year><month><day>_<hour><minute><second>.jpg", each number without leading zeros.
std::string SnapshotDefaultName(const std::tm& now);
// The path chosen without its last four characters (the ".jpg") when the dialog reported an
// extension, else the whole path.
std::string SnapshotBaseName(const std::string& path, bool hasExtension);
// The camera's clock at positionMs into the recording named (KIND_YYYYMMDD_HHMMSS...), into
// evidence's date and time fields. False (fields untouched) for a name without a valid time.
bool RecordingClock(const std::string& name, int positionMs, SnapshotEvidence* evidence);
// A GPS fix as snapshot evidence: position, the speed in the card's unit (km/h times the factor)
// and the fix's UTC date and time (the record keeps the hour as UTC + 9). An invalid fix gives no
// fix.
SnapshotFix FixOf(const CGPSData& fix, float speedFactor, bool mph);
