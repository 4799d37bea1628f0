// SPDX-License-Identifier: GPL-3.0-or-later
// Builds small cards for the parser tests: recordings written with the camera's writer, with
// payloads that say which packet they are, and an independent walk of a finished file that lists
// the packets it holds.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "vexlib/VexFormat.h"
#include "vexlib/VexWriter.h"

namespace testcard {

struct Packet {
  std::uint8_t channel = 0;
  std::uint8_t type = 0;
  std::vector<std::uint8_t> payload;
  bool operator==(const Packet&) const = default;
};

// A temporary folder laid out as a card, removed at the end of the test.
class CardDir {
 public:
  CardDir() {
    char tmpl[] = "/tmp/roadeye-card-XXXXXX";
    root_ = mkdtemp(tmpl);
    std::filesystem::create_directories(root_ / "VEX");
    std::filesystem::create_directories(root_ / "SETTING");
  }
  ~CardDir() {
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
  }
  CardDir(const CardDir&) = delete;
  CardDir& operator=(const CardDir&) = delete;
  std::string root() const { return root_.string(); }
  std::string vex(const std::string& stem) const {
    return (root_ / "VEX" / (stem + ".vex")).string();
  }

 private:
  std::filesystem::path root_;
};

// A picture payload in start-code form: key pictures carry an SPS NAL header byte (0x67), others a
// non-IDR slice (0x41); then the picture's number and camera so that every payload is distinct.
inline std::vector<std::uint8_t> PicturePayload(int camera, int number, bool key, int extra = 0) {
  std::vector<std::uint8_t> p = {0, 0, 0, 1, std::uint8_t(key ? 0x67 : 0x41)};
  for (int i = 0; i < 4; ++i) p.push_back(std::uint8_t(number >> (8 * i)));
  p.push_back(std::uint8_t(camera));
  for (int i = 0; i < 40 + (number % 7) * 13 + extra; ++i)
    p.push_back(std::uint8_t(i * 31 + number));
  return p;
}

// Writes `seconds` of a 30 fps recording: front (and rear) pictures, a 3840-byte sound packet
// every 240 ms, a GPS record each second and a G-sensor record every 100 ms. Returns the packets
// in file order.
inline std::vector<Packet> WriteRecording(const std::string& path, int seconds, bool rear,
                                          bool finish = true) {
  vex::Header h;
  h.frontRate = 30;
  h.rearRate = rear ? 30 : 0;
  h.frontWidth = 1280;
  h.frontHeight = 720;
  h.rearWidth = rear ? 640 : 0;
  h.rearHeight = rear ? 360 : 0;
  h.model = "TEST";
  vex::VexWriter w;
  std::vector<Packet> out;
  if (!w.Open(path, h)) return out;
  auto add = [&](std::uint8_t ch, std::uint8_t type, std::vector<std::uint8_t> data,
                 std::uint32_t ms) {
    w.AddPacket(ch, type, data.data(), std::uint32_t(data.size()), ms);
    out.push_back(Packet{ch, type, std::move(data)});
  };
  int frames = seconds * 30;
  int nextSoundMs = 0, soundNumber = 0;
  for (int f = 0; f < frames; ++f) {
    std::uint32_t ms = std::uint32_t(f * 1000 / 30);
    bool key = f % 30 == 0;
    std::uint8_t type = key ? vex::kTypeKeyPicture : vex::kTypePicture;
    add(0, type, PicturePayload(0, f, key), ms);
    if (rear) add(1, type, PicturePayload(1, f, key, 5), ms);
    while (nextSoundMs <= int(ms)) {
      std::vector<std::uint8_t> pcm(3840);
      for (std::size_t i = 0; i < pcm.size(); ++i) pcm[i] = std::uint8_t(i + soundNumber * 7);
      add(0, vex::kTypeSound, pcm, std::uint32_t(nextSoundMs));
      nextSoundMs += 240;
      ++soundNumber;
    }
    if (f % 3 == 0) {
      std::vector<std::uint8_t> g = {'M', std::uint8_t(128 + f % 5), 128,
                                     std::uint8_t(120 + f % 9)};
      add(0, vex::kTypeText, g, ms);
    }
    if (f % 30 == 0) {
      char text[96];
      int n = std::snprintf(
          text, sizeof text,
          "G$GPRMC,%06d.000,A,3733.9629,N,12658.6796,E,10.0,90.0,011214,,,A*00\r\n", f / 30);
      add(0, vex::kTypeText, std::vector<std::uint8_t>(text, text + n), ms);
    }
  }
  if (finish) {
    w.Close();
  } else {
    w.Abandon(true);
  }
  return out;
}

// Lists the packets of a finished, undamaged file by walking its blocks: the reference that the
// readers' output is compared with.
// ends, when given, receives the file offset just past each packet.
inline std::vector<Packet> WalkFile(const std::string& path, std::vector<long>* ends = nullptr) {
  std::vector<Packet> out;
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return out;
  std::uint8_t head[vex::kHeaderSize];
  vex::Header h;
  if (std::fread(head, 1, sizeof head, f) != sizeof head || !vex::DecodeHeader(head, &h)) {
    std::fclose(f);
    return out;
  }
  for (std::uint32_t b = 0; b < h.blockCount; ++b) {
    std::uint8_t bh[vex::kBlockHeaderSize];
    vex::BlockHeader block;
    if (std::fread(bh, 1, sizeof bh, f) != sizeof bh || !vex::DecodeBlockHeader(bh, &block)) break;
    for (std::uint32_t i = 0; i < block.packets; ++i) {
      std::uint8_t ph[vex::kPacketHeaderSize];
      vex::PacketHeader p;
      if (std::fread(ph, 1, sizeof ph, f) != sizeof ph || !vex::DecodePacketHeader(ph, &p)) break;
      Packet packet{p.channel, p.type, std::vector<std::uint8_t>(p.size)};
      if (std::fread(packet.payload.data(), 1, p.size, f) != p.size) break;
      out.push_back(std::move(packet));
      if (ends) ends->push_back(std::ftell(f));
    }
  }
  std::fclose(f);
  return out;
}

}  // namespace testcard
