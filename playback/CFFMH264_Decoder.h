// SPDX-License-Identifier: GPL-3.0-or-later
// One H.264 decoding context of libavcodec with a libswscale converter: decodes picture packets
// one at a time and converts the last good picture to 24-bit RGB or BGR at any size, with
// brightness and contrast applied during the conversion.
//
// With more than one thread the context decodes pictures in parallel (libavcodec's frame threads),
// which holds each picture back until the next packet has been given. The caller names that next
// packet beforehand (SendAhead), so that Decode still returns the packet's own picture. Without it
// (the last picture of a stream, a single picture shown) Decode drains the context to have the
// picture, and the next Decode gives the context the packets since the last key picture again,
// unseen, before its own: the decoder keeps references to them (no copy) for that.
//
// Packets are untrusted. A packet that fails to decode, or decodes only with concealed damage,
// leaves the last good picture in place, and so do the pictures after it up to the next key
// picture (they are predicted from damage), so what Convert draws is always a whole picture.
//
// With DecoderChoice::kAuto the pictures are decoded on the graphics card where a hardware path
// opens (VA-API, CUDA), one picture out of each packet as with one thread, and copied back to
// system memory (NV12) for the same conversion. A path that fails while decoding (an error of the
// device, not the stream's own damage) is replaced at once by the software context: the packets
// since the last key picture are given to it again, unseen, and the failed packet's picture comes
// out of it, so that no picture is lost or shown twice.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "media/MediaTypes.h"
#include "playback/HardwareDecoding.h"

