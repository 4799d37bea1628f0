// SPDX-License-Identifier: GPL-3.0-or-later
// The card library and the card recording parser on one recording file: the card is found, its
// recordings listed and described, and the recording read packet by packet to its end and again
// after seeks, and its text records read alone by the text scan (the map's track) and as a
// track. Nothing the file holds may crash, hang or read outside a buffer.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "media/CVEXParser.h"
#include "support/Diag.h"
#include "telemetry/TrackReader.h"
#include "vexlib/vexlib.h"

namespace {

constexpr int kMaxPackets = 20000;  // far more than a small input holds; keeps a loop finite

struct Card {
  std::string root = fuzz::ScratchDir() + "/card";
  std::string file = root + "/VEX/REC_20240612_081500_D.vex";
  VexLibrary lib;
  CVEXParser parser;
  std::vector<unsigned char> buffer = std::vector<unsigned char>(kPacketBufferSize);
  Card() {
    std::filesystem::create_directories(root + "/VEX");
    DiagSetOutput(nullptr);
    VexInitialise(lib.get(), root.c_str());
    parser.SetLibraryHandle(lib.get());
    parser.Start();
  }
};

void ReadAll(Card& c) {
  for (int i = 0; i < kMaxPackets; ++i) {
    char tag[8] = {};
    int size = kPacketBufferSize;
    if (c.parser.ReadPacket(tag, c.buffer.data(), &size) < 0) break;
    if (size < 0 || size > kPacketBufferSize) __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Card c;
  if (!fuzz::WriteInput(c.file, data, size)) return 0;
  char drive = 0;
  VexCardPoll(c.lib.get(), &drive);
  VexCardAttach(c.lib.get());
  for (int kind : {kVexContinuous, kVexEvent}) {
    const int n = VexKindCount(c.lib.get(), drive, kind);
    if (n <= 0 || n > 4) continue;
    std::vector<char> names(std::size_t(n) * kVexNameBytes);
    std::vector<std::uint8_t> sizes(std::size_t(n) * kVexSizeBytes);
    std::vector<int> values(static_cast<std::size_t>(n));
    VexKindList(c.lib.get(), drive, kind, n, names.data(), sizes.data(), values.data());
  }
  std::uint8_t header[kVexHeaderBytes];
  std::uint16_t front = 0, rear = 0;
  char path[kVexPathBytes], text[kVexTextBytes], scratch[kVexScratchBytes];
  VexDescribe(c.lib.get(), "REC_20240612_081500_D.avi", header, &front, &rear, path, text,
              scratch);
  if (std::memchr(text, 0, sizeof text) == nullptr) __builtin_trap();

  RecordingInfo info;
  if (c.parser.Open("/REC_20240612_081500_D.avi", &info)) {
    ReadAll(c);
    c.parser.SeekTime(1.0f);
    ReadAll(c);
    c.parser.SeekTime(1e9f);
    ReadAll(c);
    c.parser.Close();
  }
  // The text scan, as the track reader runs it beside playback.
  if (c.parser.OpenTextScan("/REC_20240612_081500_D.avi")) {
    for (int i = 0; i < kMaxPackets; ++i) {
      int length = 0, timeMs = 0;
      const TextScanStatus status =
          c.parser.ReadTextRecord(c.buffer.data(), kPacketBufferSize, &length, &timeMs);
      if (status == TextScanStatus::kEnd || status == TextScanStatus::kFailed) break;
      if (status == TextScanStatus::kRecord && (length < 0 || length > kPacketBufferSize)) {
        __builtin_trap();
      }
    }
    c.parser.CloseTextScan();
  }
  Track track;
  ReadRecordingTrack(c.lib.get(), "REC_20240612_081500_D.avi", &track, nullptr);
  for (const auto& segment : track.segments) {
    for (const auto& p : segment) {
      if (!(p.latitude >= -90 && p.latitude <= 90 && p.longitude >= -180 && p.longitude <= 180)) {
        __builtin_trap();
      }
    }
  }

  RecordingInfo indexed;
  if (c.parser.OpenIndexed("/REC_20240612_081500_D.avi", &indexed)) c.parser.Close();
  return 0;
}
