// SPDX-License-Identifier: GPL-3.0-or-later
// The AVI reader on one file: opened plainly and with its index, read to the end, sought. Nothing
// the file holds may crash, hang or read outside a buffer.
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "media/CAVIExtractor.h"
#include "support/Diag.h"

namespace {

constexpr int kMaxPackets = 20000;

void ReadAll(CAVIExtractor& avi, std::vector<unsigned char>& buffer) {
  for (int i = 0; i < kMaxPackets; ++i) {
    char tag[8] = {};
    int size = kPacketBufferSize;
    if (avi.ReadPacket(tag, buffer.data(), &size) < 0) break;
    if (size < 0 || size > kPacketBufferSize) __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string file = fuzz::ScratchDir() + "/input.avi";
  static std::vector<unsigned char> buffer(kPacketBufferSize);
  static const bool quiet = (DiagSetOutput(nullptr), true);
  (void)quiet;
  if (!fuzz::WriteInput(file, data, size)) return 0;
  {
    CAVIExtractor avi;
    RecordingInfo info;
    if (avi.Open(file.c_str(), &info) != 0) {
      int dims[2];
      avi.GetVideoSize(dims, 0);
      avi.GetVideoSize(dims, 1);
      ReadAll(avi, buffer);
      avi.SeekTime(0.5f);
      ReadAll(avi, buffer);
      avi.Close();
    }
  }
  {
    CAVIExtractor avi;
    RecordingInfo info;
    if (avi.OpenIndexed(file.c_str(), &info)) {
      for (float t : {0.0f, 0.04f, 1.0f, 3600.0f, -1.0f}) {
        avi.SeekTime(t);
        char tag[8] = {};
        int n = kPacketBufferSize;
        avi.ReadPacket(tag, buffer.data(), &n);
      }
      avi.Close();
    }
  }
  return 0;
}