struct AVCodecContext;
struct AVCodecParserContext;
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

  // The order of the three bytes of a converted pixel.
  enum class PixelOrder { kRgb, kBgr };

  // Opens the decoder (releasing an earlier one) with `threads` decoding threads (1: on the
  // calling thread alone, with no delay). False when FFmpeg has no H.264 decoder or it cannot be
  // opened. Brightness and contrast are kept.
  bool Init(int threads = 1);
  // Frees the decoder, the converter and the last picture.
  void Release();
  bool IsOpen() const { return context_ != nullptr || hardware_ != nullptr; }

  // How the next Init decodes: kSoftware (the default) or kAuto, hardware where `factory` (null:
  // the computer's own, OpenHardwarePath) gives a path.
  void SetChoice(DecoderChoice choice, HardwarePathFactory factory = nullptr);
  // True while the pictures are decoded on a hardware path.
  bool UsingHardware() const { return hardware_ != nullptr; }
  // What decodes: the path's name ("VA-API") or "software".
  const char* DecoderName() const;
  // Why kAuto decodes in software: no path opened (the factory's reason), or the path failed
  // ("VA-API failed: ..."). Empty otherwise.
  const std::string& HardwareReason() const { return hardwareReason_; }

  // Decodes one access unit. True when it gave a new good picture, which becomes the last good
  // one. Out of one packet comes at most one picture, its own, on return; without `needPicture`
  // (a picture that only leads up to another) it may come at a later call, or be passed over.
  // The coding of the pictures from the next one on (H.264 until told otherwise); an open decoder
  // opens again for it. False when it could not.
  bool SetCodec(VideoCodec codec);
  VideoCodec Codec() const { return codec_; }

  bool Decode(const char* data, int length, bool needPicture = true);
  // Names the packet that follows the one the next Decode call is given, so that with several
  // threads that picture is not held back. When the next Decode's own packet is already with the
  // context (named at the Decode before), the named one goes in at once and has until its own
  // Decode call to be decoded. Nothing happens with one thread; when the next Decode turns out to
  // be for another packet, the named one's picture is passed over.
  void SendAhead(const char* data, int length);
  // Pictures of more than `pixels` pixels decode with Init's threads, smaller ones on one thread
  // (0, the default: every picture with Init's threads). libavcodec keeps a set of pictures and
  // tables for each thread, and one thread decodes a 1920x1080 camera picture in a fraction of
  // its frame period. The count follows the size the stream's parameter sets give, at each key
  // picture given to Decode; a key picture that would change it is not given ahead.
  void SetFrameThreadsAbove(int pixels) { frameThreadsAbove_ = pixels; }
  // The threads of the software context now open.
  int Threads() const { return threads_; }

  // Scales and converts the last good picture into `dst` (width x height pixels of three bytes in
  // `order`, rows `stride` bytes apart). False, with `dst` untouched, when there is no picture or
  // the request is unusable.
  bool Convert(unsigned char* dst, int stride, int width, int height,
               PixelOrder order = PixelOrder::kRgb);

  // Converts a part of the last good picture, the rectangle (x, y, w x h) in the picture's pixels,
  // scaled to width x height RGB pixels into `dst`, with brightness and contrast as Convert. The
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
  struct ParserFree {
    void operator()(AVCodecParserContext* p) const;
  };

  // A packet given to the context: a reference to its bytes (with the zeroed padding the
  // bitstream reader may read into) and its number, which its picture carries as time stamp.
  using PacketRef = std::unique_ptr<AVPacket, PacketFree>;
  // The packet's bytes in a buffer of its own; null when memory cannot be had.
  static PacketRef MakePacket(const char* data, int length);
  static bool SameBytes(const AVPacket* a, const char* data, int length);
  // Gives the packet to the context under the next number (in *serial) and keeps a reference to
  // it for replay. False when the context refused it (damage). A key picture given ahead starts
  // a new block but keeps the old one until its Decode call confirms it.
  bool Send(const AVPacket* packet, bool key, bool ahead, std::int64_t* serial);
  // Takes the pictures the context has ready, up to the one numbered `wanted` (*got tells whether
  // it came); pictures numbered before it are looked at for damage and passed over. True when
  // `wanted` gave a good picture, which became the shown one.
  bool ReceiveUpTo(std::int64_t wanted, bool* got);
  // Takes the pictures the context has ready, looking at them for damage only.
  void PassOver();
  void ForgetBlock();
  // Looks at a decoded picture (in work_): damage, and whether it may be shown.
  bool TakePicture(bool show);
  // After a drain the context takes no packet until flushed; flushing drops its reference
  // pictures, so the packets since the last key picture are given again, their pictures unseen.
  void Resume(bool nextIsKey);
  // (Re)makes the conversion of the last picture to width x height in `order`.
  bool MakeConverter(int width, int height, PixelOrder order);
  void ResetConverter();
  void ResetRegion();
  // Opens the software context with threads_ threads.
  bool OpenSoftware();
  int CodecId() const;  // libavcodec's id of codec_
  // The picture size (pixels) above which pictures of codec_ decode with the threads allowed.
  long long FrameThreadsAbove() const;
  // The threads a key picture's stream is to be decoded with (see SetFrameThreadsAbove).
  int ThreadsFor(const AVPacket* key);
  // Before a key picture given to Decode: opens the context again with ThreadsFor's count when
  // it differs (nothing is in flight then, and a key picture needs nothing before it).
  void MatchThreadsTo(const AVPacket* key);
  // Decode's work on whichever decoder is in use.
  bool DecodeHere(const char* data, int length, bool needPicture);
  // The decoder in use, the hardware path while it works: avcodec_send_packet's and
  // avcodec_receive_frame's contracts. A fault of the path is noted (hardwareFault_) and hidden
  // from the caller as a packet taken with no picture ready, so that it is not taken for damage.
  int SendToDecoder(const AVPacket* packet);
  int ReceiveFromDecoder(AVFrame* picture);
  void FlushDecoder();
  // After a fault of the path: the software context takes over from the last key picture and
  // decodes the packet the path failed on.
  bool FallBackAndDecode(const char* data, int length, bool needPicture);
  void ApplyColour();

  std::unique_ptr<AVCodecContext, ContextFree> context_;
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
  // An NV12 region converted at its own size is repacked into regionPlanar_ (planar 4:2:0) and
  // regionPacked_ converts that; null otherwise.
  std::unique_ptr<SwsContext, SwsFree> regionPacked_;
  std::unique_ptr<AVFrame, FrameFree> regionPlanar_;
  // Hardware decoding: what was asked, the path in use (the software context_ is then closed), the
  // error it failed with (0: none) and why software decodes under kAuto.
  DecoderChoice choice_ = DecoderChoice::kSoftware;
  HardwarePathFactory factory_;
  std::unique_ptr<HardwarePath> hardware_;
  int hardwareFault_ = 0;
  std::string hardwareReason_;
  int threads_ = 1;
  int threadsAllowed_ = 1;  // Init's
  VideoCodec codec_ = VideoCodec::kH264;
  int frameThreadsAbove_ = 0;
  // Reads the size of a key picture's stream from its parameter sets (libavcodec's parser, with a
  // context of its own that is never opened).
  std::unique_ptr<AVCodecParserContext, ParserFree> sizeParser_;
  std::unique_ptr<AVCodecContext, ContextFree> sizeContext_;
  // The last key picture whose size was read (a reference to its bytes) and its pixels.
  PacketRef sizeRead_;
  long long sizeReadPixels_ = 0;
  // The number the next packet given to the context gets.
  std::int64_t serial_ = 0;
  // Packets since the last key picture (it included), in the order given; what a drained context
  // is given again. Bounded: a block longer than that cannot be replayed, and its pictures after
  // a drain wait for the next key picture instead.
  struct Block {
    std::vector<PacketRef> packets;
    std::size_t bytes = 0;
    bool whole = false;  // starts with a key picture and lacks nothing since
  };
  Block block_;
  // The block before a key picture given ahead, until a Decode call confirms that picture (its
  // number is earlierUntil_).
  Block earlier_;
  bool haveEarlier_ = false;
  std::int64_t earlierUntil_ = -1;
  // The packet named by SendAhead, given to the context once its predecessor is.
  PacketRef next_;
  // Packets given to the context ahead of their Decode calls, oldest first: at most the one the
  // next Decode is for and the one named after it.
  struct InFlight {
    std::int64_t serial;
    PacketRef packet;
  };
  std::deque<InFlight> flight_;
  // The context was drained (end of stream sent) and takes packets only after a flush.
  bool drained_ = false;

  // Set by a damaged packet: pictures are decoded but not shown until a key picture comes.
  bool waitForKey_ = false;
  float brightness_ = 0.0f;
  float contrast_ = 1.0f;
  // What the converter was made for.
  int srcWidth_ = 0, srcHeight_ = 0, srcFormat_ = -1;
  int outWidth_ = 0, outHeight_ = 0;
  PixelOrder outOrder_ = PixelOrder::kRgb;
};
