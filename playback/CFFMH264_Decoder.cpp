// SPDX-License-Identifier: GPL-3.0-or-later
#include "playback/CFFMH264_Decoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <new>

#include "media/MediaTypes.h"
#include "support/Diag.h"

namespace {

// The largest side of a picture we convert to; larger requests are refused.
constexpr int kMaxSide = 16384;
// Decoding threads of one context: more hold more pictures back and cost a reference picture
// set each.
constexpr int kMaxThreads = 8;
// Packets kept for replay: ten seconds at 60 pictures a second, or 64 MB.
constexpr std::size_t kMaxBlockPackets = 600;
constexpr std::size_t kMaxBlockBytes = std::size_t(64) << 20;
// Pictures taken from the context in one go: at most one per packet given, a few at a drain.
constexpr int kMaxPicturesAtOnce = 16;
// Brightness and contrast beyond these only saturate the picture, and the fixed-point values
// given to swscale must stay well inside int.
constexpr double kBrightnessLimit = 4.0;
constexpr double kContrastMin = 0.0;
constexpr double kContrastMax = 16.0;

int ToFixed16(double value, double lo, double hi) {
  if (std::isnan(value)) value = 0;
  return static_cast<int>(std::clamp(value, lo, hi) * 65536.0);
}

// The full-range "J" formats are the same sample layouts; swscale wants the plain ones (the range
// is set explicitly with the colour details).
AVPixelFormat PlainFormat(int format) {
  switch (format) {
    case AV_PIX_FMT_YUVJ420P:
      return AV_PIX_FMT_YUV420P;
    case AV_PIX_FMT_YUVJ422P:
      return AV_PIX_FMT_YUV422P;
    case AV_PIX_FMT_YUVJ444P:
      return AV_PIX_FMT_YUV444P;
    case AV_PIX_FMT_YUVJ440P:
      return AV_PIX_FMT_YUV440P;
    default:
      return static_cast<AVPixelFormat>(format);
  }
}

// True when an access unit in start-code form holds a slice NAL unit (types 1 to 5): a picture's
// data, which changes the decoder's reference pictures when it decodes, even in part.
bool HoldsSlice(const unsigned char* data, int length, VideoCodec codec) {
  for (int i = 0; i + 3 < length; ++i) {
    if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) {
      if (codec == VideoCodec::kH265) {
        if (((data[i + 3] >> 1) & 0x3F) < 32) return true;
        i += 2;
        continue;
      }
      const int type = data[i + 3] & 0x1F;
      if (type >= 1 && type <= 5) return true;
      i += 2;
    }
  }
  return false;
}

}  // namespace

void CFFMH264_Decoder::ContextFree::operator()(AVCodecContext* c) const {
  avcodec_free_context(&c);
}
void CFFMH264_Decoder::FrameFree::operator()(AVFrame* f) const { av_frame_free(&f); }
void CFFMH264_Decoder::PacketFree::operator()(AVPacket* p) const { av_packet_free(&p); }
void CFFMH264_Decoder::SwsFree::operator()(SwsContext* s) const { sws_freeContext(s); }
void CFFMH264_Decoder::ParserFree::operator()(AVCodecParserContext* p) const { av_parser_close(p); }

CFFMH264_Decoder::CFFMH264_Decoder() = default;

CFFMH264_Decoder::~CFFMH264_Decoder() { Release(); }

bool CFFMH264_Decoder::Init(int threads) {
  Release();
  threadsAllowed_ = std::clamp(threads, 1, kMaxThreads);
  // With a size rule the stream starts on one thread; its first key picture sets the count.
  threads_ = frameThreadsAbove_ > 0 ? 1 : threadsAllowed_;
  std::unique_ptr<AVFrame, FrameFree> work(av_frame_alloc());
  std::unique_ptr<AVFrame, FrameFree> shown(av_frame_alloc());
  if (!work || !shown) return false;
  work_ = std::move(work);
  shown_ = std::move(shown);
  hardwareReason_.clear();
  if (choice_ == DecoderChoice::kAuto) {
    std::string reason;
    hardware_ = factory_ ? factory_(&reason) : OpenHardwarePath(&reason, CodecId());
    if (hardware_) return true;
    hardwareReason_ = reason.empty() ? "no hardware path" : reason;
  }
  if (OpenSoftware()) return true;
  work_.reset();
  shown_.reset();
  return false;
}

