#include "support/LumImg.h"

#include <cctype>
#include <cstring>
#include <opencv2/imgcodecs.hpp>
#include <string>
#include <vector>

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

}  // namespace

CLumImgBase::CLumImgBase(eIplBase_Type type) : type_(type) {}

CLumImgBase::CLumImgBase(int width, int height, int channels, eIplBase_Type type) : type_(type) {
  Allocate(width, height, channels, true, nullptr, nullptr);
}

CLumImgBase::~CLumImgBase() = default;

bool CLumImgBase::Allocate(int width, int height, int channels, bool reserved, const char* unused1,
                           const char* unused2) {
  (void)reserved;
  (void)unused1;
  (void)unused2;
  if (type_ != kIplU8 || width <= 0 || height <= 0 || width > kMaxSide || height > kMaxSide ||
      channels < 1 || channels > 4) {
    mat_.release();
    return false;
  }
  const int matType = CV_8UC(channels);
  if (mat_.rows == height && mat_.cols == width && mat_.type() == matType && !IsShared() &&
      mat_.isContinuous()) {
    return true;
  }
  try {
    // A new buffer, never one still shared with a copy (assigning Mat::zeros would write the
    // zeros into the current buffer when the shape matches).
    mat_ = cv::Mat(height, width, matType, cv::Scalar::all(0));
  } catch (const cv::Exception&) {
    mat_.release();
    return false;
  }
  return true;
}

void CLumImgBase::_CopyBeforeWrite() {
  if (!IsShared()) return;
  try {
    mat_ = mat_.clone();
  } catch (const cv::Exception&) {
    // Out of memory: the pixels stay shared.
  }
}

void CLumImgBase::AssignCopy(const CLumImgBase& other) {
  if (this == &other) {
    _CopyBeforeWrite();
    return;
  }
  type_ = other.type_;
  try {
    // clone, not copyTo: copyTo would reuse a buffer this image shares with other.
    mat_ = other.mat_.empty() ? cv::Mat() : other.mat_.clone();
  } catch (const cv::Exception&) {
    mat_.release();
  }
}

IplView CLumImgBase::Ipl() const {
  IplView view;
  if (mat_.empty()) return view;
  view.width = mat_.cols;
  view.height = mat_.rows;
  view.nChannels = mat_.channels();
  view.widthStep = static_cast<int>(mat_.step[0]);
  view.imageData = mat_.data;
  return view;
}

bool CLumImgBase::IsShared() const { return mat_.u != nullptr && mat_.u->refcount > 1; }

bool CLumImgBase::SaveImage(const char* path) const {
  if (path == nullptr || *path == '\0' || mat_.empty()) return false;
  const std::string name(path);
  std::vector<int> params;
  if (EndsWithNoCase(name, ".jpg") || EndsWithNoCase(name, ".jpeg")) {
    params = {cv::IMWRITE_JPEG_QUALITY, 95};
  }
  try {
    return cv::imwrite(name, mat_, params);
  } catch (const cv::Exception&) {
    return false;
  }
}
