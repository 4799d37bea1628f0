// SPDX-License-Identifier: GPL-3.0-or-later
// Image buffers: a picture of 8-bit samples, 1 to 4 channels (BGR order for colour, BGRX for four),
// whose pixels are shared between copies until a writer detaches them, and written out as JPEG.
#pragma once

#include <cstddef>
#include <memory>
#include <type_traits>
#include <vector>

// Sample types an image can hold (bits per sample).
enum eIplBase_Type { kIplU8 = 8 };

// The classic image header fields the media code reads: size, channels, row stride in bytes and
// the first pixel. It is a view: the image keeps owning the pixels.
struct IplView {
  int width = 0;
  int height = 0;
  int nChannels = 0;
  int widthStep = 0;
  unsigned char* imageData = nullptr;
};

class CLumImgBase {
 public:
  // The largest width or height an image may have.
  static constexpr int kMaxSide = 16384;
  // Rows start this many bytes apart at least (the stride is a multiple of it), and the first row
  // on such a boundary: vector code reading or writing whole rows stays aligned, and the padding
  // after a row's last pixel is never part of the picture.
  static constexpr int kRowAlign = 32;

  // An empty image.
  explicit CLumImgBase(eIplBase_Type type = kIplU8);
  // An image of the given size, zeroed; empty when the size is refused.
  CLumImgBase(int width, int height, int channels, eIplBase_Type type);
  virtual ~CLumImgBase();

  // Copies share the pixels; _CopyBeforeWrite or AssignCopy give an image pixels of its own.
  // A moved-from image is empty.
  CLumImgBase(const CLumImgBase&) = default;
  CLumImgBase& operator=(const CLumImgBase&) = default;
  CLumImgBase(CLumImgBase&& other) noexcept;
  CLumImgBase& operator=(CLumImgBase&& other) noexcept;

  // (Re)allocates the pixels for a width x height picture of 1 to 4 channels. Pixels are kept when
  // the image already has that shape and does not share them, zeroed when new. Sizes that are not
  // positive or larger than kMaxSide are refused: the image is then empty and the result false
  // (also when memory runs out). The last three parameters are accepted for callers' sake and not
  // used.
  bool Allocate(int width, int height, int channels, bool reserved = true,
                const char* unused1 = nullptr, const char* unused2 = nullptr);

  // Gives the image pixels of its own when they are shared; call before writing into them. When
  // memory runs out the pixels stay shared.
  void _CopyBeforeWrite();
  // Makes this image an equal copy of other, with pixels of its own (empty when memory runs out).
  void AssignCopy(const CLumImgBase& other);

  // Writers of the whole picture. Each detaches shared pixels first, so that copies keep theirs;
  // false, with the picture unchanged, for an empty image or when the pixels cannot be detached.
  //
  // Sets every sample to zero (black).
  bool Clear();
  // Flips the picture in place. code 0: around the horizontal axis (upside down); a positive code
  // (1): around the vertical axis (mirror); a negative one (-1): around both (a half turn). Only
  // the pixels move: the padding at the end of each row stays.
  bool Flip(int code);

  IplView Ipl() const;
  int Width() const { return width_; }
  int Height() const { return height_; }
  int Channels() const { return channels_; }
  bool Empty() const { return pixels_ == nullptr; }
  eIplBase_Type Type() const { return type_; }
  // True when another image holds the same pixels.
  bool IsShared() const { return pixels_ != nullptr && pixels_.use_count() > 1; }

  // Encodes the picture as a baseline JPEG into *out (replacing what it held; left alone on
  // failure). quality runs from 1 to 100. Colour is stored with 4:2:0 chroma subsampling, as
  // cameras and most encoders store it: on a 1080p camera picture 4:4:4 takes about twice as long
  // and makes the file 1.3 to 1.8 times as large (docs/performance.md) for colour detail finer
  // than the camera's own H.264 pictures carry, which are 4:2:0 themselves. One channel gives a
  // greyscale JPEG; four channels are read as BGRX. False, with errno EINVAL, for an empty image,
  // a two-channel one, a null out or a quality outside 1..100; ENOMEM when the encoder fails (its
  // only failure on valid input is memory).
  bool EncodeJpeg(std::vector<unsigned char>* out, int quality = 90) const;

  // Writes the picture as a JPEG file (EncodeJpeg's default quality); the name must end in .jpg or
  // .jpeg, in any case. The file is written under a temporary name in the same folder, flushed to
  // the disk and renamed into place, so that path only ever holds the old file or the whole new
  // one, and nothing is left behind on failure. False with errno telling why: EINVAL for an empty
  // image, a missing path or another extension, otherwise the system's reason the file could not
  // be written (ENOENT, EACCES, ENOSPC, EROFS, EFBIG...).
  bool SaveImage(const char* path) const;

 protected:
  unsigned char* RowPtr(int y) const {
    return pixels_.get() + static_cast<std::size_t>(y) * static_cast<std::size_t>(stride_);
  }

 private:
  // A zeroed buffer of bytes bytes on a kRowAlign boundary; null when memory runs out.
  static std::shared_ptr<unsigned char> NewPixels(std::size_t bytes);
  std::size_t Bytes() const {
    return static_cast<std::size_t>(stride_) * static_cast<std::size_t>(height_);
  }
  void Reset();

  std::shared_ptr<unsigned char> pixels_;  // Bytes() bytes, rows stride_ apart; null when empty
  int width_ = 0;
  int height_ = 0;
  int channels_ = 0;
  int stride_ = 0;
  eIplBase_Type type_;
};

// An image whose samples are of type T (Depth bits). CLumImgTempl<unsigned char, 8> is the one
// the program uses.
template <class T, int Depth>
class CLumImgTempl : public CLumImgBase {
  static_assert(std::is_same_v<T, unsigned char> && Depth == kIplU8,
                "only 8-bit unsigned samples are supported");

 public:
  CLumImgTempl() : CLumImgBase(static_cast<eIplBase_Type>(Depth)) {}
  CLumImgTempl(int width, int height, int channels)
      : CLumImgBase(width, height, channels, static_cast<eIplBase_Type>(Depth)) {}

  // The first sample of row y (no detaching: call _CopyBeforeWrite before writing).
  T* Row(int y) { return RowPtr(y); }
  const T* Row(int y) const { return RowPtr(y); }
};
