// SPDX-License-Identifier: GPL-3.0-or-later
// Writes sample cards for the viewer: recordings in the VEX layout that look like a dash camera's
// (a drawn road scene encoded as H.264 by libx264, engine hum with a beep each second, GPS fixes
// and G-sensor samples of a drive through central Seoul, TripDrive.h) and the camera's settings
// file; or the cards of other families of cameras (FamilyLayouts.cpp), their recordings one MP4,
// MOV or MPEG-TS file per camera with H.264 or H.265 pictures and AAC sound.
//
// Every recording carries marks that tests and benchmarks can measure: at each whole second the
// front picture shows a white square in its top-right corner (dark at all other times) and the
// sound starts a 50 ms 1 kHz beep at the same instant.
//
// The front picture also holds fine detail in a known place: the car ahead stands still in its
// lane (AheadCarRect) and carries a number plate (PlateRect) whose text has strokes one pixel
// wide for every 540 lines of the picture (one in a 720-line picture, two in a 1080-line one), so
// that the text can be read in the picture at its own size and is lost in the picture shown at a
// third of it.
//
// The parts of the writer: RoadScene.h (and RealisticScene.h) draws the pictures, CardEncoder.h
// encodes them and makes the sound, RecordingStreams.h puts a recording's streams together from
// its plan, and the card family's layout (CardLayout.h; the VEX card in VexLayout.cpp) names the
// folders and files and puts the streams into a recording's file.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace tools {

// A rectangle of a picture in pixels: its top-left corner and its size.
struct PixelRect {
  int x = 0, y = 0, width = 0, height = 0;
};

// The body of the car ahead in a front picture of width x height pixels, the same in every
// picture: centred at 0.427 of the width, its bottom at 0.578 of the height (11 m ahead on the
// road as the scene draws it), 2 x 0.068 of the width wide and 1.2 times half that high.
inline PixelRect AheadCarRect(int width, int height) {
  const int half = width * 68 / 1000;
  const int h = half * 6 / 5;
  return {width * 427 / 1000 - half, height * 578 / 1000 - h, 2 * half, h};
}

// The text of the car ahead's number plate, in the scene's 3x5 pixel font.
inline constexpr char kPlateText[] = "38H4172";

// The side of the plate's font pixel: a pixel for every 540 lines of the picture, at least one.
inline int PlateCell(int height) { return std::max(1, height / 540); }

// The number plate on the back of the car ahead: white, a black border one font pixel wide, a
// white margin of two and the black text (four font pixels a character, five high). With c =
// PlateCell(height) it is 33c x 11c pixels, centred across the car, its bottom c above the car's
// bottom eighth (the bumper): {786, 581, 66, 22} in a 1920x1080 picture, {529, 391, 33, 11} in a
// 1280x720 one. Empty (no plate is drawn) when the car is too small to carry it.
inline PixelRect PlateRect(int width, int height) {
  const int cell = PlateCell(height);
  const int textCells = 4 * int(sizeof kPlateText - 1) - 1;
  const int w = (textCells + 6) * cell, h = (5 + 6) * cell;
  const PixelRect car = AheadCarRect(width, height);
  if (w > car.width * 3 / 4 || h > car.height / 3) return {};
  const int bottom = car.y + car.height - car.height / 8 - cell;
  return {car.x + (car.width - w) / 2, bottom - h, w, h};
}

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

enum class VideoCodec { kH264, kH265 };

// The container of the recordings of a family other than VEX.
enum class Container { kMp4, kMov, kTs };

// The format a recording of another family carries its GPS fixes and G-sensor samples in
// (TelemetryWriter.h); kFamily: the family's own.
enum class Telemetry {
  kFamily,
  kNone,
  kFreeGps,          // freeGPS blocks, the common binary record, and their index in moov
  kFreeGpsNewer,     // the newer binary record (in a transport stream: its private stream)
  kFreeGpsNmea,      // freeGPS blocks holding NMEA sentences
  kFreeGps70mai,     // the binary record with integer coordinates
  kBlackVue,         // the sttm, gps and 3gf boxes in a top-level free box
  kBlackVueSidecar,  // the same log and records in .gps and .3gf files beside the front file
  kNmeaTrack,        // NMEA sentences in a text track, one cue a second
  kGarmin,           // PNDM records in a text track
  kGpmf,             // GPMF in a gpmd data track
  kTesla,            // the car's state in an SEI message of every picture
  kNmeaSidecar,      // a .nmea file beside the front file
  kGpxSidecar,       // a .gpx file beside the front file
};

// What clock a recording's GPS records give.
enum class GpsClock {
  kUtc,    // UTC, as receivers give it
  kLocal,  // the camera's clock (the one in the file names)
  kJump,   // UTC until the first valid fix, the camera's clock from it on
  kNone,   // none: left out where the format allows, zeros elsewhere
};

// The most a camera's first picture may follow the front camera's.
inline constexpr int kMaxCameraLateMs = 1000;

