// SPDX-License-Identifier: GPL-3.0-or-later
// The GPS fixes and G-sensor samples of a recording in the formats other makers' cameras write
// them in: one function a format, each giving the bytes of a block, a box, a track's sample or a
// file beside the recording, never the file around them (ContainerWriter.h puts them in). The
// drive's fix for each whole second from the first picture and its G-sensor samples
// (RecordingStreams.h) are gathered once into a DriveTelemetry in the units and with the clock
// the card asks for; every format writes the same drive. docs/telemetry-formats.md describes each
// format and its public source.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/CardWriter.h"

namespace tools {

class RecordingStreams;

// One record of a second's fix as the receiver writes it.
struct TelemetryFix {
  bool valid = false;                  // false: status V, and no position, speed or course
  bool hasClock = false;               // false: the record's time is left out (or zeros)
  DateTime clock;                      // the time the record gives (UTC, the camera's clock, ...)
  double latitude = 0, longitude = 0;  // decimal degrees, north and east positive
  double kmh = 0;
  double course = 0;    // degrees clockwise from north
  double altitude = 0;  // metres above the sea
};

// One G-sensor sample, in g, and its time from the first picture.
struct TelemetrySample {
  int mediaMs = 0;
  double x = 0, y = 0, z = 0;
};

struct DriveTelemetry {
  std::vector<TelemetryFix> fixes;  // the fix of each whole second, from 0 on
  std::vector<TelemetrySample> gsensor;
  DateTime camera;            // the camera's clock at the first picture
  std::int64_t cameraMs = 0;  // the same, in ms since 1970 read as UTC
  std::string speedField;     // CardOptions::gpsSpeedField, for the NMEA formats
};

// The drive of `seconds` seconds of `streams` (whose G-sensor samples it takes, all of them, in
// turn) as `options` asks for it: its fix validity (gpsFix, gpsLostSeconds), its clock and whether
// it has G-sensor samples. `camera` is the camera's clock at the first picture.
DriveTelemetry GatherTelemetry(const CardOptions& options, const DateTime& camera, int seconds,
                               RecordingStreams* streams);

// The family's own format in `container`: kNone for a family whose cameras write none.
Telemetry FamilyTelemetry(const std::string& family, Container container);
// Whether a recording in `container` can carry `format`.
bool ContainerCarries(Container container, Telemetry format);
// The format's name as --telemetry takes it; false for a name that is none of them.
bool ParseTelemetry(const std::string& name, Telemetry* out);

// An NMEA RMC and a GGA sentence, each ending in its checksum and CR LF.
std::string NmeaRmc(const TelemetryFix& fix, const std::string& speedField = std::string());
std::string NmeaGga(const TelemetryFix& fix);

// A 4096-byte freeGPS atom (its size, "free", "GPS ", the record) of one second, in `format`
// (kFreeGps, kFreeGpsNewer, kFreeGpsNmea or kFreeGps70mai); `g` is the second's first G-sensor
// sample, or null when there is none.
std::vector<std::uint8_t> FreeGpsBlock(Telemetry format, const DriveTelemetry& drive, int second,
                                       const TelemetrySample* g);
// The moov box's "gps " index of the blocks at `offsets` in the file, each `size` bytes.
std::vector<std::uint8_t> FreeGpsIndex(const std::vector<std::uint64_t>& offsets,
                                       std::uint32_t size);
// The newer record from its time on: the payload of a transport stream's private stream packet.
std::vector<std::uint8_t> TsPrivateRecord(const DriveTelemetry& drive, int second,
                                          const TelemetrySample* g);

// BlackVue's NMEA log (each line "[ms since 1970]$GP...", the camera's clock) and its 3gf
// records (u32 media ms, three int16 in hundredths of a g, all big-endian; a record of 0xFF ends
// them), for the first `seconds` seconds.
std::string BlackVueGpsLog(const DriveTelemetry& drive, int seconds);
std::vector<std::uint8_t> BlackVue3gf(const DriveTelemetry& drive, int seconds);
// The top-level free box of both, after an sttm box with the camera's clock at the first picture.
std::vector<std::uint8_t> BlackVueFreeBox(const DriveTelemetry& drive, int seconds);

// One second's text cue: the NMEA RMC and GGA sentences; or, in Thinkware's form,
// "gsensori,4,512,X,Y,Z;" (the sample in 512ths of a g), the RMC without its '$' and
// ";CAR,0,0,0,0.0,0,0,0,0,0,0,0,0".
std::string NmeaCue(const DriveTelemetry& drive, int second, const TelemetrySample* g,
                    bool thinkware);
// One second's Garmin record (PNDM, speed in mph, position in semicircles); empty for a second
// without a fix.
std::vector<std::uint8_t> GarminRecord(const TelemetryFix& fix);
// The sample of a text track that holds `text`: its length as a u16 then the text.
std::vector<std::uint8_t> TextSample(const std::vector<std::uint8_t>& text);
// The tx3g sample description's default text style, the text track's codec extradata.
std::vector<std::uint8_t> TextTrackStyle();
// One second's GPMF sample: a device with the second's GPS stream and its accelerometer stream.
std::vector<std::uint8_t> GpmfSample(const DriveTelemetry& drive, int second);

// The car's state at one picture, as a Tesla writes it into the picture's SEI message.
struct CarState {
  std::uint64_t frame = 0;  // the pictures the car has encoded before this one
  bool parked = false;
  double speedMs = 0;
  double pedal = 0;     // 0 released .. 1 pressed down
  double steering = 0;  // the wheel's degrees, turning right positive
  bool blinkLeft = false, blinkRight = false, brake = false;
  bool located = false;  // false: no position (both 0)
  double latitude = 0, longitude = 0, heading = 0;
  double ax = 0, ay = 0, az = 0;  // m/s², the G-sensor's axes
};

// The state at picture `picture` of a recording at `fps`, its fix validity and acceleration from
// `drive`, its position, speed and turning from `streams`.
CarState CarStateAt(const DriveTelemetry& drive, const RecordingStreams& streams, int picture,
                    int fps, std::uint64_t firstFrame, bool parked);
// The state as the SeiMetadata protobuf message, its fields in number order, zeros left out.
std::vector<std::uint8_t> TeslaSeiMessage(const CarState& state);
// The SEI NAL unit, 4-byte start code first, that carries the message in a picture of `codec`:
// user data unregistered (payload type 5) of the marker 42 42 42 69 and the message, escaped
// against start codes, then the stop bit.
std::vector<std::uint8_t> TeslaSeiNal(VideoCodec codec, const CarState& state);
// Puts `nal` before the first slice of the Annex B access unit `au`.
void InsertBeforeFirstSlice(VideoCodec codec, const std::vector<std::uint8_t>& nal,
                            std::vector<std::uint8_t>* au);

// A .nmea file of the whole drive (RMC and GGA a second) and a GPX 1.1 track of its valid fixes.
std::string NmeaFile(const DriveTelemetry& drive);
std::string GpxFile(const DriveTelemetry& drive);

}  // namespace tools