long long CFFMH264_Decoder::FrameThreadsAbove() const {
  // An H.265 picture costs the decoder about two and a half times an H.264 one of its size: it
  // takes the threads from a picture of 1280x720 on (a 1920x1080 rear camera's included).
  return codec_ == VideoCodec::kH265 ? frameThreadsAbove_ * 4LL / 9 : frameThreadsAbove_;
}

int CFFMH264_Decoder::CodecId() const {
  return codec_ == VideoCodec::kH265 ? AV_CODEC_ID_HEVC : AV_CODEC_ID_H264;
}

bool CFFMH264_Decoder::SetCodec(VideoCodec codec) {
  if (codec == codec_) return true;
  codec_ = codec;
  // The contexts are made for one coding: opened again for the other.
  return !IsOpen() || Init(threadsAllowed_);
}

bool CFFMH264_Decoder::OpenSoftware() {
  const AVCodec* codec = avcodec_find_decoder(static_cast<AVCodecID>(CodecId()));
  if (codec == nullptr) return false;
  std::unique_ptr<AVCodecContext, ContextFree> context(avcodec_alloc_context3(codec));
  if (!context) return false;
  if (threads_ > 1) {
    // Pictures decode in parallel, each picture's rows waiting only on the rows of its reference
    // it needs. The camera writes one slice per picture, so slice threads would share nothing.
    context->thread_count = threads_;
    context->thread_type = FF_THREAD_FRAME;
  } else {
    context->thread_count = 1;
    context->thread_type = FF_THREAD_SLICE;
    context->flags |= AV_CODEC_FLAG_LOW_DELAY;
  }
  if (avcodec_open2(context.get(), codec, nullptr) < 0) return false;
  context_ = std::move(context);
  return true;
}

