// SPDX-License-Identifier: GPL-3.0-or-later
#include "playback/HardwareDecoding.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/buffer.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/hwcontext.h>
}

#include <dirent.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <new>
#include <utility>

namespace {

struct BufferUnref {
  void operator()(AVBufferRef* b) const { av_buffer_unref(&b); }
};
struct ContextFree {
  void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameFree {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
using BufferRef = std::unique_ptr<AVBufferRef, BufferUnref>;

// A path that made the device refuse the stream (its get_format found no device format on offer,
// or FFmpeg could not set the device up for the stream's profile) answers Send with this, which the
// viewer's diagnostics read as "Operation not supported".
constexpr int kRefused = AVERROR(ENOTSUP);

std::string ErrorText(int averror) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(averror, text, sizeof text);
  return text;
}

const char* DisplayName(AVHWDeviceType type) {
  switch (type) {
    case AV_HWDEVICE_TYPE_VAAPI:
      return "VA-API";
    case AV_HWDEVICE_TYPE_CUDA:
      return "CUDA";
    default: {
      const char* name = av_hwdevice_get_type_name(type);
      return name != nullptr ? name : "unknown";
    }
  }
}

// VA-API reaches the graphics card through a DRM render node (under X11 too, by DRI3), so without
// one there is nothing to try and nothing for libva to complain about on the terminal.
bool HasRenderNode() {
  DIR* dir = opendir("/dev/dri");
  if (dir == nullptr) return false;
  bool found = false;
  while (const dirent* entry = readdir(dir)) {
    if (std::strncmp(entry->d_name, "renderD", 7) == 0) {
      found = true;
      break;
    }
  }
  closedir(dir);
  return found;
}

// The NVIDIA kernel driver is loaded where there is a card for CUDA to use.
bool HasNvidiaDriver() { return access("/proc/driver/nvidia/version", R_OK) == 0; }

class FfmpegHardwarePath final : public HardwarePath {
 public:
  // A decoder on `device` (a reference is taken); null with the reason when it cannot be made.
  static std::unique_ptr<HardwarePath> Open(AVHWDeviceType type, AVBufferRef* device,
                                            std::string* reason, int codecId);

  const char* Name() const override { return DisplayName(type_); }
  int Send(const AVPacket* packet) override;
  int Receive(AVFrame* picture) override;
  void Flush() override;

 private:
  FfmpegHardwarePath(AVHWDeviceType type, AVPixelFormat format)
      : type_(type), deviceFormat_(format) {}
  // libavcodec's get_format: the device's format when it is on offer. Otherwise the path refuses
  // the stream rather than let libavcodec go on in software on this thread alone; the decoder then
  // replaces the path with its own software decoder.
  static AVPixelFormat ChooseFormat(AVCodecContext* context, const AVPixelFormat* offered);

