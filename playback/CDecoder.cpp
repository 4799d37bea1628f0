// SPDX-License-Identifier: GPL-3.0-or-later
#include "playback/CDecoder.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "media/MediaTypes.h"
#include "platform/WholeFile.h"
#include "support/SnapshotExif.h"

namespace {

constexpr float kContrastMin = 0.01f;
constexpr float kContrastMax = 2.0f;

}  // namespace

CDecoder::CDecoder() = default;

CDecoder::~CDecoder() { Release(); }

int CDecoder::DefaultThreads() { return std::thread::hardware_concurrency() >= 2 ? 2 : 1; }

void CDecoder::SetThreads(int threads) {
  std::lock_guard<CSync> hold(lock_);
  threads_ = std::max(1, threads);
}

void CDecoder::SetFrameThreadsAbove(int pixels) {
  std::lock_guard<CSync> hold(lock_);
  frameThreadsAbove_ = std::max(0, pixels);
}

bool CDecoder::Init() {
  std::lock_guard<CSync> hold(lock_);
  for (Channel& ch : channels_) {
    ch.decoder.SetChoice(choice_, factory_);
    ch.decoder.SetFrameThreadsAbove(frameThreadsAbove_);
    ch.decoder.Init(threads_);
    ch.decoder.SetBrightness(ch.brightness);
    ch.decoder.SetContrast(ch.contrast);
  }
  return true;
}

void CDecoder::SetDecoderChoice(DecoderChoice choice, HardwarePathFactory factory) {
  std::lock_guard<CSync> hold(lock_);
  choice_ = choice;
  factory_ = std::move(factory);
}

namespace {

std::string NameOf(const CFFMH264_Decoder& d) {
  std::string name = d.DecoderName();
  if (!d.UsingHardware() && !d.HardwareReason().empty()) name += " (" + d.HardwareReason() + ")";
  return name;
}

}  // namespace

std::string CDecoder::DecoderName() const {
  std::lock_guard<CSync> hold(lock_);
  const std::string front = NameOf(channels_[0].decoder), rear = NameOf(channels_[1].decoder);
  return front == rear ? front : front + " (front), " + rear + " (rear)";
}

void CDecoder::Release() {
  std::lock_guard<CSync> hold(lock_);
  for (Channel& ch : channels_) ch.decoder.Release();
}

namespace {

// The size of the surface a channel's picture goes to; false for an unknown channel or a surface
// with nothing to show on (hidden panes are 0 by 0).
bool DrawableSize(int channel, const VideoSurface* surface, int* width, int* height) {
  if ((channel != 0 && channel != 1) || surface == nullptr) return false;
  surface->GetSize(width, height);
  return *width > 0 && *height > 0;
}

}  // namespace

bool CDecoder::DecodeAndShow(int channel, VideoSurface* surface, const char* data, int length,
                             bool draw) {
  if ((channel != 0 && channel != 1) || surface == nullptr) return false;
  int width = 0, height = 0;
  const bool drawable = DrawableSize(channel, surface, &width, &height);

  std::lock_guard<CSync> hold(lock_);
  Channel& ch = channels_[channel];
  // A JPEG picture is passed through by the readers but never decoded: the channel keeps showing
  // its last picture. A picture for a surface of no size (a hidden pane) is decoded all the same:
  // it is handed over only once, and the pictures after it need it.
  if (data != nullptr && length > 0 && !IsJpegPicture(data, length)) {
    ch.decoder.Decode(data, length);
  } else {
    ch.decoder.SendAhead(nullptr, 0);  // named for after this packet, which is not decoded
  }
  if (!drawable) return false;
  if (!draw) return true;
  return ShowLocked(ch, surface, width, height);
}

bool CDecoder::DecodeUnseen(int channel, VideoSurface* surface, const char* data, int length) {
  if ((channel != 0 && channel != 1) || surface == nullptr) return false;
  std::lock_guard<CSync> hold(lock_);
  CFFMH264_Decoder& decoder = channels_[channel].decoder;
  if (data != nullptr && length > 0 && !IsJpegPicture(data, length)) {
    decoder.Decode(data, length, false);
  } else {
    decoder.SendAhead(nullptr, 0);
  }
  return true;
}

void CDecoder::DecodeAhead(int channel, const char* data, int length) {
  if (channel != 0 && channel != 1) return;
  std::lock_guard<CSync> hold(lock_);
  // A JPEG picture is never decoded: nothing to start on.
  const bool decodable = data != nullptr && length > 0 && !IsJpegPicture(data, length);
  channels_[channel].decoder.SendAhead(decodable ? data : nullptr, decodable ? length : 0);
}

bool CDecoder::Redraw(int channel, VideoSurface* surface) {
  int width = 0, height = 0;
  if (!DrawableSize(channel, surface, &width, &height)) return false;

  std::lock_guard<CSync> hold(lock_);
  return ShowLocked(channels_[channel], surface, width, height);
}