int CFFMH264_Decoder::ThreadsFor(const AVPacket* key) {
  if (threadsAllowed_ <= 1 || frameThreadsAbove_ <= 0) return threadsAllowed_;
  // A key picture is asked about when it is named ahead and again at its own call: the answer for
  // the last one read is kept with a reference to its bytes.
  if (sizeRead_ &&
      SameBytes(sizeRead_.get(), reinterpret_cast<const char*>(key->data), key->size)) {
    return sizeReadPixels_ > FrameThreadsAbove() ? threadsAllowed_ : 1;
  }
  if (!sizeParser_) {
    sizeParser_.reset(av_parser_init(CodecId()));
    sizeContext_.reset(avcodec_alloc_context3(nullptr));
    if (!sizeParser_ || !sizeContext_) {
      sizeParser_.reset();
      return threads_;
    }
    // Each packet is a whole access unit: nothing is held back for the next one.
    sizeParser_->flags |= PARSER_FLAG_COMPLETE_FRAMES;
  }
  // The parser sets the size when it reads a slice with its parameter sets.
  sizeParser_->width = sizeParser_->height = 0;
  std::uint8_t* out = nullptr;
  int outSize = 0;
  av_parser_parse2(sizeParser_.get(), sizeContext_.get(), &out, &outSize, key->data, key->size,
                   AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
  const long long pixels = static_cast<long long>(sizeParser_->width) * sizeParser_->height;
  if (sizeParser_->width <= 0 || sizeParser_->height <= 0) return threads_;  // cannot tell
  sizeRead_.reset(av_packet_clone(key));
  sizeReadPixels_ = pixels;
  return pixels > FrameThreadsAbove() ? threadsAllowed_ : 1;
}

void CFFMH264_Decoder::MatchThreadsTo(const AVPacket* key) {
  if (hardware_ || !context_) return;
  const int wanted = ThreadsFor(key);
  if (wanted == threads_) return;
  const int before = threads_;
  threads_ = wanted;
  if (!OpenSoftware()) {
    threads_ = before;  // the context open stays
    return;
  }
  drained_ = false;
}

void CFFMH264_Decoder::SetChoice(DecoderChoice choice, HardwarePathFactory factory) {
  choice_ = choice;
  factory_ = std::move(factory);
}

const char* CFFMH264_Decoder::DecoderName() const {
  return hardware_ ? hardware_->Name() : "software";
}

void CFFMH264_Decoder::Release() {
  region_.reset();
  ResetConverter();
  shown_.reset();
  work_.reset();
  ForgetBlock();
  context_.reset();
  sizeParser_.reset();
  sizeContext_.reset();
  sizeRead_.reset();
  hardware_.reset();
  hardwareFault_ = 0;
  ResetRegion();
  waitForKey_ = false;
  drained_ = false;
}

void CFFMH264_Decoder::ForgetBlock() {
  block_ = Block();
  earlier_ = Block();
  haveEarlier_ = false;
  earlierUntil_ = -1;
  next_.reset();
  flight_.clear();
}

CFFMH264_Decoder::PacketRef CFFMH264_Decoder::MakePacket(const char* data, int length) {
  if (data == nullptr || length <= 0 || length > kMaxPacketBytes) return nullptr;
  PacketRef packet(av_packet_alloc());
  // av_new_packet zeroes the padding after the bytes.
  if (!packet || av_new_packet(packet.get(), length) < 0) return nullptr;
  std::memcpy(packet->data, data, std::size_t(length));
  return packet;
}

bool CFFMH264_Decoder::SameBytes(const AVPacket* a, const char* data, int length) {
  return a != nullptr && a->size == length && std::memcmp(a->data, data, std::size_t(length)) == 0;
}

bool CFFMH264_Decoder::Send(const AVPacket* packet, bool key, bool ahead, std::int64_t* serial) {
  if (key) {
    if (ahead) {
      earlier_ = std::move(block_);
      haveEarlier_ = true;
      earlierUntil_ = serial_;
    }
    block_ = Block();
    block_.whole = true;
  }
  PacketRef kept(av_packet_clone(packet));  // a reference to the same bytes
  if (!kept) return false;
  kept->pts = kept->dts = serial_;
  int rc = SendToDecoder(kept.get());
  if (rc == AVERROR(EAGAIN)) {
    // A picture was left inside (the caller takes them after each packet, so this does not
    // happen in practice): it is older than this packet's; look at it and offer the packet again.
    PassOver();
    rc = SendToDecoder(kept.get());
  }
  if (rc < 0) {
    // The packet was refused as damaged. When it held picture data it may still have changed the
    // decoder's reference pictures (a damaged key picture drops them all), so nothing is shown
    // again before the next key picture. A refused packet without slices (parameter sets, stray
    // bytes) leaves them alone.
    if (HoldsSlice(packet->data, packet->size, codec_)) waitForKey_ = true;
    if (key && ahead) {
      block_ = std::move(earlier_);
      haveEarlier_ = false;
    }
    return false;
  }
  *serial = serial_++;
  if (block_.whole) {
    block_.bytes += std::size_t(kept->size);
    if (block_.packets.size() >= kMaxBlockPackets || block_.bytes > kMaxBlockBytes) {
      // Too long to keep: after a drain this block's pictures wait for the next key picture.
      block_ = Block();
    } else {
      block_.packets.push_back(std::move(kept));
    }
  }
  return true;
}

void CFFMH264_Decoder::SendAhead(const char* data, int length) {
  next_.reset();
  // One thread needs no successor. (Where a key picture then opens the context with frame
  // threads, its picture is drained out at its own call: once, at a change of picture size.)
  if (threads_ <= 1 || !context_ || data == nullptr || length <= 0) return;
  // Named again (the caller's turn was put off): it is with the context already.
  if (flight_.size() == 2 && SameBytes(flight_.back().packet.get(), data, length)) return;
  PacketRef packet = MakePacket(data, length);
  if (!packet) return;
  const bool key = IsKeyPicture(data, length, codec_);
  // A key picture that changes the thread count goes in at its own Decode call, to a new context.
  if (key && ThreadsFor(packet.get()) != threads_) return;
  if (flight_.size() == 1 && !drained_) {
    std::int64_t serial = -1;
    if (Send(packet.get(), key, true, &serial)) flight_.push_back({serial, std::move(packet)});
    return;
  }
  next_ = std::move(packet);
}

bool CFFMH264_Decoder::Decode(const char* data, int length, bool needPicture) {
  const bool shown = DecodeHere(data, length, needPicture);
  if (hardwareFault_ == 0) return shown;
  return FallBackAndDecode(data, length, needPicture);
}

bool CFFMH264_Decoder::DecodeHere(const char* data, int length, bool needPicture) {
  if (!IsOpen() || data == nullptr || length <= 0 || length > kMaxPacketBytes) {
    next_.reset();
    return false;
  }
  const bool key = IsKeyPicture(data, length, codec_);
  std::int64_t wanted = -1;
  if (!flight_.empty()) {
    if (SameBytes(flight_.front().packet.get(), data, length)) {
      wanted = flight_.front().serial;
      flight_.pop_front();
      if (haveEarlier_ && wanted >= earlierUntil_) {
        earlier_ = Block();
        haveEarlier_ = false;
      }
    } else {
      // The packets given ahead are not the ones decoded now (the caller went elsewhere). The
      // context has taken them as references, so it starts again from the block's packets
      // without them, as after a drain (nothing to replay when this packet is a key picture).
      // A key picture among them started a block of its own: the one before is the block again.
      if (haveEarlier_) block_ = std::move(earlier_);
      earlier_ = Block();
      haveEarlier_ = false;
      for (auto it = flight_.rbegin(); it != flight_.rend(); ++it) {
        std::vector<PacketRef>& packets = block_.packets;
        if (!packets.empty() && packets.back()->data == it->packet->data) {
          block_.bytes -= std::size_t(packets.back()->size);
          packets.pop_back();
        }
      }
      flight_.clear();
      drained_ = true;
    }
  }
  if (wanted < 0) {
    PacketRef packet = MakePacket(data, length);
    if (packet && key) MatchThreadsTo(packet.get());
    if (drained_) Resume(key);
    if (!packet || !Send(packet.get(), key, false, &wanted)) {
      next_.reset();
      PassOver();
      return false;
    }
  }
  // The named next packet goes in now, so that this packet's picture comes out; none when this
  // key picture has just reopened the context on one thread. (A key picture that would change
  // the count was not kept by SendAhead.)
  if (next_ && threads_ <= 1) next_.reset();
  if (next_) {
    PacketRef next = std::move(next_);
    std::int64_t serial = -1;
    if (Send(next.get(), IsKeyPicture(next->data, next->size, codec_), true, &serial)) {
      flight_.push_back({serial, std::move(next)});
    }
  }
  bool got = false;
  bool shown = ReceiveUpTo(wanted, &got);
  if (!got && needPicture && context_ && threads_ > 1 && flight_.empty() && !drained_) {
    // Held back with nothing after it: the context gives it up at the end of the stream, and
    // the next Decode starts the context again.
    avcodec_send_packet(context_.get(), nullptr);
    drained_ = true;
    shown = ReceiveUpTo(wanted, &got) || shown;
  }
  return shown;
}

void CFFMH264_Decoder::Resume(bool nextIsKey) {
  FlushDecoder();
  drained_ = false;
  if (nextIsKey) return;
  if (!block_.whole || block_.packets.empty()) {
    waitForKey_ = true;
    return;
  }
  // The packets keep their numbers, all older than any packet to come: their pictures are looked
  // at for damage and passed over.
  for (const PacketRef& packet : block_.packets) {
    if (SendToDecoder(packet.get()) == AVERROR(EAGAIN)) {
      PassOver();
      SendToDecoder(packet.get());
    }
    PassOver();
  }
}

int CFFMH264_Decoder::SendToDecoder(const AVPacket* packet) {
  if (!hardware_) return avcodec_send_packet(context_.get(), packet);
  if (hardwareFault_ != 0) return 0;
  const int rc = hardware_->Send(packet);
  if (rc >= 0 || rc == AVERROR(EAGAIN) || IsStreamDamage(rc)) return rc;
  hardwareFault_ = rc;
  return 0;
}

int CFFMH264_Decoder::ReceiveFromDecoder(AVFrame* picture) {
  if (!hardware_) return avcodec_receive_frame(context_.get(), picture);
  if (hardwareFault_ != 0) return AVERROR(EAGAIN);
  const int rc = hardware_->Receive(picture);
  if (rc >= 0 || rc == AVERROR(EAGAIN) || rc == AVERROR_EOF || IsStreamDamage(rc)) return rc;
  hardwareFault_ = rc;
  return AVERROR(EAGAIN);
}

void CFFMH264_Decoder::FlushDecoder() {
  if (hardware_) {
    hardware_->Flush();
  } else if (context_) {
    avcodec_flush_buffers(context_.get());
  }
}

bool CFFMH264_Decoder::FallBackAndDecode(const char* data, int length, bool needPicture) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(hardwareFault_, text, sizeof text);
  hardwareReason_ = std::string(hardware_->Name()) + " failed: " + text;
  DiagPrintf("Decoder: %s; software from here\n", hardwareReason_.c_str());
  hardware_.reset();
  hardwareFault_ = 0;
  if (!OpenSoftware()) return false;
  // The failed packet was kept in the block when it went to the path (the path runs on one
  // thread, so nothing was sent after it); it is given to the software context below, after the
  // packets before it, as after a drain.
  std::vector<PacketRef>& kept = block_.packets;
  if (!kept.empty() && kept.back()->pts == serial_ - 1 &&
      SameBytes(kept.back().get(), data, length)) {
    block_.bytes -= std::size_t(kept.back()->size);
    kept.pop_back();
  }
  drained_ = true;
  return DecodeHere(data, length, needPicture);
}

