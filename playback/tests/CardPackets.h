// SPDX-License-Identifier: GPL-3.0-or-later
// The picture packets of a card written by roadeye-mkcard into a temporary folder, read through the
// card library as the viewer reads them: the first recording's front and rear cameras, each a list
// of access units in order (a key picture every 30th, starting with the first).
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "support/testing/TempDir.h"
#include "vexlib/PicturePackets.h"
#include "vexlib/vexlib.h"

namespace playback_test {

using Packet = std::vector<char>;

inline std::string BinDir() {
  const char* env = std::getenv("ROADEYE_BIN_DIR");
  return env && *env ? env : ROADEYE_BIN_DIR;
}

struct CardPackets {
  roadeye_test::TempDir dir{"packets"};
  std::vector<Packet> front, rear;
  std::string error;  // empty when the packets were read

  // `options` go to roadeye-mkcard after the folder; one REC recording with a rear camera is
  // always asked for.
  explicit CardPackets(const std::string& options = "--seconds 3") {
    if (!dir.ok()) {
      error = "cannot make a temporary folder";
      return;
    }
    const std::string cmd = "'" + BinDir() + "/roadeye-mkcard' '" + dir.str() + "' " + options +
                            " --count 1 --kinds REC --rear yes --no-damaged > /dev/null";
    if (std::system(cmd.c_str()) != 0) {
      error = "roadeye-mkcard failed: " + cmd;
      return;
    }
    Read();
  }

 private:
  void Read() {
    std::string name;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path() / "VEX")) {
      if (entry.path().extension() == ".vex") name = entry.path().stem().string() + ".avi";
    }
    if (name.empty()) {
      error = "the card has no recording";
      return;
    }
    VexHandle lib = VexStart();
    VexInitialise(lib, dir.str().c_str());
    char drive = 0;
    VexCardPoll(lib, &drive);
    VexCardAttach(lib);
    const int id = VexSelectByName(lib, kVexContinuous, name.c_str());
    if (id < 0 || !VexOpenStream(lib, kVexContinuous, 0, id)) {
      VexRelease(lib);
      error = "cannot open " + name;
      return;
    }
    vex::ForEachPicturePacket(lib, [&](int channel, const char* data, int size) {
      (channel == 0 ? front : rear).emplace_back(data, data + size);
      return true;
    });
    VexRelease(lib);
    if (front.size() < 90 || rear.size() < 90) error = "too few pictures on the card";
  }
};

}  // namespace playback_test
