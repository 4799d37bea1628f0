// Writes sample cards for the viewer: recordings in the VEX layout that look like a dash camera's
// (a drawn road scene encoded as H.264 by libx264, engine hum with a beep each second, GPS fixes
// and G-sensor samples) and the camera's settings file.
//
// Every recording carries marks that tests and benchmarks can measure: at each whole second the
// front picture shows a white square in its top-right corner (dark at all other times) and the
// sound starts a 50 ms 1 kHz beep at the same instant.
#pragma once

#include <cstdint>
#include <string>

namespace tools {

// A civil date and time without a time zone: the camera's clock.
struct DateTime {
  int year = 2024, month = 1, day = 1;
  int hour = 0, minute = 0, second = 0;
};

// Parses "YYYYMMDD_HHMMSS"; false for anything else or an impossible date.
bool ParseDateTime(const std::string& text, DateTime* out);
// The time `seconds` later (or earlier, when negative), with days, months and years carried.
DateTime AddSeconds(const DateTime& t, std::int64_t seconds);

struct VideoSize {
  int width = 0, height = 0;
};

// What every recording of a card shares.
struct CardOptions {
  VideoSize front{1280, 720};
  VideoSize rear{640, 360};
  int fps = 30;
  // Front camera bit rate in kbit/s, the rear getting a third of it, the way cameras record at
  // a fixed rate; 0: constant quality instead (small files for tests).
  int bitrateKbps = 0;
};

// One recording to write.
struct RecordingPlan {
  std::string kind = "REC";  // REC, EVENT, PARKING or MANUAL
  DateTime start;            // the camera's clock at the first picture; also the name's time
  int seconds = 20;
  bool rear = false;
  // Front picture at which the camera loses power (the block being gathered is left half
  // written, no index); negative: the recording is closed normally.
  int cutAtFrame = -1;
  std::uint32_t seed = 1;

  // KIND_YYYYMMDD_HHMMSS[_D].vex
  std::string FileName() const;
};

struct RecordingResult {
  std::string fileName;
  double seconds = 0;  // length of the pictures actually written
  std::uint64_t bytes = 0;
  int frontPictures = 0;
  int rearPictures = 0;
  bool cutShort = false;
};

// Creates <root>/VEX and <root>/SETTING and writes <root>/SETTING/blackbox.cfg from
// `settingsText` with CR LF line ends. On failure fills *error and returns false.
bool PrepareCard(const std::string& root, const std::string& settingsText, std::string* error);

// Writes one recording into <root>/VEX. Recordings may be written on several threads at once.
// On failure fills *error, removes the partial file and returns false.
bool WriteRecording(const std::string& root, const CardOptions& options, const RecordingPlan& plan,
                    RecordingResult* result, std::string* error);

// The text payload of a GPS fix: "G", an NMEA RMC sentence with its checksum, CR LF.
// utc is the fix's UTC time; latitude and longitude in decimal degrees (north and east positive).
std::string GpsRecord(const DateTime& utc, double latitude, double longitude, double kmh,
                      double course);
// XOR of the characters between '$' and '*' (or the end) of an NMEA sentence.
std::uint8_t NmeaChecksum(const std::string& sentence);

}  // namespace tools
