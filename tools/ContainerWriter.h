// SPDX-License-Identifier: GPL-3.0-or-later
// Writes one camera's file of a recording through libavformat's muxers: an MP4 or MOV file (its
// index, the moov box, written at the end as a camera writes it, so that a file cut short by a
// power loss has none) or an MPEG transport stream, holding the camera's pictures and, in the
// front camera's file, its AAC sound. The camera's clock at the first picture goes into the
// container's creation_time, written as if it were UTC, as cameras do. A writer belongs to the
// thread of the recording it writes.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tools/CardEncoder.h"
#include "tools/CardWriter.h"

struct AVCodecContext;
struct AVFormatContext;
struct AVPacket;

namespace tools {

// The file name extension of the container, upper or lower case ("MP4", "mov", "TS").
std::string ContainerExtension(Container container, bool upper);

// A track of timed data beside the pictures, in the front camera's MP4 or MOV file.
struct DataTrack {
  enum Kind { kNone, kText, kGpmf };
  Kind kind = kNone;
  // The text track's sample description (its style): the codec's extradata.
  std::vector<std::uint8_t> extradata;
};

// Boxes added to an MP4 or MOV file that libavformat wrote, its moov box after its mdat box.
struct Mp4Additions {
  // Top-level boxes written before the mdat box.
  std::vector<std::uint8_t> beforeMedia;
  // Boxes placed inside the mdat box among the media, spread through it in order (each after its
  // share of the media, as a camera writes a block each second), so that none is cut apart from
  // the media around it.
  std::vector<std::vector<std::uint8_t>> inMedia;
  // When set, given the file offsets of the inMedia boxes, a box to add to moov after its movie
  // header.
  std::function<std::vector<std::uint8_t>(const std::vector<std::uint64_t>&)> moovChild;
};

// Adds `add` to the finished file at `path`, moving the chunks its index points to. On failure
// fills *error and returns false, leaving the file as it was.
bool AddMp4Boxes(const std::string& path, const Mp4Additions& add, std::string* error);

// Adds to the finished transport stream at `path` one packet of `pid` for each of `payloads`, a
// PES packet of `streamId` without the optional header, spread through the stream in order, after
// its tables. Each payload is at most 176 bytes. On failure fills *error and returns false.
bool AddTsPrivatePackets(const std::string& path, int pid, int streamId,
                         const std::vector<std::vector<std::uint8_t>>& payloads,
                         std::string* error);

// How one camera's file of a recording is timed beside the others'.
struct FileTiming {
  // The cameras' files share one clock: a transport stream's times start a second into it (the
  // sound's priming before the pictures included) rather than at its own first packet.
  bool sharedClock = false;
  // How many ms after the file's zero its pictures start (an MP4 or MOV file says so in an edit
  // list).
  int lateMs = 0;
};

class ContainerWriter {
 public:
  ContainerWriter();
  // Closes and removes a file that was not finished.
  ~ContainerWriter();
  ContainerWriter(const ContainerWriter&) = delete;
  ContainerWriter& operator=(const ContainerWriter&) = delete;

  // Creates `path` with a picture stream of `video`'s parameters at `fps` and, when `sound` is
  // not null, a sound stream of its parameters, and writes the container's header. On failure
  // fills *error, removes the file and returns false.
  // With a `data` track, the file holds it after the pictures and the sound.
  bool Open(const std::string& path, Container container, const DateTime& clock,
            const AVCodecContext* video, int fps, const AVCodecContext* sound, std::string* error,
            const DataTrack& data = DataTrack(), const FileTiming& timing = FileTiming());

  // Picture au.picture, one picture long; then the sound packet (times in samples).
  bool WritePicture(const AccessUnit& au, std::string* error);
  bool WriteSound(const SoundPacket& packet, std::string* error);
  // A sample of the data track from startMs for durationMs after the first picture.
  bool WriteData(const std::vector<std::uint8_t>& sample, int startMs, int durationMs,
                 std::string* error);

  // Writes the index and closes the file. On failure fills *error and removes the file.
  bool Finish(std::string* error);

  // Closes the file, unfinished, and removes it.
  void Abandon();

 private:
  struct FormatFree {
    void operator()(AVFormatContext* f) const;
  };
  struct PacketFree {
    void operator()(AVPacket* p) const;
  };

  bool Write(int stream, const std::uint8_t* data, std::size_t size, std::int64_t pts,
             std::int64_t duration, bool key, std::string* error);
  bool Fail(const std::string& what, int code, std::string* error);

  std::string path_;
  std::unique_ptr<AVFormatContext, FormatFree> format_;
  std::unique_ptr<AVPacket, PacketFree> packet_;
  int fps_ = 30;
  int soundRate_ = 0;
  int soundStream_ = -1;
  int dataStream_ = -1;
  std::int64_t pictureDelay_ = 0;  // how late the pictures start, in their stream's time base
};

}  // namespace tools
