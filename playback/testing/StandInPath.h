// SPDX-License-Identifier: GPL-3.0-or-later
// A stand-in for a graphics device's H.264 decoding, for tests and benchmarks on computers without
// one: libavcodec's software H.264 decoder on one thread whose pictures are handed out as NV12
// (what VA-API and CUDA pictures are copied back as), carrying the decoder's properties, until it
// breaks where it is told to, as a device does.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

#include <cerrno>
#include <memory>
#include <string>

#include "playback/HardwareDecoding.h"

namespace playback_testing {

// Where a stand-in path breaks; -1: never. Counted from 0 over what the path was given.
struct Breakage {
  int faultAtSend = -1;     // the send of this packet fails as a device does (EIO), and all after
  int faultAtPicture = -1;  // the copy-back of this picture fails (EIO), and all after
  int damageAtSend = -1;    // this packet is refused as damaged (the stream's fault), nothing after
};

// Stands in for a device: libavcodec's software H.264 decoder on one thread, whose pictures are
// handed out as NV12 (VA-API's and CUDA's download format), carrying the decoder's properties.
class StandInPath final : public HardwarePath {
 public:
  explicit StandInPath(Breakage breakage) : breakage_(breakage) {}
  ~StandInPath() override {
    sws_freeContext(repack_);
    av_frame_free(&decoded_);
    avcodec_free_context(&context_);
  }

  bool Open() {
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    context_ = avcodec_alloc_context3(codec);
    decoded_ = av_frame_alloc();
    if (context_ == nullptr || decoded_ == nullptr) return false;
    context_->thread_count = 1;
    context_->flags |= AV_CODEC_FLAG_LOW_DELAY;
    return avcodec_open2(context_, codec, nullptr) >= 0;
  }

  const char* Name() const override { return "stand-in"; }

  int Send(const AVPacket* packet) override {
    const int index = sent_++;
    if (broken_ || index == breakage_.faultAtSend) {
      broken_ = true;
      return AVERROR(EIO);
    }
    if (index == breakage_.damageAtSend) return AVERROR_INVALIDDATA;
    return avcodec_send_packet(context_, packet);
  }

  int Receive(AVFrame* picture) override {
    if (broken_) return AVERROR(EIO);
    int rc = avcodec_receive_frame(context_, decoded_);
    if (rc < 0) return rc;
    if (received_++ == breakage_.faultAtPicture) {
      broken_ = true;
      av_frame_unref(decoded_);
      return AVERROR(EIO);
    }
    av_frame_unref(picture);
    picture->format = AV_PIX_FMT_NV12;
    picture->width = decoded_->width;
    picture->height = decoded_->height;
    repack_ = sws_getCachedContext(
        repack_, decoded_->width, decoded_->height, AVPixelFormat(decoded_->format),
        decoded_->width, decoded_->height, AV_PIX_FMT_NV12, SWS_POINT, nullptr, nullptr, nullptr);
    rc = repack_ != nullptr ? av_frame_get_buffer(picture, 0) : AVERROR(ENOMEM);
    if (rc >= 0) {
      sws_scale(repack_, decoded_->data, decoded_->linesize, 0, decoded_->height, picture->data,
                picture->linesize);
      rc = av_frame_copy_props(picture, decoded_);
    }
    av_frame_unref(decoded_);
    return rc;
  }

  void Flush() override { avcodec_flush_buffers(context_); }

 private:
  Breakage breakage_;
  AVCodecContext* context_ = nullptr;
  AVFrame* decoded_ = nullptr;
  SwsContext* repack_ = nullptr;
  int sent_ = 0, received_ = 0;
  bool broken_ = false;
};

inline HardwarePathFactory StandIn(Breakage breakage = {}) {
  return [breakage](std::string* reason) -> std::unique_ptr<HardwarePath> {
    auto path = std::make_unique<StandInPath>(breakage);
    if (path->Open()) return path;
    if (reason != nullptr) *reason = "stand-in: did not open";
    return nullptr;
  };
}

}  // namespace playback_testing
