// Image buffers over cv::Mat: a picture of 8-bit samples, 1 to 4 channels in OpenCV's order
// (BGR for colour), whose pixels are shared between copies until a writer detaches them.
#pragma once

#include <opencv2/core.hpp>
#include <type_traits>

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

  // An empty image.
  explicit CLumImgBase(eIplBase_Type type = kIplU8);
  // An image of the given size, zeroed; empty when the size is refused.
  CLumImgBase(int width, int height, int channels, eIplBase_Type type);
  virtual ~CLumImgBase();

  // Copies share the pixels; _CopyBeforeWrite or AssignCopy give an image pixels of its own.
  CLumImgBase(const CLumImgBase&) = default;
  CLumImgBase& operator=(const CLumImgBase&) = default;
  CLumImgBase(CLumImgBase&&) noexcept = default;
  CLumImgBase& operator=(CLumImgBase&&) noexcept = default;

  // (Re)allocates the pixels for a width x height picture of 1 to 4 channels. Pixels are kept when
  // the image already has that shape and does not share them, zeroed when new. Sizes that are not
  // positive or larger than kMaxSide are refused: the image is then empty and the result false.
  // The last three parameters are accepted for callers' sake and not used.
  bool Allocate(int width, int height, int channels, bool reserved = true,
                const char* unused1 = nullptr, const char* unused2 = nullptr);

  // Gives the image pixels of its own when they are shared; call before writing into them.
  void _CopyBeforeWrite();
  // Makes this image an equal copy of other, with pixels of its own.
  void AssignCopy(const CLumImgBase& other);

  IplView Ipl() const;
  int Width() const { return mat_.cols; }
  int Height() const { return mat_.rows; }
  int Channels() const { return mat_.empty() ? 0 : mat_.channels(); }
  bool Empty() const { return mat_.empty(); }
  eIplBase_Type Type() const { return type_; }
  cv::Mat& Mat() { return mat_; }
  const cv::Mat& Mat() const { return mat_; }
  // True when another image (or Mat) holds the same pixels.
  bool IsShared() const;

  // Writes the picture to a file: JPEG when the name ends in .jpg or .jpeg, otherwise the format
  // the extension names. False for an empty image, an unknown format or a failed write.
  bool SaveImage(const char* path) const;

 protected:
  cv::Mat mat_;
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
  T* Row(int y) { return mat_.ptr<T>(y); }
  const T* Row(int y) const { return mat_.ptr<T>(y); }
};
