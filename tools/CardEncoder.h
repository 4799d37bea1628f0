// SPDX-License-Identifier: GPL-3.0-or-later
// The encoders of the sample cards' streams. H264Encoder turns drawn pictures into H.264 with
// libx264, in the shape the card readers expect: a 4-byte start code in front of every unit, a key
// picture with its parameter sets in front of it at the start of every key interval and nowhere
// else, and no timing messages; for the other families' containers it writes H.265 with libx265
// as well, its parameter sets also in the encoder's header for the muxer. SoundSynth makes the
// sound (engine hum that follows the drive's speed, road noise and the whole-second beep) as 16-bit
// PCM at the rate asked, and AacEncoder turns it into AAC-LC. Each recording's thread makes and
// uses its own; libx264 and libx265 run on that thread alone.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "tools/CardWriter.h"
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
  VideoCodec codec = VideoCodec::kH264;
  int width = 0, height = 0;
  int fps = 30;
  // Pictures from one key picture to the next; the first picture is one.
  int keyInterval = 30;
  // Constant bit rate, kbit/s; 0: constant quality instead.
  int bitrateKbps = 0;
  // High profile (CABAC, 8x8 transforms), as a camera encodes; otherwise x264's fastest
  // Constrained Baseline.
  bool high = false;
  // The parameter sets also in the encoder's header (extradata), as an MP4 or MOV muxer needs
  // them.
  bool globalHeader = false;
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

  // The open encoder, for a muxer to copy its parameters from.
  const AVCodecContext* context() const { return context_.get(); }

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
  VideoCodec codec_ = VideoCodec::kH264;
};

// Engine hum that follows the speed, road noise, and the beep at each whole second.
class SoundSynth {
 public:
  // parked: no engine hum. `rate`: samples per second, 8000 (kSoundRate) to 48000. The drive must
  // outlive the synth.
  SoundSynth(std::uint64_t seed, const TripDrive& route, bool parked, int rate = kSoundRate)
      : rng_(seed), route_(route), parked_(parked), rate_(rate) {}

  // Samples [first, first + n) as 16-bit little-endian bytes. The noise and the hum's phase run
  // on from the call before, so the samples are asked for in order.
  void Generate(std::int64_t first, int n, std::vector<std::uint8_t>* out);

 private:
  Rng rng_;
  const TripDrive& route_;
  bool parked_;
  int rate_;
  double phase_ = 0;
};

// One encoded AAC frame, its time and length in samples.
struct SoundPacket {
  std::vector<std::uint8_t> data;
  std::int64_t pts = 0;
  std::int64_t duration = 0;
};

// AAC-LC, mono, through libavcodec's own encoder, with its decoder configuration in the encoder's
// header. The first packet's time is negative: the encoder's priming samples, which a container
// cuts off so that sample 0 plays at time 0.
class AacEncoder {
 public:
  bool Open(int rate, std::string* error);
  // Samples per encoded frame; Encode takes exactly this many, but the last frame may be shorter.
  int FrameSamples() const;
  // Encodes 16-bit little-endian mono samples starting at sample `first`.
  bool Encode(std::int64_t first, const std::vector<std::uint8_t>& pcm,
              std::deque<SoundPacket>* out, std::string* error);
  bool Drain(std::deque<SoundPacket>* out, std::string* error);
  const AVCodecContext* context() const { return context_.get(); }

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
  bool Receive(std::deque<SoundPacket>* out, std::string* error);

  std::unique_ptr<AVCodecContext, CodecContextFree> context_;
  std::unique_ptr<AVFrame, FrameFree> frame_;
  std::unique_ptr<AVPacket, PacketFree> packet_;
};

}  // namespace tools
