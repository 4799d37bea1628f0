// Reading a recording's GPS track ahead of playback: ReadRecordingTrack (and with the G-sensor
// samples, ReadRecordingTelemetry) of a one-hour two-camera recording with 3,600 fixes, beside
// the card library's full reading of the same file keeping only its text packets.
//
//   roadeye-track_bench [google benchmark flags]
//
// The setup writes the recording with the card library's writer into a temporary folder (removed
// at the end): front pictures at about 2 Mbit/s (a key picture each second four times the size of
// the others), the rear at a third of that, 3840-byte sound packets every 240 ms, a GPS fix each
// second and ten G-sensor samples a second, 1.2 GB in all. Pictures are random bytes: only their
// records are read. Argument 1 drops the file from the page cache before each pass (the reads
// then come from the disk); 0 reads from the page cache.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "media/MediaTypes.h"
#include "telemetry/TrackReader.h"
#include "vexlib/VexWriter.h"
#include "vexlib/vexlib.h"

namespace fs = std::filesystem;

namespace {

constexpr int kSeconds = 3600;
constexpr int kFps = 30;
constexpr std::uint32_t kFrontBytesPerSecond = 2000000 / 8;  // 2 Mbit/s
constexpr std::uint32_t kSoundBytes = 3840;                  // 240 ms of 8000 Hz 16-bit
constexpr int kSoundMs = 240;
constexpr int kSamplesPerSecond = 10;

std::string gRoot;  // the card folder
const char* const kName = "REC_20240612_100000_D.avi";

// An NMEA checksum: XOR of the characters between '$' and '*'.
unsigned Checksum(const char* sentence) {
  unsigned sum = 0;
  for (const char* p = sentence + 1; *p != '\0' && *p != '*'; ++p) sum ^= unsigned(*p);
  return sum;
}

// Fix `second` of a drive north-east from Seoul City Hall at about 60 km/h; the clock starts at
// 01:00:00 UTC so that the hour stays in one day.
std::string GpsRecord(int second) {
  const double lat = 37.5660 + second * 0.00012, lon = 126.9780 + second * 0.00012;
  auto nmea = [](double degrees, bool longitude) {
    const int whole = int(degrees);
    char out[32];
    std::snprintf(out, sizeof out, longitude ? "%03d%07.4f" : "%02d%07.4f", whole,
                  (degrees - whole) * 60);
    return std::string(out);
  };
  char body[128];
  std::snprintf(body, sizeof body, "$GPRMC,%02d%02d%02d.000,A,%s,N,%s,E,32.4,45.0,120624,,,A",
                1 + second / 3600, second / 60 % 60, second % 60, nmea(lat, false).c_str(),
                nmea(lon, true).c_str());
  char record[160];
  std::snprintf(record, sizeof record, "G%s*%02X\r\n", body, Checksum(body));
  return record;
}

bool WriteHourRecording(const std::string& path) {
  vex::Header h;
  h.frontRate = kFps;
  h.rearRate = kFps;
  h.frontWidth = 1280;
  h.frontHeight = 720;
  h.rearWidth = 640;
  h.rearHeight = 360;
  h.model = "RE-2CH";
  h.firmware = "1.0.0";
  vex::VexWriter w;
  if (!w.Open(path, h)) return false;
  // Slices of one block of random bytes stand for the pictures and the sound.
  std::vector<std::uint8_t> noise(1 << 20);
  std::mt19937 rng(7);
  for (auto& b : noise) b = std::uint8_t(rng());
  // Per second: one key picture of four shares and 29 others of one share each.
  const std::uint32_t share = kFrontBytesPerSecond / (kFps + 3);
  std::int64_t soundAt = 0;
  int sample = 0;
  for (int frame = 0; frame < kSeconds * kFps; ++frame) {
    const std::uint32_t ms = std::uint32_t(std::int64_t(frame) * 1000 / kFps);
    const bool key = frame % kFps == 0;
    const std::uint8_t type = key ? vex::kTypeKeyPicture : vex::kTypePicture;
    const std::uint32_t front = (key ? 4 * share : share) + rng() % 512;
    const std::uint32_t rear = front / 3;
    const std::size_t at = rng() % (noise.size() - front);
    if (!w.AddPacket(0, type, noise.data() + at, front, ms) ||
        !w.AddPacket(1, type, noise.data() + at, rear, ms)) {
      return false;
    }
    for (; soundAt * kSoundMs <= ms; ++soundAt) {
      if (!w.AddPacket(0, vex::kTypeSound, noise.data() + soundAt % 4096, kSoundBytes,
                       std::uint32_t(soundAt * kSoundMs))) {
        return false;
      }
    }
    if (key) {
      const std::string fix = GpsRecord(frame / kFps);
      if (!w.AddPacket(0, vex::kTypeText, fix.data(), std::uint32_t(fix.size()), ms)) return false;
    }
    for (; sample * (1000 / kSamplesPerSecond) <= int(ms); ++sample) {
      const std::uint8_t m[4] = {'M', std::uint8_t(128 + sample % 5), 128, 120};
      if (!w.AddPacket(0, vex::kTypeText, m, 4, std::uint32_t(sample * 100))) return false;
    }
  }
  return w.Close();
}

std::string RecordingFile() {
  return gRoot + "/VEX/" + std::string(kName).substr(0, std::string(kName).size() - 4) + ".vex";
}

bool Evict() {
  const int fd = open(RecordingFile().c_str(), O_RDONLY);
  if (fd < 0) return false;
  const bool ok = posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED) == 0;
  close(fd);
  return ok;
}