// What every recording of a card shares.
struct CardOptions {
  VideoSize front{1280, 720};
  VideoSize rear{640, 360};
  int fps = 30;
  // Front camera bit rate in kbit/s, the rear getting a third of it, the way cameras record at
  // a fixed rate; 0: constant quality instead (small files for tests).
  int bitrateKbps = 0;
  // true: pictures with the texture, motion and shake of a real road (RealisticScene.h), encoded in
  // High profile, that cost a decoder what a camera's own pictures cost; false: the plain scene,
  // which compresses far better.
  bool realistic = false;
  // false: the receiver never has a fix, and every GPS record says so (status V, no position),
  // as a camera writes them under a roof or before the first fix.
  bool gpsFix = true;
  // false: no G-sensor samples at all.
  bool gsensor = true;
  // The text of every fix's speed field (knots), as given, instead of the drive's own speed: a
  // damaged or impossible value ("1e300", "nan") for tests of what reads it. Empty: the drive's.
  std::string gpsSpeedField;
  // Whole seconds at which every recording gets a collision's jolt (four G-sensor samples that
  // swing the vector by 90 to 250 counts, 40 a g), those past a recording's end left out. Empty:
  // an event recording gets one in its middle second (sample seconds * 10 / 2), the others none.
  std::vector<int> joltSeconds;

  // The card's family, as FamilyNames() lists it; the VEX card by default.
  std::string family = "vex";
  // The other families' containers and picture coding (a VEX card is H.264 in its own layout).
  Container container = Container::kMp4;
  VideoCodec codec = VideoCodec::kH264;
  // An interior camera in every recording, for the families whose cameras have one.
  bool interior = false;
  // The GPS and G-sensor format of the other families' recordings and the clock their GPS
  // records give; the seconds from each recording's start (any family's) whose fixes are invalid
  // (status V, no position), as before a receiver's first fix.
  Telemetry telemetry = Telemetry::kFamily;
  GpsClock gpsClock = GpsClock::kUtc;
  int gpsLostSeconds = 0;
  // Outside vex cards: how many ms after the front camera's first picture every other camera's
  // first one is taken (0..kMaxCameraLateMs), as a rear camera that starts late records it. Its
  // file's pictures start that late on the file's clock and show the road at their own time.
  int camerasLateMs = 0;
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
  // Varies the scene and the noise; and the drive, for a recording that is a trip of its own.
  std::uint32_t seed = 1;
  // The drive the recording belongs to (TripDrive.h): the recordings of one trip share its seed,
  // and each starts tripOffsetSeconds after the trip began, where the one before it ended, so that
  // the car's position, speed and heading run on from one to the next. A tripSeed of 0 makes the
  // recording a trip of its own, seeded by `seed`. A parking recording stands where its trip was
  // at tripOffsetSeconds (0..TripDrive::kMaxSeconds).
  std::uint32_t tripSeed = 0;
  int tripOffsetSeconds = 0;
  // The recording's number on the card, 1, 2, 3... in the order written; the families that name
  // files by it write it in as many digits as they have, counting round past the largest.
  int sequence = 1;

  // KIND_YYYYMMDD_HHMMSS[_D].vex
  std::string FileName() const;
};

struct RecordingResult {
  // One file of a recording in another family's layout: one per camera, and Tesla's event file.
  struct File {
    std::string path;  // relative to the card's root
    std::uint64_t bytes = 0;
    bool cutShort = false;
  };

  std::string fileName;
  double seconds = 0;  // length of the pictures actually written
  std::uint64_t bytes = 0;
  int frontPictures = 0;
  int rearPictures = 0;
  bool cutShort = false;
  std::vector<File> files;  // empty for a VEX recording, which is the one file above
};

// The families of cards written, "vex" first.
const std::vector<std::string>& FamilyNames();
// The family of that name as FamilyNames() lists it, the name in any case; empty for none.
std::string FindFamily(const std::string& name);
// Whether the family's recordings can be written in `container`.
bool FamilyTakes(const std::string& family, Container container);
// Whether the family has a folder for recordings of `kind` (REC, EVENT, PARKING or MANUAL).
bool FamilyHasKind(const std::string& family, const std::string& kind);

// Prepares the card of options.family under `root`: for the VEX card, creates <root>/VEX and
// <root>/SETTING and writes <root>/SETTING/blackbox.cfg from `settingsText` with CR LF line ends;
// for the others, creates the root (their folders come with the recordings). On failure fills
// *error and returns false.
bool PrepareCard(const std::string& root, const CardOptions& options,
                 const std::string& settingsText, std::string* error);

// Writes one recording of options.family's card under <root>. Recordings may be written on
// several threads at once. On failure fills *error, removes the partial files and returns false.
bool WriteRecording(const std::string& root, const CardOptions& options, const RecordingPlan& plan,
                    RecordingResult* result, std::string* error);

// The text payload of a GPS fix: "G", an NMEA RMC sentence with its checksum, CR LF.
// utc is the fix's UTC time; latitude and longitude in decimal degrees (north and east positive).
// speedField, when not empty, is written as the speed field instead of kmh in knots.
std::string GpsRecord(const DateTime& utc, double latitude, double longitude, double kmh,
                      double course, const std::string& speedField = std::string());
// The text payload of a GPS record without a fix: status V, no position, speed or course.
std::string VoidGpsRecord(const DateTime& utc);
// XOR of the characters between '$' and '*' (or the end) of an NMEA sentence.
std::uint8_t NmeaChecksum(const std::string& sentence);

// An NMEA DDmm.mmmm (longitude: DDDmm.mmmm) of decimal degrees, its sign left to the hemisphere
// letter; the minutes rounded to four places carry into the degrees.
std::string NmeaDegreesMinutes(double degrees, bool longitude);

}  // namespace tools