void CFFMH264_Decoder::PassOver() {
  for (int i = 0; i < kMaxPicturesAtOnce; ++i) {
    const int rc = ReceiveFromDecoder(work_.get());
    if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return;
    if (rc < 0) {
      waitForKey_ = true;  // a packet failed inside a decoding thread
      continue;
    }
    TakePicture(false);
  }
}

bool CFFMH264_Decoder::ReceiveUpTo(std::int64_t wanted, bool* got) {
  *got = false;
  bool shown = false;
  for (int i = 0; i < kMaxPicturesAtOnce && !*got; ++i) {
    const int rc = ReceiveFromDecoder(work_.get());
    if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) break;
    if (rc < 0) {
      waitForKey_ = true;
      continue;
    }
    const std::int64_t number = work_->pts != AV_NOPTS_VALUE ? work_->pts : work_->pkt_dts;
    // Pictures come out in the order their packets went in; one numbered past the wanted one
    // (whose packet then gave none) is shown in its place.
    *got = number == AV_NOPTS_VALUE || number >= wanted;
    if (TakePicture(*got)) shown = true;
  }
  return shown;
}

bool CFFMH264_Decoder::TakePicture(bool show) {
  // A picture the decoder had to patch up (missing slices, lost references) is not shown, and
  // neither are the pictures predicted from it up to the next key picture: the last whole
  // picture stays until then.
  const bool damaged = work_->decode_error_flags != 0 || (work_->flags & AV_FRAME_FLAG_CORRUPT) ||
                       work_->width <= 0 || work_->height <= 0 || work_->data[0] == nullptr;
  if (damaged) waitForKey_ = true;
  if (damaged || (waitForKey_ && !work_->key_frame)) {
    av_frame_unref(work_.get());
    return false;
  }
  waitForKey_ = false;
  if (!show) {
    av_frame_unref(work_.get());
    return false;
  }
  av_frame_unref(shown_.get());
  av_frame_move_ref(shown_.get(), work_.get());
  return true;
}