void EvictWhenAsked(benchmark::State& state) {
  if (!state.range(0)) return;
  state.PauseTiming();
  Evict();
  state.ResumeTiming();
}

VexHandle StartLibrary() {
  VexHandle lib = VexStart();
  VexInitialise(lib, gRoot.c_str());
  char drive = 0;
  VexCardPoll(lib, &drive);
  VexCardAttach(lib);
  return lib;
}

void BM_ReadRecordingTrack(benchmark::State& state) {
  VexHandle lib = StartLibrary();
  int points = 0;
  for (auto _ : state) {
    EvictWhenAsked(state);
    Track track;
    if (ReadRecordingTrack(lib, kName, &track, nullptr) != TrackReadResult::kOk) {
      state.SkipWithError("the track could not be read");
      break;
    }
    points = track.PointCount();
  }
  if (points != kSeconds) state.SkipWithError("not every fix was read");
  state.counters["fixes"] = points;
  VexRelease(lib);
}

void BM_ReadRecordingTelemetry(benchmark::State& state) {
  VexHandle lib = StartLibrary();
  std::size_t samples = 0;
  for (auto _ : state) {
    EvictWhenAsked(state);
    RecordingTelemetry t;
    if (ReadRecordingTelemetry(lib, kName, &t, nullptr) != TrackReadResult::kOk) {
      state.SkipWithError("the telemetry could not be read");
      break;
    }
    samples = t.gsensor.size();
  }
  state.counters["samples"] = double(samples);
  VexRelease(lib);
}

// What reading the track cost before the text scan: the library's stream, every payload read.
void BM_FullStreamTextOnly(benchmark::State& state) {
  VexHandle lib = StartLibrary();
  std::vector<std::uint8_t> buf(kPacketBufferSize);
  int texts = 0;
  for (auto _ : state) {
    EvictWhenAsked(state);
    const int id = VexSelectByName(lib, kVexContinuous, kName);
    if (VexOpenStream(lib, kVexContinuous, 0, id) != 1) {
      state.SkipWithError("cannot open the recording");
      break;
    }
    texts = 0;
    for (;;) {
      std::uint8_t channel, type, flags;
      int size = kPacketBufferSize;
      std::int32_t ms;
      if (VexReadPacket(lib, &channel, &type, &flags, &size, buf.data(), &ms) != kVexReadOk) break;
      texts += type == vex::kTypeText;
    }
  }
  state.counters["texts"] = texts;
  VexRelease(lib);
}

BENCHMARK(BM_ReadRecordingTrack)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadRecordingTelemetry)->Arg(0)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FullStreamTextOnly)->Arg(0)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  std::string pattern = (fs::temp_directory_path() / "roadeye-track-bench-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) {
    std::fprintf(stderr, "cannot make a temporary folder\n");
    return 1;
  }
  gRoot = pattern;
  fs::create_directories(gRoot + "/VEX");
  std::fprintf(stderr, "writing a one-hour recording into %s\n", gRoot.c_str());
  const bool written = WriteHourRecording(RecordingFile());
  if (written) {
    std::fprintf(stderr, "%.0f MB\n", double(fs::file_size(RecordingFile())) / 1e6);
    benchmark::RunSpecifiedBenchmarks();
  } else {
    std::fprintf(stderr, "cannot write the recording\n");
  }
  std::error_code ec;
  fs::remove_all(gRoot, ec);
  benchmark::Shutdown();
  return written ? 0 : 1;
}
