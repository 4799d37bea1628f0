// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/LumImg.h"

#include <fcntl.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <new>
#include <string>
#include <utility>

namespace {

bool EndsWithNoCase(const std::string& text, const char* suffix) {
  const std::size_t n = std::strlen(suffix);
  if (text.size() < n) return false;
  for (std::size_t i = 0; i < n; ++i) {
    const auto a = static_cast<unsigned char>(text[text.size() - n + i]);
    if (std::tolower(a) != static_cast<unsigned char>(suffix[i])) return false;
  }
  return true;
}

// ---- flipping ---------------------------------------------------------------------------------

// Swaps pixel x of row a with pixel width - 1 - x of row b, for every x; a and b are distinct
// rows of N-byte pixels.
template <int N>
void SwapRowsMirrored(unsigned char* a, unsigned char* b, int width) {
  unsigned char* q = b + static_cast<std::size_t>(width - 1) * N;
  for (int x = 0; x < width; ++x, a += N, q -= N) {
    for (int c = 0; c < N; ++c) std::swap(a[c], q[c]);
  }
}

// Reverses the order of a row's N-byte pixels.
template <int N>
void MirrorRow(unsigned char* row, int width) {
  unsigned char* a = row;
  unsigned char* b = row + static_cast<std::size_t>(width - 1) * N;
  for (; a < b; a += N, b -= N) {
    for (int c = 0; c < N; ++c) std::swap(a[c], b[c]);
  }
}

// Flips width x height pixels of N bytes whose rows start stride bytes apart; the bytes between a
// row's last pixel and the next row are left alone.
template <int N>
void FlipPixels(unsigned char* data, std::size_t stride, int width, int height, int code) {
  const std::size_t rowBytes = static_cast<std::size_t>(width) * N;
  unsigned char* top = data;
  unsigned char* bottom = data + stride * static_cast<std::size_t>(height - 1);
  if (code == 0) {  // upside down: whole rows trade places
    for (; top < bottom; top += stride, bottom -= stride) {
      std::swap_ranges(top, top + rowBytes, bottom);
    }
  } else if (code > 0) {  // mirror: each row on its own
    for (int y = 0; y < height; ++y)
      MirrorRow<N>(data + stride * static_cast<std::size_t>(y), width);
  } else {  // both: the first pixel trades with the last, and so on inwards
    for (; top < bottom; top += stride, bottom -= stride) SwapRowsMirrored<N>(top, bottom, width);
    if (top == bottom) MirrorRow<N>(top, width);  // the middle row of an odd height
  }
}

// ---- writing a file whole ---------------------------------------------------------------------

bool WriteAll(int fd, const unsigned char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) {  // no progress and no reason given
      errno = EIO;
      return false;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// Writes data to path through a new temporary file in the same folder, flushed to the disk and
// then renamed over path: a crash, a full card or a card pulled half-way leaves the old file or
// the whole new one, never a part, and a failure removes the temporary file. False with errno
// telling why. (platform/WholeFile does the same for the layers above; this one is small enough to
// keep here rather than make the image buffer depend on them.)
bool WriteFileWhole(const std::string& path, const unsigned char* data, std::size_t size) {
  static std::atomic<unsigned> counter{0};
  const std::size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);

  // A short name of our own rather than one made from the target's: a name near the file
  // system's limit would otherwise not fit.
  std::string temp;
  int fd = -1;
  for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
    temp = dir + ".roadeye-" + std::to_string(::getpid()) + "-" +
           std::to_string(counter.fetch_add(1)) + ".tmp";
    fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
    if (fd < 0 && errno != EEXIST) return false;
  }
  if (fd < 0) return false;

  bool ok = WriteAll(fd, data, size) && ::fsync(fd) == 0;
  int error = errno;
  if (::close(fd) != 0 && ok) {
    ok = false;
    error = errno;
  }
  if (ok && ::rename(temp.c_str(), path.c_str()) != 0) {
    ok = false;
    error = errno;
  }
  if (!ok) {
    ::unlink(temp.c_str());
    errno = error;  // the caller tells the user why
    return false;
  }
  // Best effort: make the new name durable too.
  const int dirFd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd >= 0) {
    (void)::fsync(dirFd);
    ::close(dirFd);
  }
  return true;
}

}  // namespace

CLumImgBase::CLumImgBase(eIplBase_Type type) : type_(type) {}

CLumImgBase::CLumImgBase(int width, int height, int channels, eIplBase_Type type) : type_(type) {
  Allocate(width, height, channels, true, nullptr, nullptr);
}

CLumImgBase::~CLumImgBase() = default;

CLumImgBase::CLumImgBase(CLumImgBase&& other) noexcept
    : pixels_(std::move(other.pixels_)),
      width_(other.width_),
      height_(other.height_),
      channels_(other.channels_),
      stride_(other.stride_),
      type_(other.type_) {
  other.Reset();
}

CLumImgBase& CLumImgBase::operator=(CLumImgBase&& other) noexcept {
  if (this != &other) {
    pixels_ = std::move(other.pixels_);
    width_ = other.width_;
    height_ = other.height_;
    channels_ = other.channels_;
    stride_ = other.stride_;
    type_ = other.type_;
    other.Reset();
  }
  return *this;
}

void CLumImgBase::Reset() {
  pixels_.reset();
  width_ = height_ = channels_ = stride_ = 0;
}

