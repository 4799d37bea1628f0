// SPDX-License-Identifier: GPL-3.0-or-later
// Hardware decoding of the cameras' H.264 through FFmpeg's hardware acceleration: VA-API (Intel,
// AMD and others on Linux) first, then CUDA where an NVIDIA card is present. A HardwarePath is one
// libavcodec H.264 context whose pictures are decoded on a device and copied back to system memory
// (NV12 as a rule, which the decoder's converter takes), so that what comes out of it looks like
// what the software decoder gives.
//
// The decoder asks a HardwarePathFactory for its path when it is opened: the computer's own
// (OpenHardwarePath) in the program, a stand-in in tests. A path that does not open leaves the
// decoder in software; one that fails later is replaced by software by the decoder itself.
//
// Threads: a path is used by one thread at a time (its decoder's). The devices are opened once per
// process and shared by all paths; opening them is serialised inside.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

struct AVFrame;
struct AVPacket;

// Which decoder the viewer uses: plain software, or hardware where the computer has it.
enum class DecoderChoice { kSoftware, kAuto };

// "software" or "auto"; false, with `choice` untouched, for anything else.
bool ParseDecoderChoice(std::string_view text, DecoderChoice* choice);
const char* DecoderChoiceName(DecoderChoice choice);

// One H.264 decoding path other than the plain software context.
class HardwarePath {
 public:
  virtual ~HardwarePath() = default;
  // What it decodes on, for the viewer's diagnostics: "VA-API", "CUDA".
  virtual const char* Name() const = 0;
  // avcodec_send_packet's contract: 0 when taken, AVERROR(EAGAIN) when pictures must be received
  // first; a packet the stream damaged gives what the software decoder gives for it (see
  // IsStreamDamage); any other negative value is a fault of the path.
  virtual int Send(const AVPacket* packet) = 0;
  // avcodec_receive_frame's contract, with the picture in system memory and carrying the
  // decoder's properties (key picture, damage flags). AVERROR(EAGAIN) when none is ready; any
  // other negative value is a fault of the path (a picture that could not be copied back).
  virtual int Receive(AVFrame* picture) = 0;
  // Drops every picture and reference inside, as avcodec_flush_buffers.
  virtual void Flush() = 0;
};

// True when an error of Send or Receive is the stream's own damage, which the decoder treats as
// the software decoder's (the parsing of the stream is FFmpeg's own on either path); false for a
// fault of the path, after which the decoder goes on in software.
bool IsStreamDamage(int averror);

// Makes a hardware path: null, with `reason` (when not null) saying why, when none opens.
using HardwarePathFactory = std::function<std::unique_ptr<HardwarePath>(std::string* reason)>;

// The computer's own: VA-API first, then CUDA. The reason names each device tried and why it did
// not open ("VA-API: no render node in /dev/dri; CUDA: no NVIDIA driver loaded"). codecId:
// libavcodec's id of the pictures' coding (27 H.264, 173 H.265).
inline constexpr int kHardwareH264 = 27;
inline constexpr int kHardwareH265 = 173;
std::unique_ptr<HardwarePath> OpenHardwarePath(std::string* reason, int codecId = kHardwareH264);

// A path on one kind of device, by FFmpeg's name ("vaapi", "cuda"), on the named device (a DRM
// render node for VA-API, a card number for CUDA; null for the first), opened each call and not
// shared. For tests and diagnostics.
std::unique_ptr<HardwarePath> OpenHardwarePathOn(const char* type, const char* device,
                                                 std::string* reason, int codecId = kHardwareH264);