bool CFFMH264_Decoder::HasPicture() const {
  return shown_ && shown_->data[0] != nullptr && shown_->width > 0 && shown_->height > 0;
}

void CFFMH264_Decoder::GetPictureSize(int* width, int* height) const {
  const bool has = HasPicture();
  if (width) *width = has ? shown_->width : 0;
  if (height) *height = has ? shown_->height : 0;
}

void CFFMH264_Decoder::ForgetPicture() {
  if (shown_) av_frame_unref(shown_.get());
  FlushDecoder();
  ForgetBlock();
  drained_ = false;
  // The decoder itself gives nothing before a key picture after a flush.
  waitForKey_ = false;
}

bool CFFMH264_Decoder::Convert(unsigned char* dst, int stride, int width, int height,
                               PixelOrder order) {
  if (!HasPicture() || dst == nullptr || width <= 0 || height <= 0 || width > kMaxSide ||
      height > kMaxSide || stride < width * 3) {
    return false;
  }
  const AVFrame* pic = shown_.get();
  if (!sws_ || pic->width != srcWidth_ || pic->height != srcHeight_ || pic->format != srcFormat_ ||
      width != outWidth_ || height != outHeight_ || order != outOrder_) {
    if (!MakeConverter(width, height, order)) return false;
  }
  std::uint8_t* dstPlanes[4] = {dst, nullptr, nullptr, nullptr};
  int dstStrides[4] = {stride, 0, 0, 0};
  if (scale_) {
    if (sws_scale(scale_.get(), pic->data, pic->linesize, 0, pic->height, scaled_->data,
                  scaled_->linesize) <= 0) {
      return false;
    }
    return sws_scale(sws_.get(), scaled_->data, scaled_->linesize, 0, height, dstPlanes,
                     dstStrides) > 0;
  }
  return sws_scale(sws_.get(), pic->data, pic->linesize, 0, pic->height, dstPlanes, dstStrides) > 0;
}

