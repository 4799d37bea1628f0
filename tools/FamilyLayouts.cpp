// SPDX-License-Identifier: GPL-3.0-or-later
// The cards of other makers' dash cameras. Each recording is one file per camera (front, rear,
// interior; Tesla's four), all named after the recording's clock at its first picture and its
// sequence number on the card, in the family's folder for the recording's kind. Pictures are H.264
// or H.265 with a key picture each second; the front camera's file also holds the sound as AAC-LC
// at 48000 Hz (Tesla's cameras record none). A camera that loses power leaves its front file
// without the index that would have been written at its end: an MP4 or MOV file with no moov box,
// a transport stream ending inside a packet. Tesla's SentryClips and SavedClips hold each event in
// a folder named by its clock, with an event.json beside the clips.
//
// A family is one entry of the table below: its name, its cameras, the containers it takes and
// the path of each camera's file of a recording. docs/cards.md describes each family's card and
// the public sources of its names.
#include <algorithm>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "tools/CardEncoder.h"
#include "tools/CardLayout.h"
#include "tools/ContainerWriter.h"
#include "tools/RecordingStreams.h"
#include "tools/TelemetryWriter.h"

namespace tools {

namespace {

namespace fs = std::filesystem;

// The sound of every family's front camera, samples per second.
constexpr int kFamilySoundRate = 48000;

enum class Camera { kFront, kRear, kInterior, kLeft, kRight };
enum Kind { kRec, kEvent, kParking, kManual, kKinds };

int KindIndex(const std::string& kind) {
  static const char* const kNames[kKinds] = {"REC", "EVENT", "PARKING", "MANUAL"};
  for (int k = 0; k < kKinds; ++k) {
    if (kind == kNames[k]) return k;
  }
  return -1;
}

// What names one camera's file of a recording.
struct FileKey {
  int kind = kRec;
  DateTime clock;   // at the first picture
  DateTime ending;  // at the end, which names Tesla's event folders
  int sequence = 1;
  Camera camera = Camera::kFront;
  Container container = Container::kMp4;
};

// printf into a string; the names are short and made of the key's numbers.
template <typename... Args>
std::string Format(const char* format, Args... args) {
  char buf[160];
  std::snprintf(buf, sizeof buf, format, args...);
  return buf;
}

// The sequence number in `digits` digits, counting round past the largest.
int Wrap(int sequence, int digits) {
  int limit = 1;
  for (int i = 0; i < digits; ++i) limit *= 10;
  return sequence % limit;
}

// One of `letters` (one a kind or one a camera) for the key's kind or camera.
char Letter(std::string_view letters, int index) {
  return index >= 0 && std::size_t(index) < letters.size() ? letters[std::size_t(index)] : '?';
}
char KindLetter(const FileKey& k, std::string_view letters) { return Letter(letters, k.kind); }
char CameraLetter(const FileKey& k, std::string_view letters) {
  return Letter(letters, int(k.camera));
}

std::string YmdHms(const DateTime& t, const char* format) {
  return Format(format, t.year, t.month, t.day, t.hour, t.minute, t.second);
}

struct Family {
  const char* name = "";
  bool rear = false;        // a rear camera when the recording has one
  bool interior = false;    // an interior camera when the card asks for one
  bool tesla = false;       // Tesla's four cameras, always, and no sound
  bool movAndTs = false;    // MOV and TS as well as MP4
  bool kinds[kKinds] = {};  // by Kind: whether the family has a folder for it
  // The file's path under the card's root; called only for the kinds with a folder.
  std::function<std::string(const FileKey&)> path;
};

const std::vector<Family>& Families() {
  static const std::vector<Family> families = {
      {.name = "novatek",
       .rear = true,
       .interior = true,
       .movAndTs = true,
       .kinds = {true, true, true, false},
       .path =
           [](const FileKey& k) {
             static const char* const kFolders[] = {"DCIM/Movie/", "DCIM/Movie/RO/",
                                                    "DCIM/Movie/Parking/"};
             return kFolders[k.kind] + YmdHms(k.clock, "%04d_%02d%02d_%02d%02d%02d") +
                    Format("_%03d%s%c.", Wrap(k.sequence, 3), k.kind == kParking ? "P" : "",
                           CameraLetter(k, "FRI")) +
                    ContainerExtension(k.container, true);
           }},
      {.name = "vantrue",
       .rear = true,
       .interior = true,
       .kinds = {true, true, true, false},
       .path =
           [](const FileKey& k) {
             static const char* const kFolders[] = {"DCIM/Movie/", "DCIM/Movie/RO/",
                                                    "DCIM/Movie/Parking/"};
             return kFolders[k.kind] + YmdHms(k.clock, "%04d%02d%02d_%02d%02d%02d") +
                    Format("_%05d_%c_%c.MP4", Wrap(k.sequence, 5), KindLetter(k, "NEP"),
                           CameraLetter(k, "ABC"));
           }},
      {.name = "blackvue",
       .rear = true,
       .interior = true,
       .kinds = {true, true, true, true},
       .path =
           [](const FileKey& k) {
             return "Record/" + YmdHms(k.clock, "%04d%02d%02d_%02d%02d%02d") +
                    Format("_%c%c.mp4", KindLetter(k, "NEPM"), CameraLetter(k, "FRI"));
           }},
      {.name = "thinkware",
       .rear = true,
       .kinds = {true, true, true, true},
       .path =
           [](const FileKey& k) {
             static const char* const kFolders[] = {"cont_rec/REC", "evt_rec/EVT",
                                                    "parking_rec/MOT", "manual_rec/MAN"};
             return kFolders[k.kind] + YmdHms(k.clock, "_%04d_%02d_%02d_%02d_%02d_%02d") +
                    Format("_%c.MP4", CameraLetter(k, "FR"));
           }},
      {.name = "70mai",
       .rear = true,
       .interior = true,
       .kinds = {true, true, true, false},
       .path =
           [](const FileKey& k) {
             static const char* const kFolders[] = {"Normal/", "Event/", "Parking/"};
             static const char* const kCameras[] = {"Front/", "Back/", "Interior/"};
             static const char* const kPrefixes[] = {"NO", "EV", "PA"};
             return kFolders[k.kind] + std::string(kCameras[int(k.camera)]) + kPrefixes[k.kind] +
                    YmdHms(k.clock, "%04d%02d%02d-%02d%02d%02d") +
                    Format("-%06d%c.MP4", Wrap(k.sequence, 6), CameraLetter(k, "FBI"));
           }},
      {.name = "tesla",
       .tesla = true,
       .kinds = {true, false, true, true},
       .path =
           [](const FileKey& k) {
             static const char* const kCameras[] = {"front", "back", "", "left_repeater",
                                                    "right_repeater"};
             std::string folder = "TeslaCam/RecentClips/";
             if (k.kind != kRec) {
               folder = std::string(k.kind == kParking ? "TeslaCam/SentryClips/"
                                                       : "TeslaCam/SavedClips/") +
                        YmdHms(k.ending, "%04d-%02d-%02d_%02d-%02d-%02d") + "/";
             }
             return folder + YmdHms(k.clock, "%04d-%02d-%02d_%02d-%02d-%02d-") +
                    kCameras[int(k.camera)] + ".mp4";
           }},
      // The clock is in the file's creation_time alone. Incidents the camera detects go to EVENT,
      // clips the driver saves to SAVED.
      {.name = "garmin",
       .kinds = {true, true, true, true},
       .path =
           [](const FileKey& k) {
             static const char* const kFolders[] = {"DCIM/100UNSVD/", "DCIM/100EVENT/",
                                                    "DCIM/100PARKM/", "DCIM/100SAVED/"};
             return kFolders[k.kind] + Format("GRMN%04d.MP4", Wrap(k.sequence, 4));
           }},
      // Any folder of videos, named by the clock or (every other one) by a number alone.
      {.name = "generic",
       .movAndTs = true,
       .kinds = {true, false, false, false},
       .path =
           [](const FileKey& k) {
             const std::string ext = "." + ContainerExtension(k.container, false);
             if (k.sequence % 2 == 1) {
               return "Videos/" + YmdHms(k.clock, "VID_%04d%02d%02d_%02d%02d%02d") + ext;
             }
             return "Videos/trips/" + Format("MOVI%04d", Wrap(k.sequence, 4)) + ext;
           }},
  };
  return families;
}

// Where Tesla reports an event: the city the drive goes round.
constexpr char kEventCity[] = "Seoul";

class FamilyLayout final : public CardLayout {
 public:
  explicit FamilyLayout(const Family& family) : family_(family) {}