std::shared_ptr<unsigned char> CLumImgBase::NewPixels(std::size_t bytes) {
  void* raw = ::operator new(bytes, std::align_val_t(kRowAlign), std::nothrow);
  if (raw == nullptr) return nullptr;
  try {
    // On failure the shared_ptr's constructor hands the buffer to the deleter itself.
    return std::shared_ptr<unsigned char>(static_cast<unsigned char*>(raw), [](unsigned char* p) {
      ::operator delete(p, std::align_val_t(kRowAlign));
    });
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

bool CLumImgBase::Allocate(int width, int height, int channels, bool reserved, const char* unused1,
                           const char* unused2) {
  (void)reserved;
  (void)unused1;
  (void)unused2;
  if (type_ != kIplU8 || width <= 0 || height <= 0 || width > kMaxSide || height > kMaxSide ||
      channels < 1 || channels > 4) {
    Reset();
    return false;
  }
  if (pixels_ != nullptr && width_ == width && height_ == height && channels_ == channels &&
      !IsShared()) {
    return true;
  }
  const int stride = (width * channels + kRowAlign - 1) / kRowAlign * kRowAlign;
  const std::size_t bytes = static_cast<std::size_t>(stride) * static_cast<std::size_t>(height);
  // A new buffer, never one still shared with a copy.
  std::shared_ptr<unsigned char> pixels = NewPixels(bytes);
  if (pixels == nullptr) {
    Reset();
    return false;
  }
  std::memset(pixels.get(), 0, bytes);
  pixels_ = std::move(pixels);
  width_ = width;
  height_ = height;
  channels_ = channels;
  stride_ = stride;
  return true;
}

void CLumImgBase::_CopyBeforeWrite() {
  if (!IsShared()) return;
  std::shared_ptr<unsigned char> own = NewPixels(Bytes());
  if (own == nullptr) return;  // out of memory: the pixels stay shared
  std::memcpy(own.get(), pixels_.get(), Bytes());
  pixels_ = std::move(own);
}

void CLumImgBase::AssignCopy(const CLumImgBase& other) {
  if (this == &other) {
    _CopyBeforeWrite();
    return;
  }
  type_ = other.type_;
  if (other.Empty()) {
    Reset();
    return;
  }
  // Always a new buffer: this image's own may be the one it shares with other.
  std::shared_ptr<unsigned char> own = NewPixels(other.Bytes());
  if (own == nullptr) {
    Reset();
    return;
  }
  std::memcpy(own.get(), other.pixels_.get(), other.Bytes());
  pixels_ = std::move(own);
  width_ = other.width_;
  height_ = other.height_;
  channels_ = other.channels_;
  stride_ = other.stride_;
}

bool CLumImgBase::Clear() {
  if (Empty()) return false;
  if (IsShared()) {
    // The copies keep the old pixels; this image needs none of them.
    std::shared_ptr<unsigned char> own = NewPixels(Bytes());
    if (own == nullptr) return false;
    pixels_ = std::move(own);
  }
  std::memset(pixels_.get(), 0, Bytes());
  return true;
}

bool CLumImgBase::Flip(int code) {
  if (Empty()) return false;
  _CopyBeforeWrite();
  if (IsShared()) return false;
  const std::size_t stride = static_cast<std::size_t>(stride_);
  switch (channels_) {
    case 1:
      FlipPixels<1>(pixels_.get(), stride, width_, height_, code);
      break;
    case 2:
      FlipPixels<2>(pixels_.get(), stride, width_, height_, code);
      break;
    case 3:
      FlipPixels<3>(pixels_.get(), stride, width_, height_, code);
      break;
    default:
      FlipPixels<4>(pixels_.get(), stride, width_, height_, code);
      break;
  }
  return true;
}

IplView CLumImgBase::Ipl() const {
  IplView view;
  if (Empty()) return view;
  view.width = width_;
  view.height = height_;
  view.nChannels = channels_;
  view.widthStep = stride_;
  view.imageData = pixels_.get();
  return view;
}

bool CLumImgBase::EncodeJpeg(std::vector<unsigned char>* out, int quality) const {
  if (out == nullptr || Empty() || quality < 1 || quality > 100) {
    errno = EINVAL;
    return false;
  }
  int format = TJPF_BGR;
  int subsampling = TJSAMP_420;
  switch (channels_) {
    case 1:
      format = TJPF_GRAY;
      subsampling = TJSAMP_GRAY;
      break;
    case 3:
      break;
    case 4:
      format = TJPF_BGRX;
      break;
    default:  // two channels have no JPEG form
      errno = EINVAL;
      return false;
  }
  tjhandle encoder = tjInitCompress();
  if (encoder == nullptr) {
    errno = ENOMEM;
    return false;
  }
  // The encoder allocates a buffer large enough for the worst case and hands it back.
  unsigned char* jpeg = nullptr;
  unsigned long size = 0;
  bool ok = tjCompress2(encoder, pixels_.get(), width_, stride_, height_, format, &jpeg, &size,
                        subsampling, quality, 0) == 0 &&
            jpeg != nullptr && size > 0;
  if (ok) {
    try {
      out->assign(jpeg, jpeg + size);
    } catch (const std::bad_alloc&) {
      ok = false;
    }
  }
  tjFree(jpeg);
  tjDestroy(encoder);
  if (!ok) errno = ENOMEM;
  return ok;
}

bool CLumImgBase::SaveImage(const char* path) const {
  if (path == nullptr || *path == '\0' || Empty()) {
    errno = EINVAL;
    return false;
  }
  const std::string name(path);
  if (!EndsWithNoCase(name, ".jpg") && !EndsWithNoCase(name, ".jpeg")) {
    errno = EINVAL;
    return false;
  }
  std::vector<unsigned char> jpeg;
  if (!EncodeJpeg(&jpeg)) return false;
  return WriteFileWhole(name, jpeg.data(), jpeg.size());
}