bool CFFMH264_Decoder::ConvertRegion(unsigned char* dst, int stride, int width, int height, int x,
                                     int y, int w, int h) {
  if (!HasPicture() || dst == nullptr || width <= 0 || height <= 0 || width > kMaxSide ||
      height > kMaxSide || stride < width * 3 || w <= 0 || h <= 0) {
    return false;
  }
  const AVFrame* pic = shown_.get();
  const AVPixelFormat format = PlainFormat(pic->format);
  const bool nv12 = format == AV_PIX_FMT_NV12;
  if (format != AV_PIX_FMT_YUV420P && !nv12) return false;
  // Inside the picture, on even coordinates (a colour sample covers 2 x 2 pixels).
  w = std::min(w, pic->width) & ~1;
  h = std::min(h, pic->height) & ~1;
  if (w <= 0 || h <= 0) return false;
  x = std::clamp(x, 0, pic->width - w) & ~1;
  y = std::clamp(y, 0, pic->height - h) & ~1;
  if (!region_ || regionSrc_[0] != w || regionSrc_[1] != h || regionSrc_[2] != pic->format ||
      regionOut_[0] != width || regionOut_[1] != height) {
    // NV12 at the same size is repacked into planar 4:2:0 and converted from there: this
    // libswscale's direct conversion of NV12 to packed pixels of the same size gives wrong
    // colours. Scaled, its direct conversion is right, and the same as from planar 4:2:0.
    const bool viaPlanar = nv12 && width == w && height == h;
    ResetRegion();
    region_.reset(sws_getContext(w, h, format, width, height,
                                 viaPlanar ? AV_PIX_FMT_YUV420P : AV_PIX_FMT_RGB24, SWS_BILINEAR,
                                 nullptr, nullptr, nullptr));
    if (!region_) return false;
    if (viaPlanar) {
      regionPlanar_.reset(av_frame_alloc());
      if (!regionPlanar_) return false;
      regionPlanar_->format = AV_PIX_FMT_YUV420P;
      regionPlanar_->width = width;
      regionPlanar_->height = height;
      regionPacked_.reset(sws_getContext(width, height, AV_PIX_FMT_YUV420P, width, height,
                                         AV_PIX_FMT_RGB24, SWS_BILINEAR, nullptr, nullptr,
                                         nullptr));
      if (av_frame_get_buffer(regionPlanar_.get(), 0) < 0 || !regionPacked_) {
        ResetRegion();
        return false;
      }
    }
    regionSrc_[0] = w;
    regionSrc_[1] = h;
    regionSrc_[2] = pic->format;
    regionOut_[0] = width;
    regionOut_[1] = height;
    const int* coefficients = sws_getCoefficients(SWS_CS_DEFAULT);
    sws_setColorspaceDetails(regionPacked_ ? regionPacked_.get() : region_.get(), coefficients, 0,
                             coefficients, 0,
                             ToFixed16(brightness_, -kBrightnessLimit, kBrightnessLimit),
                             ToFixed16(contrast_, kContrastMin, kContrastMax), 65536);
  }
  std::uint8_t* dstPlanes[4] = {dst, nullptr, nullptr, nullptr};
  int dstStrides[4] = {stride, 0, 0, 0};
  if (nv12) {
    // The colour plane interleaves U and V: a pair of bytes per 2 x 2 pixels.
    const std::uint8_t* src[4] = {pic->data[0] + std::ptrdiff_t(y) * pic->linesize[0] + x,
                                  pic->data[1] + std::ptrdiff_t(y / 2) * pic->linesize[1] + x,
                                  nullptr, nullptr};
    if (!regionPacked_) {
      return sws_scale(region_.get(), src, pic->linesize, 0, h, dstPlanes, dstStrides) > 0;
    }
    if (sws_scale(region_.get(), src, pic->linesize, 0, h, regionPlanar_->data,
                  regionPlanar_->linesize) <= 0) {
      return false;
    }
    return sws_scale(regionPacked_.get(), regionPlanar_->data, regionPlanar_->linesize, 0, height,
                     dstPlanes, dstStrides) > 0;
  }
  const std::uint8_t* src[4] = {pic->data[0] + std::ptrdiff_t(y) * pic->linesize[0] + x,
                                pic->data[1] + std::ptrdiff_t(y / 2) * pic->linesize[1] + x / 2,
                                pic->data[2] + std::ptrdiff_t(y / 2) * pic->linesize[2] + x / 2,
                                nullptr};
  return sws_scale(region_.get(), src, pic->linesize, 0, h, dstPlanes, dstStrides) > 0;
}