  std::string Name() const override { return family_.name; }
  bool HasKind(const std::string& kind) const override {
    const int k = KindIndex(kind);
    return k >= 0 && family_.kinds[k];
  }
  bool Takes(Container container) const override {
    return container == Container::kMp4 || family_.movAndTs;
  }
  bool PrepareCard(const std::string& root, const std::string& settingsText,
                   std::string* error) const override;
  std::string FileName(const RecordingPlan& plan) const override;
  bool WriteRecording(const std::string& root, const CardOptions& options,
                      const RecordingPlan& plan, RecordingResult* result,
                      std::string* error) const override;

 private:
  // WriteRecording, listing in result->files every file it begins, so that a failure can remove
  // them.
  bool WriteFiles(const std::string& root, const CardOptions& options, const RecordingPlan& plan,
                  RecordingResult* result, std::string* error) const;
  // The cameras of the plan's recording, the front camera first.
  std::vector<Camera> Cameras(const CardOptions& options, const RecordingPlan& plan) const;
  FileKey Key(const RecordingPlan& plan, Camera camera, Container container) const;
  bool WriteEvent(const fs::path& folder, const RecordingPlan& plan, const GpsFix& where,
                  std::string* error) const;
  // Adds the recording's GPS and G-sensor data in `format` to its finished front file at `path`
  // (the first `seconds` of it when the recording is cut short, and then no index).
  bool AddTelemetry(Telemetry format, const fs::path& path, const DriveTelemetry& drive,
                    int seconds, bool cut, std::string* error) const;
  // The files beside the front file at `front` (relative to `root`) that `format` writes,
  // listing each in result->files before writing it.
  bool WriteSidecars(Telemetry format, const fs::path& root, const std::string& front,
                     const DriveTelemetry& drive, int seconds, RecordingResult* result,
                     std::string* error) const;

