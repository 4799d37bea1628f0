// SPDX-License-Identifier: GPL-3.0-or-later
// What a recording file's container says about it, read through libavformat: whether it opens and
// holds pictures, its length and the camera's clock it was made at. libavformat is given the one
// file alone: only the file protocol, only the container formats cameras write (MP4/MOV, MPEG-TS,
// Matroska, AVI), no external data references, and a bounded probe, so a damaged or hostile file
// costs a bounded read and never makes the reader follow a reference out of the card.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "cards/CardNames.h"

struct AVFormatContext;

namespace cards {

// The longest recording believed; a longer length read from a container is taken as damage.
inline constexpr double kMaxRecordingSeconds = 24 * 3600;

struct ContainerInfo {
  bool opened = false;    // libavformat read the container's header (an MP4 with no moov does not)
  bool pictures = false;  // it has a video stream with pictures in it
  bool sound = false;
  double seconds = 0;  // 0 when unknown
  bool hasCreation = false;
  Clock creation;      // the container's creation time, as the camera wrote it
  std::string format;  // libavformat's name of the container ("mov,mp4,...", "mpegts")
  std::string codec;   // the pictures' codec ("h264", "hevc")
  int width = 0, height = 0;
};

struct ContainerClose {
  void operator()(AVFormatContext* c) const;
};
using ContainerRef = std::unique_ptr<AVFormatContext, ContainerClose>;

// Opens the container at `path` with the limits above, its streams found (an MP4 or MOV file's
// from its index, another's from its first packets); null when libavformat refused it. `cancel`,
// when given and set, makes a read in progress give up, then and later.
ContainerRef OpenContainer(const std::string& path, const std::atomic<bool>* cancel = nullptr);

// Reads the container at `path`. `cancel`, when given and set, makes a read in progress give up.
ContainerInfo ProbeContainer(const std::string& path, const std::atomic<bool>* cancel = nullptr);

}  // namespace cards