bool CFFMH264_Decoder::MakeConverter(int width, int height, PixelOrder order) {
  ResetConverter();
  const AVFrame* pic = shown_.get();
  const AVPixelFormat format = PlainFormat(pic->format);
  const AVPixelFormat packed = order == PixelOrder::kRgb ? AV_PIX_FMT_RGB24 : AV_PIX_FMT_BGR24;
  // A 4:2:0 picture of another size is scaled in its own planar format first and then converted
  // to RGB at the same size: swscale's planar scaler and its same-size YUV-to-RGB converter
  // together take about a third less time than scaling straight into packed RGB, for the same
  // picture. Other formats, and pictures already of the requested size, take one pass.
  // NV12 (what VA-API and CUDA pictures are copied back as) always takes the planar pass, at its
  // own size a lossless repack: this libswscale's direct conversion of NV12 to packed pixels of the
  // same size gives wrong colours.
  const bool resized = width != pic->width || height != pic->height;
  if ((format == AV_PIX_FMT_YUV420P && resized) || format == AV_PIX_FMT_NV12) {
    scaled_.reset(av_frame_alloc());
    if (!scaled_) return false;
    scaled_->format = AV_PIX_FMT_YUV420P;
    scaled_->width = width;
    scaled_->height = height;
    if (av_frame_get_buffer(scaled_.get(), 0) < 0) {
      ResetConverter();
      return false;
    }
    scale_.reset(sws_getContext(pic->width, pic->height, format, width, height, AV_PIX_FMT_YUV420P,
                                SWS_FAST_BILINEAR, nullptr, nullptr, nullptr));
    sws_.reset(sws_getContext(width, height, AV_PIX_FMT_YUV420P, width, height, packed,
                              SWS_FAST_BILINEAR, nullptr, nullptr, nullptr));
    if (!scale_ || !sws_) {
      ResetConverter();
      return false;
    }
  } else {
    sws_.reset(sws_getContext(pic->width, pic->height, format, width, height, packed,
                              SWS_FAST_BILINEAR, nullptr, nullptr, nullptr));
    if (!sws_) return false;
  }
  srcWidth_ = pic->width;
  srcHeight_ = pic->height;
  srcFormat_ = pic->format;
  outWidth_ = width;
  outHeight_ = height;
  outOrder_ = order;
  ApplyColour();
  return true;
}

void CFFMH264_Decoder::ResetRegion() {
  region_.reset();
  regionPacked_.reset();
  regionPlanar_.reset();
}

void CFFMH264_Decoder::ResetConverter() {
  sws_.reset();
  scale_.reset();
  scaled_.reset();
  srcWidth_ = srcHeight_ = outWidth_ = outHeight_ = 0;
  srcFormat_ = -1;
}

// The colour adjustment belongs to the conversion to packed pixels, the last pass.
void CFFMH264_Decoder::ApplyColour() {
  if (!sws_) return;
  const int* coefficients = sws_getCoefficients(SWS_CS_DEFAULT);
  sws_setColorspaceDetails(sws_.get(), coefficients, 0, coefficients, 0,
                           ToFixed16(brightness_, -kBrightnessLimit, kBrightnessLimit),
                           ToFixed16(contrast_, kContrastMin, kContrastMax), 65536);
}

void CFFMH264_Decoder::SetBrightness(float brightness) {
  brightness_ = brightness;
  ApplyColour();
  region_.reset();  // made again with the new colour
}

void CFFMH264_Decoder::SetContrast(float contrast) {
  contrast_ = contrast;
  ApplyColour();
  region_.reset();
}
