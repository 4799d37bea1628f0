// SPDX-License-Identifier: GPL-3.0-or-later
// The layout of the RE-2CH camera's card. <root>/VEX holds the recordings, named
// KIND_YYYYMMDD_HHMMSS[_D].vex after the camera's clock at their first picture (_D: with the rear
// camera), and <root>/SETTING/blackbox.cfg the camera's settings text with CR LF line ends. A
// recording (vexlib/VexWriter.h) holds its pictures in blocks of vex::kFramesPerBlock, each
// opening with a key picture, and between them, in time order, the sound in packets of 240 ms, a
// GPS fix each second ('G' and an NMEA sentence) and the G-sensor samples ('M' and a byte per
// axis). A camera that loses power leaves the block it was gathering half written and no index.
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "tools/CardEncoder.h"
#include "tools/CardLayout.h"
#include "tools/RecordingStreams.h"
#include "vexlib/VexFormat.h"
#include "vexlib/VexWriter.h"

namespace tools {

namespace {

namespace fs = std::filesystem;

// Sound (kSoundRate, 16-bit mono) is written in packets of 1920 samples (3840 bytes, 240 ms).
constexpr int kSoundPacketSamples = 1920;
constexpr int kSoundPacketMs = kSoundPacketSamples * 1000 / kSoundRate;

// Every 30th picture is a key picture, so that each block of the layout starts with one.
constexpr int kKeyInterval = vex::kFramesPerBlock;

class VexCardLayout final : public CardLayout {
 public:
  std::string Name() const override { return "vex"; }
  bool HasKind(const std::string&) const override { return true; }
  // The layout is its own container; MP4 stands for "no choice made".
  bool Takes(Container container) const override { return container == Container::kMp4; }
  bool PrepareCard(const std::string& root, const std::string& settingsText,
                   std::string* error) const override;
  std::string FileName(const RecordingPlan& plan) const override;
  bool WriteRecording(const std::string& root, const CardOptions& options,
                      const RecordingPlan& plan, RecordingResult* result,
                      std::string* error) const override;
};

bool VexCardLayout::PrepareCard(const std::string& root, const std::string& settingsText,
                                std::string* error) const {
  std::error_code ec;
  for (const char* sub : {"VEX", "SETTING"}) {
    fs::path dir = fs::path(root) / sub;
    fs::create_directories(dir, ec);
    if (ec || !fs::is_directory(dir)) {
      *error = "cannot create " + dir.string() + ": " + (ec ? ec.message() : "not a folder");
      return false;
    }
  }
  std::string text;
  for (char c : settingsText) {
    if (c == '\r') continue;
    if (c == '\n') text += '\r';
    text += c;
  }
  fs::path path = fs::path(root) / "SETTING" / "blackbox.cfg";
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) {
    *error = "cannot write " + path.string() + ": " + std::strerror(errno);
    return false;
  }
  bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  ok = (std::fclose(f) == 0) && ok;
  if (!ok) *error = "cannot write " + path.string();
  return ok;
}

std::string VexCardLayout::FileName(const RecordingPlan& plan) const {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%s_%04d%02d%02d_%02d%02d%02d%s.vex", plan.kind.c_str(),
                plan.start.year, plan.start.month, plan.start.day, plan.start.hour,
                plan.start.minute, plan.start.second, plan.rear ? "_D" : "");
  return buf;
}

