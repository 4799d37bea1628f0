// SPDX-License-Identifier: GPL-3.0-or-later
// The video decoder of the two cameras: for channel 0 (front) and 1 (rear) an H.264 decoder and a
// display image. A picture packet is decoded, converted to 24-bit RGB at the surface's current
// size, flipped as asked and presented; the last good picture can be shown again at a new size and
// saved at its own size.
//
// Pictures shown are always whole: before a channel's first good picture it shows black, and a
// packet that fails to decode leaves the last good picture on show.
//
// Threads: the engine's worker decodes and draws; the window thread sets brightness, contrast and
// flip and (through the engine) redraws and saves. One lock serialises all of it, the surface's
// Present included, so a channel's decoder and image are never used by two threads at once.
#pragma once

#include <atomic>
#include <string>

#include "platform/Threads.h"
#include "playback/CFFMH264_Decoder.h"
#include "playback/VMediaDecoder.h"
#include "support/LumImg.h"

// True when a file name ends in ".jpg", ".jpeg" or ".jpe" (letters in either case): the only type
// of picture file the decoder writes.
bool IsJpegName(const char* path);

class CDecoder final : public VMediaDecoder {
 public:
  // Flip modes of SetFlipMode.
  enum FlipMode { kFlipNone = 0, kFlipUpsideDown = 1, kFlipBoth = 2, kFlipMirror = 3 };

  CDecoder();
  ~CDecoder();
  CDecoder(const CDecoder&) = delete;
  CDecoder& operator=(const CDecoder&) = delete;

  // Decoding threads of each channel's decoder from the next Init: 2 (pictures decoded in
  // parallel) where the computer has two cores or more, else 1.
  void SetThreads(int threads);
  static int DefaultThreads();
  // From the next Init, only pictures of more than `pixels` pixels decode with those threads;
  // smaller ones decode on one thread, which keeps up with them and holds fewer pictures. By
  // default pictures larger than 1920x1080; 0: every picture.
  void SetFrameThreadsAbove(int pixels);
  static constexpr int kFrameThreadsAbove = 1920 * 1080;
  // How each channel's decoder decodes from the next Init: kAuto (the default) on the graphics
  // card where the computer has one, else in software; kSoftware in software only. `factory`
  // stands in for the computer's hardware paths (tests).
  void SetDecoderChoice(DecoderChoice choice, HardwarePathFactory factory = nullptr);
  // What decodes, for the viewer's diagnostics: "VA-API", "software", or under kAuto "software
  // (why no hardware)"; the two cameras' when they differ ("VA-API (front), software (rear)").
  std::string DecoderName() const;
  // Opens both channels' decoders (brightness and contrast carried over). Always true; a channel
  // whose decoder could not be opened decodes nothing and shows black.
  bool Init() override;
  void Release() override;
  bool DecodeAndShow(int channel, VideoSurface* surface, const char* data, int length,
                     bool draw) override;
  bool DecodeUnseen(int channel, VideoSurface* surface, const char* data, int length) override;
  void DecodeAhead(int channel, const char* data, int length) override;
  bool Redraw(int channel, VideoSurface* surface) override;
  void SetContrast(int channel, int value) override;
  void SetBrightness(int channel, int value) override;
  void SetFlipMode(int channel, int mode) override;
  bool SavePicture(int channel, const char* path) override;
  bool SavePicture(int channel, const char* path, const SnapshotEvidence* evidence) override;
  bool PictureSize(int channel, int* width, int* height) override;
  bool CopyRegion(int channel, int x, int y, int w, int h, unsigned char* dst, int stride,
                  int width, int height) override;

  // Forgets both channels' last pictures: they show black until the next good picture. For the
  // start of a new recording.
  void ResetPictures() override;
  // Opens the channel's decoder again for the other coding (its picture goes with it).
  void SetCodec(int channel, VideoCodec codec) override;

  // The values in use for a channel (clamped as the setters are).
  float Contrast(int channel) const;
  float Brightness(int channel) const;
  int FlipModeOf(int channel) const;
  // Size of the channel's last good picture; 0 by 0 before one.
  void GetPictureSize(int channel, int* width, int* height) const;

 private:
  struct Channel {
    CFFMH264_Decoder decoder;
    CLumImgTempl<unsigned char, 8> display;
    std::atomic<int> flip{kFlipNone};
    float brightness = 0.0f;
    float contrast = 1.0f;
  };

  static int Clamp(int channel) { return channel <= 0 ? 0 : 1; }
  // Converts the channel's last picture into its display image at width x height (black when
  // there is none), flips it and presents it. Called with the lock held.
  bool ShowLocked(Channel& ch, VideoSurface* surface, int width, int height);

  mutable CSync lock_{"none"};
  Channel channels_[2];
  int threads_ = DefaultThreads();
  int frameThreadsAbove_ = kFrameThreadsAbove;
  DecoderChoice choice_ = DecoderChoice::kAuto;
  HardwarePathFactory factory_;
};
