// SPDX-License-Identifier: GPL-3.0-or-later
// Helpers for the card library's tests: synthetic recordings written with VexWriter, temporary card
// folders, and an independent walk of a written file that tells where every packet lies.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "support/testing/TempDir.h"
#include "vexlib/VexFormat.h"
#include "vexlib/VexReader.h"
#include "vexlib/VexWriter.h"

namespace vextest {

namespace fs = std::filesystem;

struct TestPacket {
  std::uint8_t channel = 0;
  std::uint8_t type = 0;
  std::uint32_t timeMs = 0;
  std::vector<std::uint8_t> payload;
};

inline bool SamePacket(const TestPacket& a, std::uint8_t channel, std::uint8_t type,
                       const std::uint8_t* payload, std::size_t size) {
  return a.channel == channel && a.type == type && a.payload.size() == size &&
         (size == 0 || std::memcmp(a.payload.data(), payload, size) == 0);
}

struct Shape {
  int frontFrames = 75;  // at 30 per second
  bool rear = true;
  std::uint32_t maxPicture = 40;  // payload sizes 8..maxPicture (plus the 4-byte sequence number)
  std::uint32_t soundBytes = 24;  // one sound packet every 7 front pictures
  std::uint32_t seed = 1;
};

// Packets in the order a camera produces them: each front picture, then its rear picture, sound
// every 7 front pictures, a GPS sentence every 30 and a G-sensor sample every 3. Every payload
// starts with a distinct sequence number, so no two packets are equal.
inline std::vector<TestPacket> MakePackets(const Shape& s) {
  std::mt19937 rng(s.seed);
  std::vector<TestPacket> out;
  std::uint32_t seq = 0;
  auto body = [&](std::vector<std::uint8_t>& p, std::uint32_t n) {
    for (std::uint32_t i = 0; i < n; ++i) p.push_back(std::uint8_t(rng()));
  };
  auto sequenced = [&](std::uint8_t channel, std::uint8_t type, std::uint32_t t, std::uint32_t n) {
    TestPacket p;
    p.channel = channel;
    p.type = type;
    p.timeMs = t;
    p.payload.resize(4);
    vex::Store32(p.payload.data(), seq++);
    body(p.payload, n);
    out.push_back(std::move(p));
  };
  for (int i = 0; i < s.frontFrames; ++i) {
    const std::uint32_t t = std::uint32_t(i) * 1000 / 30;
    const std::uint8_t type = i % 30 == 0 ? vex::kTypeKeyPicture : vex::kTypePicture;
    sequenced(0, type, t, 8 + rng() % (s.maxPicture - 7));
    if (s.rear) sequenced(1, type, t, 8 + rng() % (s.maxPicture - 7));
    if (i % 7 == 0) sequenced(0, vex::kTypeSound, t, s.soundBytes);
    if (i % 30 == 0) {
      TestPacket p;
      p.type = vex::kTypeText;
      p.timeMs = t;
      std::string text =
          "G$GPRMC,120000.00,A,3733.96,N,12658.68,E,30.0,90.0,010314,,,A*" + std::to_string(seq++);
      p.payload.assign(text.begin(), text.end());
      out.push_back(std::move(p));
    }
    if (i % 3 == 0) {
      TestPacket p;
      p.type = vex::kTypeText;
      p.timeMs = t;
      std::string text = "M0.01,-0.02,0.98," + std::to_string(seq++);
      p.payload.assign(text.begin(), text.end());
      out.push_back(std::move(p));
    }
  }
  return out;
}

// The counts a reader should report for packets as written.
inline vex::Counts CountOf(const std::vector<TestPacket>& packets) {
  vex::Counts c;
  for (const TestPacket& p : packets) {
    if (p.type == vex::kTypeKeyPicture || p.type == vex::kTypePicture) {
      (p.channel == 0 ? c.front : c.rear)++;
    } else if (p.type == vex::kTypeSound) {
      c.audio++;
    } else if (!p.payload.empty() && p.payload[0] == 'G') {
      c.gps++;
    } else if (!p.payload.empty() && p.payload[0] == 'M') {
      c.gsensor++;
    }
  }
  return c;
}

inline vex::Header MakeHeader(bool rear) {
  vex::Header h;
  h.frontRate = 30;
  h.rearRate = rear ? 30 : 0;
  h.frontWidth = 1280;
  h.frontHeight = 720;
  h.rearWidth = rear ? 640 : 0;
  h.rearHeight = rear ? 360 : 0;
  h.model = "RE-2CH";
  h.firmware = "1.0.0";
  return h;
}

enum class Ending { kClosed, kPowerCut, kPowerCutHalfBlock };

inline bool WriteRecording(const std::string& path, const std::vector<TestPacket>& packets,
                           bool rear, Ending ending = Ending::kClosed) {
  vex::VexWriter w;
  if (!w.Open(path, MakeHeader(rear))) return false;
  for (const TestPacket& p : packets) {
    if (!w.AddPacket(p.channel, p.type, p.payload.data(), std::uint32_t(p.payload.size()),
                     p.timeMs)) {
      return false;
    }
  }
  switch (ending) {
    case Ending::kClosed:
      return w.Close();
    case Ending::kPowerCut:
      w.Abandon(false);
      return true;
    case Ending::kPowerCutHalfBlock:
      w.Abandon(true);
      return true;
  }
  return false;
}

inline std::vector<std::uint8_t> ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

inline void WriteAll(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

// Where things lie in a file as written (an independent walk over the layout, no library code).
struct Layout {
  std::vector<std::uint64_t> blockOffsets;
  std::vector<std::uint64_t> recordOffsets;  // every packet record, in file order
  std::vector<std::uint64_t> packetEnds;     // end of each packet's payload, same order
  std::vector<std::size_t> recordBlock;      // the block of each record, same order
  std::uint64_t indexOffset = 0;             // 0 without an index
};

inline Layout Walk(const std::vector<std::uint8_t>& f) {
  Layout l;
  std::uint64_t pos = vex::kHeaderSize;
  const bool finalised = f.size() >= vex::kHeaderSize && (f[7] & vex::kFlagFinalised);
  std::uint64_t end = f.size();
  if (finalised) {
    l.indexOffset = vex::Load64(f.data() + 56);
    end = l.indexOffset;
  }
  while (pos + vex::kBlockHeaderSize <= end && std::memcmp(&f[pos], "VBLK", 4) == 0) {
    l.blockOffsets.push_back(pos);
    const std::uint32_t bytes = vex::Load32(&f[pos + 8]);
    std::uint64_t r = pos + vex::kBlockHeaderSize;
    const std::uint64_t blockEnd = r + bytes;
    while (r + vex::kPacketHeaderSize <= std::min<std::uint64_t>(blockEnd, end)) {
      const std::uint32_t size = vex::Load32(&f[r + 4]);
      l.recordOffsets.push_back(r);
      l.packetEnds.push_back(r + vex::kPacketHeaderSize + size);
      l.recordBlock.push_back(l.blockOffsets.size() - 1);
      r += vex::kPacketHeaderSize + size;
    }
    pos = blockEnd;
  }
  return l;
}

using TempDir = roadeye_test::TempDir;

// Checks that `delivered` is `written` with some packets left out: same order, nothing new.
inline ::testing::AssertionResult IsSubsequence(const std::vector<TestPacket>& delivered,
                                                const std::vector<TestPacket>& written) {
  std::size_t j = 0;
  for (std::size_t i = 0; i < delivered.size(); ++i) {
    const TestPacket& d = delivered[i];
    while (j < written.size() &&
           !SamePacket(written[j], d.channel, d.type, d.payload.data(), d.payload.size())) {
      ++j;
    }
    if (j == written.size()) {
      return ::testing::AssertionFailure()
             << "delivered packet " << i << " (channel " << int(d.channel) << ", type "
             << int(d.type) << ", " << d.payload.size() << " bytes) was never written there";
    }
    ++j;
  }
  return ::testing::AssertionSuccess();
}

}  // namespace vextest