bool VexCardLayout::WriteRecording(const std::string& root, const CardOptions& options,
                                   const RecordingPlan& plan, RecordingResult* result,
                                   std::string* error) const {
  const int fps = options.fps;
  const int frames = plan.seconds * fps;
  const bool cut = plan.cutAtFrame >= 0 && plan.cutAtFrame < frames;
  const int lastFrame = cut ? plan.cutAtFrame : frames;
  const std::uint32_t durationMs = std::uint32_t(plan.seconds) * 1000;
  const fs::path path = fs::path(root) / "VEX" / FileName(plan);

  vex::Header header;
  header.frontRate = fps;
  header.rearRate = plan.rear ? fps : 0;
  header.frontWidth = options.front.width;
  header.frontHeight = options.front.height;
  if (plan.rear) {
    header.rearWidth = options.rear.width;
    header.rearHeight = options.rear.height;
  }
  header.audioRate = kSoundRate;
  header.audioBits = 16;
  header.audioChannels = 1;
  header.model = "RE-2CH";
  header.firmware = "1.0.0";

  RecordingStreams streams(options, plan, kKeyInterval);
  if (!streams.Open(error)) return false;

  vex::VexWriter writer;
  if (!writer.Open(path.string(), header)) {
    *error = "cannot create " + path.string() + ": " + std::strerror(errno);
    return false;
  }
  auto fail = [&](const std::string& what) {
    writer.Abandon();
    std::error_code ec;
    fs::remove(path, ec);
    *error = path.filename().string() + ": " + what;
    return false;
  };

  // Sound, GPS fixes and G-sensor samples, each with the time of its next packet.
  std::int64_t soundPacket = 0;
  int gpsSecond = 0, gsensorSample = 0;
  std::vector<std::uint8_t> pcm;
  // Writes, in time order, every sound and text packet due before `limitMs`. At equal times sound
  // goes first, then the GPS fix, then the G-sensor sample.
  auto writeOthersBefore = [&](std::uint32_t limitMs) {
    for (;;) {
      std::uint32_t tSound = std::uint32_t(soundPacket * kSoundPacketMs);
      std::uint32_t tGps = std::uint32_t(gpsSecond) * 1000;
      std::uint32_t tG = std::uint32_t(gsensorSample) * (1000 / kGsensorPerSecond);
      bool soundDue = tSound < limitMs && tSound < durationMs;
      bool gpsDue = tGps < limitMs && gpsSecond < plan.seconds;
      bool gDue =
          options.gsensor && tG < limitMs && gsensorSample < plan.seconds * kGsensorPerSecond;
      if (soundDue && (!gpsDue || tSound <= tGps) && (!gDue || tSound <= tG)) {
        streams.Sound(soundPacket * kSoundPacketSamples, kSoundPacketSamples, &pcm);
        if (!writer.AddPacket(0, vex::kTypeSound, pcm.data(), std::uint32_t(pcm.size()), tSound)) {
          return false;
        }
        soundPacket++;
      } else if (gpsDue && (!gDue || tGps <= tG)) {
        const GpsFix fix = streams.Fix(gpsSecond);
        const bool fixed = options.gpsFix && gpsSecond >= options.gpsLostSeconds;
        const std::string text = fixed ? GpsRecord(fix.utc, fix.latitude, fix.longitude, fix.kmh,
                                                   fix.course, options.gpsSpeedField)
                                       : VoidGpsRecord(fix.utc);
        if (!writer.AddPacket(0, vex::kTypeText, text.data(), std::uint32_t(text.size()), tGps)) {
          return false;
        }
        gpsSecond++;
      } else if (gDue) {
        const std::array<std::uint8_t, 3> axes = streams.Gsensor(gsensorSample);
        const std::array<std::uint8_t, 4> sample{'M', axes[0], axes[1], axes[2]};
        if (!writer.AddPacket(0, vex::kTypeText, sample.data(), std::uint32_t(sample.size()), tG)) {
          return false;
        }
        gsensorSample++;
      } else {
        return true;
      }
    }
  };

  auto pictureTime = [&](std::int64_t n) { return std::uint32_t(n * 1000 / fps); };
  std::deque<AccessUnit> frontOut, rearOut;
  // Writes the pictures that came out of the encoders, each front picture before the rear one of
  // the same instant.
  auto writePictures = [&]() {
    for (auto* q : {&frontOut, &rearOut}) {
      std::uint8_t channel = q == &frontOut ? 0 : 1;
      for (; !q->empty(); q->pop_front()) {
        const AccessUnit& au = q->front();
        if (!writer.AddPacket(channel, au.key ? vex::kTypeKeyPicture : vex::kTypePicture,
                              au.data.data(), std::uint32_t(au.data.size()),
                              pictureTime(au.picture))) {
          return false;
        }
      }
    }
    return true;
  };

  for (int n = 0; n < lastFrame; ++n) {
    if (!writeOthersBefore(pictureTime(n))) return fail("write error");
    if (!streams.EncodePicture(n, &frontOut, &rearOut, error)) return fail(*error);
    if (!writePictures()) return fail("write error");
  }

  result->fileName = FileName(plan);
  result->frontPictures = int(writer.header().frontCount);
  result->rearPictures = int(writer.header().rearCount);
  result->cutShort = cut;
  if (cut) {
    // The power goes: what the camera had gathered of the current block is half on the card.
    writer.Abandon(true);
  } else {
    if (!streams.Drain(&frontOut, &rearOut, error)) return fail(*error);
    if (!writePictures() || !writeOthersBefore(durationMs)) return fail("write error");
    result->frontPictures = int(writer.header().frontCount);
    result->rearPictures = int(writer.header().rearCount);
    if (result->frontPictures != frames || (plan.rear && result->rearPictures != frames)) {
      return fail("the encoder lost pictures");
    }
    if (!writer.Close()) {
      std::error_code ec;
      fs::remove(path, ec);
      *error = "cannot write " + path.string();
      return false;
    }
  }
  std::error_code ec;
  result->bytes = fs::file_size(path, ec);
  result->seconds = double(result->frontPictures) / fps;
  return true;
}

}  // namespace

const CardLayout& VexLayout() {
  static const VexCardLayout layout;
  return layout;
}

}  // namespace tools
