// One H.264 decoding context of libavcodec with a libswscale converter: decodes picture packets
// one at a time and converts the last good picture to 24-bit BGR at any size, with brightness and
// contrast applied during the conversion.
//
// Packets are untrusted. A packet that fails to decode, or decodes only with concealed damage,
// leaves the last good picture in place, and so do the pictures after it up to the next key
// picture (they are predicted from damage), so what Convert draws is always a whole picture.
#pragma once

#include <memory>
#include <vector>

struct AVCodecContext;
struct AVFrame;
struct AVPacket;
struct SwsContext;

class CFFMH264_Decoder {
 public:
  // The largest packet accepted: the size of every packet buffer of the readers.
  static constexpr int kMaxPacketBytes = 1048576;

  CFFMH264_Decoder();
  virtual ~CFFMH264_Decoder();
  CFFMH264_Decoder(const CFFMH264_Decoder&) = delete;
  CFFMH264_Decoder& operator=(const CFFMH264_Decoder&) = delete;

  // Opens the decoder (releasing an earlier one). False when FFmpeg has no H.264 decoder or it
  // cannot be opened. Brightness and contrast are kept.
  bool Init();
  // Frees the decoder, the converter and the last picture.
  void Release();
  bool IsOpen() const { return context_ != nullptr; }

  // Decodes one access unit. True when it gave a new good picture, which becomes the last good
  // one. Out of one packet comes at most one picture, with no delay.
  bool Decode(const char* data, int length);

  // Scales and converts the last good picture into `dst` (width x height BGR pixels, rows `stride`
  // bytes apart). False, with `dst` untouched, when there is no picture or the request is unusable.
  bool Convert(unsigned char* dst, int stride, int width, int height);

  // Converts a part of the last good picture, the rectangle (x, y, w x h) in the picture's pixels,
  // scaled to width x height BGR pixels into `dst`, with brightness and contrast as Convert. The
  // rectangle is kept inside the picture (and to even coordinates, as 4:2:0 colour needs); false
  // when there is no picture, the request is unusable, or the picture is not 4:2:0. For looking
  // closely at a part of a large picture without converting all of it.
  bool ConvertRegion(unsigned char* dst, int stride, int width, int height, int x, int y, int w,
                     int h);

  // Size of the last good picture; 0 by 0 before the first one.
  void GetPictureSize(int* width, int* height) const;
  bool HasPicture() const;
  // Forgets the last good picture and the decoder's reference pictures: the next picture shown is
  // one that decodes on its own (a key picture), as at the start of a recording.
  void ForgetPicture();

  // Applied to the conversion from now on, including to a converter already made.
  void SetBrightness(float brightness);
  void SetContrast(float contrast);
  float Brightness() const { return brightness_; }
  float Contrast() const { return contrast_; }

 private:
  struct ContextFree {
    void operator()(AVCodecContext* c) const;
  };
  struct FrameFree {
    void operator()(AVFrame* f) const;
  };
  struct PacketFree {
    void operator()(AVPacket* p) const;
  };
  struct SwsFree {
    void operator()(SwsContext* s) const;
  };

  // Takes whatever pictures the decoder has ready; true when a good one became the shown one.
  bool ReceivePictures();
  // (Re)makes the conversion of the last picture to width x height BGR.
  bool MakeConverter(int width, int height);
  void ResetConverter();
  void ApplyColour();

  std::unique_ptr<AVCodecContext, ContextFree> context_;
  std::unique_ptr<AVPacket, PacketFree> packet_;
  std::unique_ptr<AVFrame, FrameFree> work_;   // receives what the decoder gives
  std::unique_ptr<AVFrame, FrameFree> shown_;  // the last good picture
  // The conversion: sws_ gives BGR; with a size change of a 4:2:0 picture, scale_ first scales it
  // into scaled_ and sws_ converts from there.
  std::unique_ptr<SwsContext, SwsFree> sws_;
  std::unique_ptr<SwsContext, SwsFree> scale_;
  std::unique_ptr<AVFrame, FrameFree> scaled_;
  // The converter of ConvertRegion, made for a region and output size of its own.
  std::unique_ptr<SwsContext, SwsFree> region_;
  int regionSrc_[3] = {0, 0, -1};  // width, height, format it was made for
  int regionOut_[2] = {0, 0};
  // The packet's bytes followed by the zeroed padding the bitstream reader may read into.
  std::vector<unsigned char> buffer_;

  // Set by a damaged packet: pictures are decoded but not shown until a key picture comes.
  bool waitForKey_ = false;
  float brightness_ = 0.0f;
  float contrast_ = 1.0f;
  // What the converter was made for.
  int srcWidth_ = 0, srcHeight_ = 0, srcFormat_ = -1;
  int outWidth_ = 0, outHeight_ = 0;
};