  AVHWDeviceType type_;
  AVPixelFormat deviceFormat_;
  bool refused_ = false;
  std::unique_ptr<AVCodecContext, ContextFree> context_;
  std::unique_ptr<AVFrame, FrameFree> deviceFrame_;  // the picture as the device holds it
};

std::unique_ptr<HardwarePath> FfmpegHardwarePath::Open(AVHWDeviceType type, AVBufferRef* device,
                                                       std::string* reason, int codecId) {
  std::string why;
  const AVCodec* codec = avcodec_find_decoder(static_cast<AVCodecID>(codecId));
  AVPixelFormat format = AV_PIX_FMT_NONE;
  for (int i = 0; codec != nullptr; ++i) {
    const AVCodecHWConfig* config = avcodec_get_hw_config(codec, i);
    if (config == nullptr) break;
    if ((config->methods & AV_CODEC_HW_CONFIG_METHOD_HW_DEVICE_CTX) != 0 &&
        config->device_type == type) {
      format = config->pix_fmt;
      break;
    }
  }
  if (format == AV_PIX_FMT_NONE) {
    why = codecId == AV_CODEC_ID_HEVC ? "FFmpeg's H.265 decoder cannot use it"
                                      : "FFmpeg's H.264 decoder cannot use it";
  } else {
    std::unique_ptr<FfmpegHardwarePath> path(new (std::nothrow) FfmpegHardwarePath(type, format));
    if (path) {
      path->context_.reset(avcodec_alloc_context3(codec));
      path->deviceFrame_.reset(av_frame_alloc());
    }
    AVCodecContext* context = path ? path->context_.get() : nullptr;
    if (context == nullptr || !path->deviceFrame_) {
      why = "out of memory";
    } else if ((context->hw_device_ctx = av_buffer_ref(device)) == nullptr) {
      why = "out of memory";
    } else {
      context->opaque = path.get();
      context->get_format = &FfmpegHardwarePath::ChooseFormat;
      // One picture out of each packet at once, as from the software decoder; the device does the
      // work, so frame threads would only add a picture of delay.
      context->thread_count = 1;
      context->flags |= AV_CODEC_FLAG_LOW_DELAY;
      const int rc = avcodec_open2(context, codec, nullptr);
      if (rc >= 0) return path;
      why = "the decoder did not open (" + ErrorText(rc) + ")";
    }
  }
  if (reason != nullptr) *reason = std::string(DisplayName(type)) + ": " + why;
  return nullptr;
}

AVPixelFormat FfmpegHardwarePath::ChooseFormat(AVCodecContext* context,
                                               const AVPixelFormat* offered) {
  auto* self = static_cast<FfmpegHardwarePath*>(context->opaque);
  for (const AVPixelFormat* f = offered; *f != AV_PIX_FMT_NONE; ++f) {
    if (*f == self->deviceFormat_) return *f;
  }
  self->refused_ = true;
  return AV_PIX_FMT_NONE;
}

int FfmpegHardwarePath::Send(const AVPacket* packet) {
  if (refused_) return kRefused;
  const int rc = avcodec_send_packet(context_.get(), packet);
  // libavcodec logs a refused format and carries on without the picture, so the refusal is told
  // by the flag rather than by the packet's result.
  if (refused_) return kRefused;
  return rc;
}

int FfmpegHardwarePath::Receive(AVFrame* picture) {
  int rc = avcodec_receive_frame(context_.get(), deviceFrame_.get());
  if (rc < 0) return rc;
  av_frame_unref(picture);
  // A picture with no device behind it is in system memory already.
  if (deviceFrame_->hw_frames_ctx == nullptr) {
    av_frame_move_ref(picture, deviceFrame_.get());
    return 0;
  }
  // The copy takes the device's first download format (NV12 for 8-bit 4:2:0 on VA-API and CUDA)
  // into a buffer of its own; the properties (key picture, damage flags) come separately.
  rc = av_hwframe_transfer_data(picture, deviceFrame_.get(), 0);
  if (rc >= 0) rc = av_frame_copy_props(picture, deviceFrame_.get());
  av_frame_unref(deviceFrame_.get());
  if (rc < 0) {
    av_frame_unref(picture);
    // A picture that decoded but cannot be read back is the device's fault, whatever the code.
    return IsStreamDamage(rc) ? AVERROR(EIO) : rc;
  }
  return 0;
}

void FfmpegHardwarePath::Flush() {
  avcodec_flush_buffers(context_.get());
  av_frame_unref(deviceFrame_.get());
}

// The devices of the computer, each opened at most once per process and shared by every path on
// it (a VA-API or CUDA device takes tens of milliseconds to open and holds driver state).
struct SharedDevice {
  explicit SharedDevice(AVHWDeviceType t) : type(t) {}
  AVHWDeviceType type;
  bool tried = false;
  BufferRef device;
  std::string reason;  // why it did not open
};

struct SharedDevices {
  std::mutex lock;
  SharedDevice list[2] = {SharedDevice(AV_HWDEVICE_TYPE_VAAPI),
                          SharedDevice(AV_HWDEVICE_TYPE_CUDA)};
};

SharedDevices& Devices() {
  static SharedDevices devices;
  return devices;
}

// Opens the device once; called with the lock held.
void OpenShared(SharedDevice& d) {
  if (d.tried) return;
  d.tried = true;
  if (d.type == AV_HWDEVICE_TYPE_VAAPI && !HasRenderNode()) {
    d.reason = "no render node in /dev/dri";
    return;
  }
  if (d.type == AV_HWDEVICE_TYPE_CUDA && !HasNvidiaDriver()) {
    d.reason = "no NVIDIA driver loaded";
    return;
  }
  AVBufferRef* device = nullptr;
  const int rc = av_hwdevice_ctx_create(&device, d.type, nullptr, nullptr, 0);
  if (rc < 0) {
    d.reason = "the device did not open (" + ErrorText(rc) + ")";
    return;
  }
  d.device.reset(device);
}

}  // namespace

bool ParseDecoderChoice(std::string_view text, DecoderChoice* choice) {
  if (text == "software") {
    *choice = DecoderChoice::kSoftware;
  } else if (text == "auto") {
    *choice = DecoderChoice::kAuto;
  } else {
    return false;
  }
  return true;
}

const char* DecoderChoiceName(DecoderChoice choice) {
  return choice == DecoderChoice::kSoftware ? "software" : "auto";
}

static_assert(kHardwareH264 == AV_CODEC_ID_H264 && kHardwareH265 == AV_CODEC_ID_HEVC);

bool IsStreamDamage(int averror) { return averror == AVERROR_INVALIDDATA; }

std::unique_ptr<HardwarePath> OpenHardwarePath(std::string* reason, int codecId) {
  std::string why;
  SharedDevices& devices = Devices();
  std::lock_guard<std::mutex> hold(devices.lock);
  for (SharedDevice& d : devices.list) {
    OpenShared(d);
    std::string failed;
    if (d.device) {
      if (auto path = FfmpegHardwarePath::Open(d.type, d.device.get(), &failed, codecId)) {
        return path;
      }
    } else {
      failed = std::string(DisplayName(d.type)) + ": " + d.reason;
    }
    if (!why.empty()) why += "; ";
    why += failed;
  }
  if (reason != nullptr) *reason = why;
  return nullptr;
}

std::unique_ptr<HardwarePath> OpenHardwarePathOn(const char* type, const char* device,
                                                 std::string* reason, int codecId) {
  const AVHWDeviceType kind =
      type != nullptr ? av_hwdevice_find_type_by_name(type) : AV_HWDEVICE_TYPE_NONE;
  if (kind == AV_HWDEVICE_TYPE_NONE) {
    if (reason != nullptr) {
      *reason = std::string("no such kind of device: ") + (type != nullptr ? type : "(none)");
    }
    return nullptr;
  }
  AVBufferRef* opened = nullptr;
  const int rc = av_hwdevice_ctx_create(&opened, kind, device, nullptr, 0);
  if (rc < 0) {
    if (reason != nullptr) {
      *reason =
          std::string(DisplayName(kind)) + ": the device did not open (" + ErrorText(rc) + ")";
    }
    return nullptr;
  }
  // The path keeps its own reference; this one goes at the end of the call.
  const BufferRef owned(opened);
  return FfmpegHardwarePath::Open(kind, owned.get(), reason, codecId);
}