  const Family& family_;
};

bool FamilyLayout::PrepareCard(const std::string& root, const std::string&,
                               std::string* error) const {
  std::error_code ec;
  fs::create_directories(root, ec);
  if (ec || !fs::is_directory(root)) {
    *error = "cannot create " + root + ": " + (ec ? ec.message() : "not a folder");
    return false;
  }
  return true;
}

std::vector<Camera> FamilyLayout::Cameras(const CardOptions& options,
                                          const RecordingPlan& plan) const {
  if (family_.tesla) return {Camera::kFront, Camera::kRear, Camera::kLeft, Camera::kRight};
  std::vector<Camera> cameras{Camera::kFront};
  if (family_.rear && plan.rear) cameras.push_back(Camera::kRear);
  if (family_.interior && options.interior) cameras.push_back(Camera::kInterior);
  return cameras;
}

FileKey FamilyLayout::Key(const RecordingPlan& plan, Camera camera, Container container) const {
  FileKey key;
  key.kind = KindIndex(plan.kind);
  key.clock = plan.start;
  key.ending = AddSeconds(plan.start, plan.seconds);
  key.sequence = plan.sequence;
  key.camera = camera;
  key.container = container;
  return key;
}

std::string FamilyLayout::FileName(const RecordingPlan& plan) const {
  if (!HasKind(plan.kind)) return std::string();
  return family_.path(Key(plan, Camera::kFront, Container::kMp4));
}

bool FamilyLayout::WriteEvent(const fs::path& folder, const RecordingPlan& plan,
                              const GpsFix& where, std::string* error) const {
  const DateTime t = AddSeconds(plan.start, plan.seconds);
  nlohmann::ordered_json event;
  event["timestamp"] = YmdHms(t, "%04d-%02d-%02dT%02d:%02d:%02d");
  event["city"] = kEventCity;
  event["est_lat"] = Format("%.4f", where.latitude);
  event["est_lon"] = Format("%.4f", where.longitude);
  event["reason"] = plan.kind == "PARKING" ? "sentry_aware_object_detection"
                                           : "user_interaction_dashcam_icon_tapped";
  event["camera"] = "0";
  const fs::path path = folder / "event.json";
  std::ofstream out(path, std::ios::binary);
  out << event.dump();
  out.close();
  if (!out) {
    *error = "cannot write " + path.string();
    return false;
  }
  return true;
}

bool FamilyLayout::AddTelemetry(Telemetry format, const fs::path& path, const DriveTelemetry& drive,
                                int seconds, bool cut, std::string* error) const {
  auto g = [&](int second) {
    const std::size_t k = std::size_t(second) * kGsensorPerSecond;
    return k < drive.gsensor.size() ? &drive.gsensor[k] : nullptr;
  };
  switch (format) {
    case Telemetry::kFreeGps:
    case Telemetry::kFreeGpsNewer:
    case Telemetry::kFreeGpsNmea:
    case Telemetry::kFreeGps70mai: {
      if (path.extension() == ".TS" || path.extension() == ".ts") {
        std::vector<std::vector<std::uint8_t>> records;
        for (int s = 0; s < seconds; ++s) records.push_back(TsPrivateRecord(drive, s, g(s)));
        // Private stream 2 on a PID the programme map does not list.
        return AddTsPrivatePackets(path.string(), 0x0300, 0xBF, records, error);
      }
      Mp4Additions add;
      for (int s = 0; s < seconds; ++s) add.inMedia.push_back(FreeGpsBlock(format, drive, s, g(s)));
      if (!cut) {
        const auto size = std::uint32_t(add.inMedia.empty() ? 0 : add.inMedia[0].size());
        add.moovChild = [size](const std::vector<std::uint64_t>& offsets) {
          return FreeGpsIndex(offsets, size);
        };
      }
      return AddMp4Boxes(path.string(), add, error);
    }
    case Telemetry::kBlackVue: {
      Mp4Additions add;
      add.beforeMedia = BlackVueFreeBox(drive, seconds);
      return AddMp4Boxes(path.string(), add, error);
    }
    default:
      return true;
  }
}

bool FamilyLayout::WriteSidecars(Telemetry format, const fs::path& root, const std::string& front,
                                 const DriveTelemetry& drive, int seconds, RecordingResult* result,
                                 std::string* error) const {
  std::vector<std::pair<std::string, std::string>> files;  // extension, contents
  DriveTelemetry part = drive;
  part.fixes.resize(std::min(part.fixes.size(), std::size_t(std::max(seconds, 0))));
  switch (format) {
    case Telemetry::kBlackVueSidecar: {
      const std::vector<std::uint8_t> g = BlackVue3gf(drive, seconds);
      files.push_back({".gps", BlackVueGpsLog(drive, seconds)});
      files.push_back({".3gf", std::string(g.begin(), g.end())});
      break;
    }
    case Telemetry::kNmeaSidecar:
      files.push_back({".nmea", NmeaFile(part)});
      break;
    case Telemetry::kGpxSidecar:
      files.push_back({".gpx", GpxFile(part)});
      break;
    default:
      return true;
  }
  for (const auto& [extension, contents] : files) {
    const std::string name = fs::path(front).replace_extension(extension).string();
    result->files.push_back({name, contents.size(), false});
    std::ofstream out(root / name, std::ios::binary);
    out << contents;
    out.close();
    if (!out) {
      *error = "cannot write " + (root / name).string();
      return false;
    }
    result->bytes += contents.size();
  }
  return true;
}

bool FamilyLayout::WriteRecording(const std::string& root, const CardOptions& options,
                                  const RecordingPlan& plan, RecordingResult* result,
                                  std::string* error) const {
  result->files.clear();
  if (!WriteFiles(root, options, plan, result, error)) {
    std::error_code ec;
    for (const RecordingResult::File& file : result->files)
      fs::remove(fs::path(root) / file.path, ec);
    return false;
  }
  return true;
}

bool FamilyLayout::WriteFiles(const std::string& root, const CardOptions& options,
                              const RecordingPlan& plan, RecordingResult* result,
                              std::string* error) const {
  if (!HasKind(plan.kind) || plan.seconds <= 0 || options.fps <= 0 || !Takes(options.container)) {
    *error = std::string(family_.name) + " cards hold no such recording";
    return false;
  }
  const Container container = options.container;
  const Telemetry telemetry = options.telemetry == Telemetry::kFamily
                                  ? FamilyTelemetry(family_.name, container)
                                  : options.telemetry;
  if (!ContainerCarries(container, telemetry)) {
    *error =
        std::string(family_.name) + " recordings in that container cannot carry that GPS format";
    return false;
  }
  const std::vector<Camera> cameras = Cameras(options, plan);
  std::vector<std::string> names;
  StreamFormat format;
  format.flashEveryCamera = true;
  format.camerasLateMs = options.camerasLateMs;
  // The files of the recording as they are made, so that a failure removes them all.
  format.codec = options.codec;
  format.globalHeader = container != Container::kTs;
  format.soundRate = kFamilySoundRate;
  for (Camera c : cameras) {
    names.push_back(family_.path(Key(plan, c, container)));
    const bool frontSize = c == Camera::kFront || family_.tesla;
    format.cameras.push_back(frontSize ? options.front : options.rear);
  }
  const bool sound = !family_.tesla;

  // A key picture each second, as the cameras write them.
  RecordingStreams streams(options, plan, options.fps, format);
  if (!streams.Open(error)) return false;
  AacEncoder aac;
  if (sound && !aac.Open(kFamilySoundRate, error)) return false;

  std::vector<std::unique_ptr<ContainerWriter>> writers;
  // The drive's fixes and samples, each second's record written as the pictures reach it.
  const DriveTelemetry drive = GatherTelemetry(options, plan.start, plan.seconds, &streams);
  DataTrack track;
  if (telemetry == Telemetry::kNmeaTrack || telemetry == Telemetry::kGarmin) {
    track.kind = DataTrack::kText;
    track.extradata = TextTrackStyle();
  } else if (telemetry == Telemetry::kGpmf) {
    track.kind = DataTrack::kGpmf;
  }
  const bool thinkware = std::string_view(family_.name) == "thinkware";
  auto writeData = [&](int second) {
    const std::size_t k = std::size_t(second) * kGsensorPerSecond;
    const TelemetrySample* g = k < drive.gsensor.size() ? &drive.gsensor[k] : nullptr;
    std::vector<std::uint8_t> sample;
    if (telemetry == Telemetry::kNmeaTrack) {
      const std::string cue = NmeaCue(drive, second, g, thinkware);
      sample = TextSample({cue.begin(), cue.end()});
    } else if (telemetry == Telemetry::kGarmin) {
      const std::vector<std::uint8_t> record = GarminRecord(drive.fixes[std::size_t(second)]);
      if (record.empty()) return true;  // no fix, no record
      sample = TextSample(record);
    } else if (telemetry == Telemetry::kGpmf) {
      sample = GpmfSample(drive, second);
    } else {
      return true;
    }
    return writers.empty() || writers[0]->WriteData(sample, second * 1000, 1000, error);
  };

  // The files of cameras that start late are on the front camera's clock; other cards' files
  // are each timed from their own first packet.
  auto timing = [&](std::size_t c) {
    FileTiming t;
    t.sharedClock = format.camerasLateMs > 0;
    t.lateMs = c == 0 ? 0 : format.camerasLateMs;
    return t;
  };
  for (const std::string& name : names) result->files.push_back({name, 0, false});
  for (std::size_t c = 0; c < cameras.size(); ++c) {
    const fs::path path = fs::path(root) / names[c];
    std::error_code ec;
    fs::create_directories(path.parent_path(), ec);
    if (ec) {
      *error = "cannot create " + path.parent_path().string() + ": " + ec.message();
      return false;
    }
    writers.push_back(std::make_unique<ContainerWriter>());
    if (!writers.back()->Open(path.string(), container, plan.start, streams.Encoder(int(c)),
                              options.fps, sound && c == 0 ? aac.context() : nullptr, error,
                              c == 0 ? track : DataTrack(), timing(c))) {
      return false;  // the writers made so far remove their files
    }
  }

  const int frames = plan.seconds * options.fps;
  const std::int64_t soundSamples = std::int64_t(plan.seconds) * kFamilySoundRate;
  std::int64_t soundNext = 0;
  std::vector<std::uint8_t> pcm;
  std::deque<SoundPacket> soundOut;
  // Encodes the sound up to sample `limit` and writes what comes out.
  auto writeSoundBefore = [&](std::int64_t limit) {
    if (!sound) return true;
    while (soundNext < std::min(limit, soundSamples)) {
      const int n = int(std::min<std::int64_t>(aac.FrameSamples(), soundSamples - soundNext));
      streams.Sound(soundNext, n, &pcm);
      if (!aac.Encode(soundNext, pcm, &soundOut, error)) return false;
      soundNext += n;
    }
    if (limit >= soundSamples && !aac.Drain(&soundOut, error)) return false;
    for (; !soundOut.empty(); soundOut.pop_front()) {
      if (!writers[0]->WriteSound(soundOut.front(), error)) return false;
    }
    return true;
  };
  std::vector<std::deque<AccessUnit>> pictures(cameras.size());
  std::vector<int> written(cameras.size(), 0);
  // Every camera's pictures carry the car's state at their time, as the cars write it.
  const std::uint64_t firstFrame = std::uint64_t(plan.tripOffsetSeconds) * options.fps;
  auto writePictures = [&]() {
    for (std::size_t c = 0; c < cameras.size(); ++c) {
      for (; !pictures[c].empty(); pictures[c].pop_front()) {
        if (telemetry == Telemetry::kTesla) {
          AccessUnit& au = pictures[c].front();
          const CarState state = CarStateAt(drive, streams, int(au.picture), options.fps,
                                            firstFrame, plan.kind == "PARKING");
          InsertBeforeFirstSlice(options.codec, TeslaSeiNal(options.codec, state), &au.data);
        }
        if (!writers[c]->WritePicture(pictures[c].front(), error)) return false;
        written[c]++;
      }
    }
    return true;
  };
  for (int n = 0; n < frames; ++n) {
    if (!writeSoundBefore(std::int64_t(n) * kFamilySoundRate / options.fps)) return false;
    if (n % options.fps == 0 && !writeData(n / options.fps)) return false;
    if (!streams.EncodePicture(n, &pictures, error) || !writePictures()) return false;
  }
  if (!streams.Drain(&pictures, error) || !writePictures() || !writeSoundBefore(soundSamples)) {
    return false;
  }
  for (std::size_t c = 0; c < cameras.size(); ++c) {
    if (written[c] != frames) {
      *error = names[c] + ": the encoder lost pictures";
      return false;
    }
  }
  for (auto& writer : writers) {
    if (!writer->Finish(error)) return false;
  }
  // A camera that loses power has written the records of the seconds before it alone.
  const bool cutShort = plan.cutAtFrame >= 0;
  const int recorded =
      cutShort ? std::min(plan.seconds, plan.cutAtFrame / options.fps + 1) : plan.seconds;
  if (!AddTelemetry(telemetry, fs::path(root) / names[0], drive, recorded, cutShort, error)) {
    return false;
  }

  result->bytes = 0;
  for (std::size_t c = 0; c < cameras.size(); ++c) {
    const fs::path path = fs::path(root) / names[c];
    std::error_code ec;
    std::uintmax_t size = fs::file_size(path, ec);
    const bool cut = c == 0 && plan.cutAtFrame >= 0;
    if (!ec && cut) {
      // The power goes: an MP4 or MOV file loses its index, written last, with the second half;
      // a transport stream ends in the middle of a packet.
      constexpr std::uintmax_t kTsPacket = 188;
      size =
          container == Container::kTs ? size / 2 / kTsPacket * kTsPacket + kTsPacket / 2 : size / 2;
      fs::resize_file(path, size, ec);
    }
    if (ec) {
      *error = "cannot write " + path.string() + ": " + ec.message();
      return false;
    }
    result->files[c] = {names[c], size, cut};
    result->bytes += size;
  }
  if (!WriteSidecars(telemetry, root, names[0], drive, recorded, result, error)) return false;
  if (family_.tesla && plan.kind != "REC") {
    const fs::path folder = (fs::path(root) / names[0]).parent_path();
    result->files.push_back({(fs::path(names[0]).parent_path() / "event.json").string(), 0, false});
    if (!WriteEvent(folder, plan, streams.Fix(plan.seconds), error)) return false;
    std::error_code ec;
    result->files.back().bytes = fs::file_size(folder / "event.json", ec);
  }
  result->fileName = names[0];
  result->frontPictures = frames;
  result->rearPictures = cameras.size() > 1 ? frames : 0;
  result->cutShort = plan.cutAtFrame >= 0;
  result->seconds = plan.seconds;
  return true;
}

}  // namespace

const std::vector<const CardLayout*>& FamilyLayouts() {
  static const std::vector<FamilyLayout> made(Families().begin(), Families().end());
  static const std::vector<const CardLayout*> layouts = [] {
    std::vector<const CardLayout*> all;
    for (const FamilyLayout& layout : made) all.push_back(&layout);
    return all;
  }();
  return layouts;
}

}  // namespace tools