bool CDecoder::ShowLocked(Channel& ch, VideoSurface* surface, int width, int height) {
  CLumImgTempl<unsigned char, 8>& image = ch.display;
  if (!image.Allocate(width, height, 3)) return false;
  image._CopyBeforeWrite();
  IplView view = image.Ipl();
  if (view.imageData == nullptr) return false;
  // The image keeps its pixels between draws of the same size, so without a picture to convert
  // it is cleared: a channel with no picture yet shows black.
  if (!ch.decoder.Convert(view.imageData, view.widthStep, view.width, view.height)) {
    image.Clear();
  }
  int code = 0;
  bool flip = true;
  switch (ch.flip.load(std::memory_order_relaxed)) {
    case kFlipUpsideDown:
      code = 0;
      break;
    case kFlipBoth:
      code = -1;
      break;
    case kFlipMirror:
      code = 1;
      break;
    default:
      flip = false;
      break;
  }
  if (flip) {
    // A picture that cannot be flipped is shown unflipped rather than failing the draw.
    image.Flip(code);
    view = image.Ipl();
  }
  surface->Present(view.imageData, view.width, view.height, view.widthStep);
  return true;
}

void CDecoder::SetContrast(int channel, int value) {
  const float contrast = std::clamp(float(value) / 10.0f + 1.0f, kContrastMin, kContrastMax);
  std::lock_guard<CSync> hold(lock_);
  Channel& ch = channels_[Clamp(channel)];
  ch.contrast = contrast;
  ch.decoder.SetContrast(contrast);
}

void CDecoder::SetBrightness(int channel, int value) {
  const float brightness = float(value) / 10.0f;
  std::lock_guard<CSync> hold(lock_);
  Channel& ch = channels_[Clamp(channel)];
  ch.brightness = brightness;
  ch.decoder.SetBrightness(brightness);
}

void CDecoder::SetFlipMode(int channel, int mode) {
  channels_[Clamp(channel)].flip.store(mode, std::memory_order_relaxed);
}

bool IsJpegName(const char* path) {
  if (path == nullptr) return false;
  const std::string_view name(path);
  const std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || name.find('/', dot) != std::string_view::npos) return false;
  std::string ending(name.substr(dot + 1));
  for (char& c : ending) c = char(std::tolower(static_cast<unsigned char>(c)));
  return ending == "jpg" || ending == "jpeg" || ending == "jpe";
}

bool CDecoder::SavePicture(int channel, const char* path) {
  return SavePicture(channel, path, nullptr);
}

bool CDecoder::SavePicture(int channel, const char* path, const SnapshotEvidence* evidence) {
  // The file type follows the name, and JPEG is the only type written: any other name would get
  // bytes that are not what it says.
  if (!IsJpegName(path)) {
    errno = EINVAL;
    return false;
  }
  std::vector<unsigned char> jpeg;
  {
    std::lock_guard<CSync> hold(lock_);
    Channel& ch = channels_[Clamp(channel)];
    int width = 0, height = 0;
    ch.decoder.GetPictureSize(&width, &height);
    if (width <= 0 || height <= 0) {
      errno = ENODATA;  // no picture yet
      return false;
    }
    CLumImgTempl<unsigned char, 8> image(width, height, 3);
    IplView view = image.Ipl();
    if (view.imageData == nullptr) {
      errno = ENOMEM;
      return false;
    }
    // The converter is re-made for the picture's own size here and for the surface's at the next
    // draw; snapshots are rare.
    if (!ch.decoder.Convert(view.imageData, view.widthStep, view.width, view.height,
                            CFFMH264_Decoder::PixelOrder::kBgr) ||
        !image.EncodeJpeg(&jpeg)) {
      errno = EIO;
      return false;
    }
  }
  // The tags go into the picture before the file is written, and the file appears whole or not
  // at all. A picture whose tags cannot be added is still saved.
  if (evidence != nullptr) AddSnapshotExif(&jpeg, *evidence);
  return WriteWholeFile(path,
                        std::string_view(reinterpret_cast<const char*>(jpeg.data()), jpeg.size()),
                        WholeFileMode::kReplace);
}

bool CDecoder::PictureSize(int channel, int* width, int* height) {
  if (channel != 0 && channel != 1) {
    *width = *height = 0;
    return false;
  }
  GetPictureSize(channel, width, height);
  return *width > 0 && *height > 0;
}

bool CDecoder::CopyRegion(int channel, int x, int y, int w, int h, unsigned char* dst, int stride,
                          int width, int height) {
  if (channel != 0 && channel != 1) return false;
  std::lock_guard<CSync> hold(lock_);
  return channels_[channel].decoder.ConvertRegion(dst, stride, width, height, x, y, w, h);
}

void CDecoder::SetCodec(int channel, VideoCodec codec) {
  std::lock_guard<CSync> hold(lock_);
  Channel& ch = channels_[Clamp(channel)];
  if (ch.decoder.Codec() == codec) return;
  ch.decoder.SetCodec(codec);
  ch.decoder.SetBrightness(ch.brightness);
  ch.decoder.SetContrast(ch.contrast);
}

void CDecoder::ResetPictures() {
  std::lock_guard<CSync> hold(lock_);
  for (Channel& ch : channels_) ch.decoder.ForgetPicture();
}

float CDecoder::Contrast(int channel) const {
  std::lock_guard<CSync> hold(lock_);
  return channels_[Clamp(channel)].contrast;
}

float CDecoder::Brightness(int channel) const {
  std::lock_guard<CSync> hold(lock_);
  return channels_[Clamp(channel)].brightness;
}

int CDecoder::FlipModeOf(int channel) const {
  return channels_[Clamp(channel)].flip.load(std::memory_order_relaxed);
}

void CDecoder::GetPictureSize(int channel, int* width, int* height) const {
  std::lock_guard<CSync> hold(lock_);
  channels_[Clamp(channel)].decoder.GetPictureSize(width, height);
}
