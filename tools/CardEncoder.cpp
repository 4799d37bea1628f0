// SPDX-License-Identifier: GPL-3.0-or-later
#include "tools/CardEncoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/dict.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/opt.h>
}

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numbers>

#include "tools/TripDrive.h"

namespace tools {

namespace {

constexpr double kPi = std::numbers::pi;

// The beep that marks each whole second: 50 ms of 1 kHz, loud enough to find in any hum.
constexpr int kBeepPerSecond = 20;  // 1 s / 50 ms
constexpr double kBeepHz = 1000;
constexpr double kBeepAmplitude = 12000;

// Quality of the pictures: x264's and x265's constant rate factor (lower is better and larger).
constexpr const char* kCrf = "28";

// The AAC sound's bit rate, bit/s: what cameras give a mono microphone.
constexpr std::int64_t kAacBitRate = 64000;

class Options {
 public:
  Options() = default;
  ~Options() { av_dict_free(&dict_); }
  Options(const Options&) = delete;
  Options& operator=(const Options&) = delete;
  void Set(const char* key, const char* value) { av_dict_set(&dict_, key, value, 0); }
  AVDictionary** get() { return &dict_; }
  int Count() const { return av_dict_count(dict_); }

 private:
  AVDictionary* dict_ = nullptr;
};

std::string AvError(int code) {
  char buf[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, buf, sizeof buf);
  return buf;
}
}  // namespace

void H264Encoder::CodecContextFree::operator()(AVCodecContext* c) const {
  avcodec_free_context(&c);
}
void H264Encoder::FrameFree::operator()(AVFrame* f) const { av_frame_free(&f); }
void H264Encoder::PacketFree::operator()(AVPacket* p) const { av_packet_free(&p); }

bool H264Encoder::Open(const H264Settings& settings, std::string* error) {
  const bool hevc = settings.codec == VideoCodec::kH265;
  const char* name = hevc ? "libx265" : "libx264";
  const AVCodec* codec = avcodec_find_encoder_by_name(name);
  if (!codec) {
    *error = std::string("this FFmpeg has no ") + name + " encoder";
    return false;
  }
  context_.reset(avcodec_alloc_context3(codec));
  frame_.reset(av_frame_alloc());
  packet_.reset(av_packet_alloc());
  if (!context_ || !frame_ || !packet_) {
    *error = "out of memory";
    return false;
  }
  AVCodecContext* c = context_.get();
  c->width = settings.width;
  c->height = settings.height;
  c->pix_fmt = AV_PIX_FMT_YUV420P;
  c->time_base = AVRational{1, settings.fps};
  c->framerate = AVRational{settings.fps, 1};
  keyInterval_ = settings.keyInterval;
  codec_ = settings.codec;
  c->gop_size = keyInterval_;
  c->keyint_min = keyInterval_;
  c->max_b_frames = 0;
  // Recordings are written several at a time, one per thread; one encoder thread each keeps
  // the output one access unit per picture, in order.
  c->thread_count = 1;
  if (settings.globalHeader) c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  Options opts;
  opts.Set("preset", "ultrafast");
  opts.Set("tune", "zerolatency");
  if (settings.bitrateKbps > 0) {
    // A constant bit rate, as a dash camera records: x264 pads quiet pictures with filler
    // units, so a recording's size follows from its length whatever the scene shows.
    c->bit_rate = std::int64_t(settings.bitrateKbps) * 1000;
    c->rc_max_rate = c->bit_rate;
    c->rc_buffer_size = int(c->bit_rate);  // one second of pictures
    if (!hevc) opts.Set("nal-hrd", "cbr");
  } else {
    opts.Set("crf", kCrf);
  }
  // Parameter sets in front of every key picture so that each one decodes on its own after a
  // seek; no scene-cut key pictures, so the flash squares do not disturb the key pictures' rhythm.
  if (hevc) {
    // Closed groups (every key picture an IDR), one frame thread and no thread pool, so that
    // pictures come out one by one in order; libx265's own lines only for errors.
    char params[160];
    std::snprintf(params, sizeof params,
                  "repeat-headers=1:scenecut=0:open-gop=0:keyint=%d:min-keyint=%d:bframes=0:"
                  "frame-threads=1:pools=none:info=0:log-level=error",
                  keyInterval_, keyInterval_);
    opts.Set("x265-params", params);
  } else {
    opts.Set("x264-params", settings.high ? "repeat-headers=1:scenecut=0:cabac=1:8x8dct=1"
                                          : "repeat-headers=1:scenecut=0");
  }
  if (settings.high) opts.Set("profile", hevc ? "main" : "high");
  int rc = avcodec_open2(c, codec, opts.get());
  if (rc < 0) {
    *error = std::string("cannot open the ") + name + " encoder: " + AvError(rc);
    return false;
  }
  if (opts.Count() != 0) {
    *error = std::string("the ") + name + " encoder ignored some of its options";
    return false;
  }
  frame_->format = c->pix_fmt;
  frame_->width = settings.width;
  frame_->height = settings.height;
  rc = av_frame_get_buffer(frame_.get(), 0);
  if (rc < 0) {
    *error = "cannot allocate a picture: " + AvError(rc);
    return false;
  }
  return true;
}

bool H264Encoder::NextPicture(Picture* p, std::string* error) {
  int rc = av_frame_make_writable(frame_.get());
  if (rc < 0) {
    *error = "cannot allocate a picture: " + AvError(rc);
    return false;
  }
  for (int i = 0; i < 3; ++i) {
    p->plane[i] = frame_->data[i];
    p->stride[i] = frame_->linesize[i];
  }
  p->width = frame_->width;
  p->height = frame_->height;
  return true;
}

bool H264Encoder::Encode(std::int64_t n, std::deque<AccessUnit>* out, std::string* error) {
  frame_->pts = n;
  frame_->pict_type = AV_PICTURE_TYPE_NONE;
  int rc = avcodec_send_frame(context_.get(), frame_.get());
  if (rc < 0) {
    *error = "the encoder refused a picture: " + AvError(rc);
    return false;
  }
  return Receive(out, error);
}

bool H264Encoder::Drain(std::deque<AccessUnit>* out, std::string* error) {
  int rc = avcodec_send_frame(context_.get(), nullptr);
  if (rc < 0 && rc != AVERROR_EOF) {
    *error = "cannot flush the encoder: " + AvError(rc);
    return false;
  }
  return Receive(out, error);
}

bool H264Encoder::Receive(std::deque<AccessUnit>* out, std::string* error) {
  for (;;) {
    int rc = avcodec_receive_packet(context_.get(), packet_.get());
    if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return true;
    if (rc < 0) {
      *error = "the encoder failed: " + AvError(rc);
      return false;
    }
    AccessUnit au;
    au.picture = packet_->pts;
    au.key = (packet_->flags & AV_PKT_FLAG_KEY) != 0;
    const std::uint8_t* d = packet_->data;
    int size = packet_->size;
    // Every payload starts with a 4-byte start code; x264 may open with the 3-byte form.
    if (size >= 3 && d[0] == 0 && d[1] == 0 && d[2] == 1) au.data.push_back(0);
    au.data.insert(au.data.end(), d, d + size);
    av_packet_unref(packet_.get());
    if (codec_ == VideoCodec::kH264) DropTimingUnits(&au.data);
    if (!Check(au, error)) return false;
    out->push_back(std::move(au));
  }
}

// A constant bit rate makes x264 put buffering and timing messages (SEI units) in front of
// every picture; the camera writes none, and the readers expect the slice or the parameter
// sets first. The units go; the filler units that keep the rate stay.
void H264Encoder::DropTimingUnits(std::vector<std::uint8_t>* data) {
  const std::vector<std::uint8_t>& d = *data;
  std::vector<std::size_t> starts;  // offsets of the start codes' first zero byte
  for (std::size_t i = 0; i + 3 <= d.size(); ++i) {
    if (d[i] == 0 && d[i + 1] == 0 && d[i + 2] == 1) {
      starts.push_back(i > 0 && d[i - 1] == 0 ? i - 1 : i);
      i += 2;
    }
  }
  std::vector<std::uint8_t> kept;
  kept.reserve(d.size());
  for (std::size_t n = 0; n < starts.size(); ++n) {
    const std::size_t begin = starts[n];
    const std::size_t end = n + 1 < starts.size() ? starts[n + 1] : d.size();
    const std::size_t header = d[begin + 2] == 1 ? begin + 3 : begin + 4;
    if (header < end && (d[header] & 0x1F) == 6) continue;
    if (d[begin + 2] == 1) kept.push_back(0);  // every unit keeps a 4-byte start code
    kept.insert(kept.end(), d.begin() + std::ptrdiff_t(begin), d.begin() + std::ptrdiff_t(end));
  }
  if (!starts.empty()) data->swap(kept);
}

// The readers tell key pictures by the fifth byte (0x41: an ordinary slice), and seeking relies
// on a key picture with its parameter sets at the start of every key interval.
bool H264Encoder::Check(const AccessUnit& au, std::string* error) const {
  char buf[160];
  const auto& d = au.data;
  if (d.size() < 6 || d[0] != 0 || d[1] != 0 || d[2] != 0 || d[3] != 1) {
    std::snprintf(buf, sizeof buf, "picture %lld does not start with a start code",
                  static_cast<long long>(au.picture));
  } else if (au.key != (au.picture % keyInterval_ == 0)) {
    std::snprintf(buf, sizeof buf, "picture %lld is %s key picture",
                  static_cast<long long>(au.picture), au.key ? "an unexpected" : "not a");
  } else if (codec_ != VideoCodec::kH264) {
    return true;  // the NAL headers below are H.264's
  } else if (au.key && (d[4] & 0x1F) != 7) {
    std::snprintf(buf, sizeof buf, "key picture %lld has no parameter sets in front (0x%02X)",
                  static_cast<long long>(au.picture), d[4]);
  } else if (!au.key && d[4] != 0x41) {
    std::snprintf(buf, sizeof buf, "picture %lld starts with NAL header 0x%02X, not 0x41",
                  static_cast<long long>(au.picture), d[4]);
  } else {
    return true;
  }
  *error = buf;
  return false;
}

void SoundSynth::Generate(std::int64_t first, int n, std::vector<std::uint8_t>* out) {
  out->resize(std::size_t(n) * 2);
  for (int i = 0; i < n; ++i) {
    std::int64_t s = first + i;
    double t = double(s) / rate_;
    double v = rng_.Range(-140, 140);
    if (!parked_) {
      double hz = 32 + 0.9 * route_.SpeedKmh(t);
      phase_ += 2 * kPi * hz / rate_;
      if (phase_ > 2 * kPi) phase_ -= 2 * kPi;
      v += 520 * std::sin(phase_) + 260 * std::sin(2 * phase_ + 0.7) + 90 * std::sin(3 * phase_);
    }
    int inSecond = int(s % rate_);
    if (inSecond < rate_ / kBeepPerSecond) {
      v += kBeepAmplitude * std::sin(2 * kPi * kBeepHz * inSecond / rate_);
    }
    auto q = std::int16_t(std::clamp(std::lround(v), -32768L, 32767L));
    (*out)[2 * std::size_t(i)] = std::uint8_t(std::uint16_t(q) & 0xFF);
    (*out)[2 * std::size_t(i) + 1] = std::uint8_t(std::uint16_t(q) >> 8);
  }
}

void AacEncoder::CodecContextFree::operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
void AacEncoder::FrameFree::operator()(AVFrame* f) const { av_frame_free(&f); }
void AacEncoder::PacketFree::operator()(AVPacket* p) const { av_packet_free(&p); }

bool AacEncoder::Open(int rate, std::string* error) {
  const AVCodec* codec = avcodec_find_encoder_by_name("aac");
  if (!codec) {
    *error = "this FFmpeg has no aac encoder";
    return false;
  }
  context_.reset(avcodec_alloc_context3(codec));
  frame_.reset(av_frame_alloc());
  packet_.reset(av_packet_alloc());
  if (!context_ || !frame_ || !packet_) {
    *error = "out of memory";
    return false;
  }
  AVCodecContext* c = context_.get();
  c->sample_fmt = AV_SAMPLE_FMT_FLTP;
  c->sample_rate = rate;
  c->time_base = AVRational{1, rate};
  c->bit_rate = kAacBitRate;
  c->profile = FF_PROFILE_AAC_LOW;
  c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  c->thread_count = 1;
  av_channel_layout_default(&c->ch_layout, 1);
  int rc = avcodec_open2(c, codec, nullptr);
  if (rc < 0) {
    *error = "cannot open the aac encoder: " + AvError(rc);
    return false;
  }
  frame_->format = c->sample_fmt;
  frame_->sample_rate = rate;
  frame_->nb_samples = c->frame_size;
  rc = av_channel_layout_copy(&frame_->ch_layout, &c->ch_layout);
  if (rc >= 0) rc = av_frame_get_buffer(frame_.get(), 0);
  if (rc < 0) {
    *error = "cannot allocate a sound frame: " + AvError(rc);
    return false;
  }
  return true;
}

int AacEncoder::FrameSamples() const { return context_->frame_size; }

bool AacEncoder::Encode(std::int64_t first, const std::vector<std::uint8_t>& pcm,
                        std::deque<SoundPacket>* out, std::string* error) {
  const int n = int(pcm.size() / 2);
  if (n <= 0 || n > context_->frame_size) {
    *error = "a sound frame of the wrong length";
    return false;
  }
  int rc = av_frame_make_writable(frame_.get());
  if (rc < 0) {
    *error = "cannot allocate a sound frame: " + AvError(rc);
    return false;
  }
  frame_->nb_samples = n;
  auto* samples = reinterpret_cast<float*>(frame_->data[0]);
  for (int i = 0; i < n; ++i) {
    const auto v = std::int16_t(std::uint16_t(pcm[2 * std::size_t(i)]) |
                                std::uint16_t(pcm[2 * std::size_t(i) + 1] << 8));
    samples[i] = float(v) / 32768.0f;
  }
  frame_->pts = first;
  rc = avcodec_send_frame(context_.get(), frame_.get());
  if (rc < 0) {
    *error = "the aac encoder refused a frame: " + AvError(rc);
    return false;
  }
  return Receive(out, error);
}

bool AacEncoder::Drain(std::deque<SoundPacket>* out, std::string* error) {
  int rc = avcodec_send_frame(context_.get(), nullptr);
  if (rc < 0 && rc != AVERROR_EOF) {
    *error = "cannot flush the aac encoder: " + AvError(rc);
    return false;
  }
  return Receive(out, error);
}

bool AacEncoder::Receive(std::deque<SoundPacket>* out, std::string* error) {
  for (;;) {
    int rc = avcodec_receive_packet(context_.get(), packet_.get());
    if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return true;
    if (rc < 0) {
      *error = "the aac encoder failed: " + AvError(rc);
      return false;
    }
    SoundPacket p;
    p.pts = packet_->pts;
    p.duration = packet_->duration;
    p.data.assign(packet_->data, packet_->data + packet_->size);
    av_packet_unref(packet_.get());
    out->push_back(std::move(p));
  }
}

}  // namespace tools
