// SPDX-License-Identifier: GPL-3.0-or-later
// The encoders of the sample cards' streams. H264Encoder turns drawn pictures into H.264 with
// libx264, in the shape the card readers expect: a 4-byte start code in front of every unit, a key
// picture with its parameter sets in front of it at the start of every key interval and nowhere
// else, and no timing messages. SoundSynth makes the sound (engine hum that follows the drive's
// speed, road noise and the whole-second beep) as 16-bit PCM. Each recording's thread makes and
// uses its own; libx264 runs on that thread alone.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "tools/Picture.h"
#include "tools/Rng.h"

struct AVCodecContext;
struct AVFrame;
struct AVPacket;

namespace tools {

class TripDrive;

// Sound: 8000 Hz 16-bit mono.
inline constexpr int kSoundRate = 8000;

// One encoded picture: its NAL units, each behind a 4-byte start code.
struct AccessUnit {
  std::vector<std::uint8_t> data;
  bool key = false;
  std::int64_t picture = 0;  // number of the picture it encodes
};

struct H264Settings {
  int width = 0, height = 0;
  int fps = 30;
  // Pictures from one key picture to the next; the first picture is one.
  int keyInterval = 30;
  // Constant bit rate, kbit/s; 0: constant quality instead.
  int bitrateKbps = 0;
  // High profile (CABAC, 8x8 transforms), as a camera encodes; otherwise x264's fastest
  // Constrained Baseline.
  bool high = false;
};

class H264Encoder {
 public:
  // On failure fills *error and returns false.
  bool Open(const H264Settings& settings, std::string* error);

  // A writable picture to draw the next frame into.
  bool NextPicture(Picture* p, std::string* error);

  // Encodes the drawn picture as picture number `n` and collects what comes out.
  bool Encode(std::int64_t n, std::deque<AccessUnit>* out, std::string* error);

  // Flushes the encoder at the end of the recording.
  bool Drain(std::deque<AccessUnit>* out, std::string* error);

 private:
  struct CodecContextFree {
    void operator()(AVCodecContext* c) const;
  };
  struct FrameFree {
    void operator()(AVFrame* f) const;
  };
  struct PacketFree {
    void operator()(AVPacket* p) const;
  };

  bool Receive(std::deque<AccessUnit>* out, std::string* error);
  static void DropTimingUnits(std::vector<std::uint8_t>* data);
  bool Check(const AccessUnit& au, std::string* error) const;

  std::unique_ptr<AVCodecContext, CodecContextFree> context_;
  std::unique_ptr<AVFrame, FrameFree> frame_;
  std::unique_ptr<AVPacket, PacketFree> packet_;
  int keyInterval_ = 30;
};

// Engine hum that follows the speed, road noise, and the beep at each whole second.
class SoundSynth {
 public:
  // parked: no engine hum. The drive must outlive the synth.
  SoundSynth(std::uint64_t seed, const TripDrive& route, bool parked)
      : rng_(seed), route_(route), parked_(parked) {}

  // Samples [first, first + n) as 16-bit little-endian bytes. The noise and the hum's phase run
  // on from the call before, so the samples are asked for in order.
  void Generate(std::int64_t first, int n, std::vector<std::uint8_t>* out);

 private:
  Rng rng_;
  const TripDrive& route_;
  bool parked_;
  double phase_ = 0;
};

}  // namespace tools
