// SPDX-License-Identifier: GPL-3.0-or-later
// Writes a recording out as a RIFF AVI clip: a provisional header at open, one chunk of the movie
// list per packet as packets come, and at close the index, after which the header is written again
// with the final counts. The header has the same length both times, so no chunk ever moves.
//
// Streams: 0 front video, 1 rear video, 2 sound (16-bit mono PCM), 3 text records. Chunk ids:
//
//   stream   two cameras   one camera
//   0        "00dc"        "00dc"
//   1        "01dc"        "00dc"   (a one-camera clip is not given stream 1 data)
//   2        "02wb"        "01wb"
//   3        "03tx"        "02tx"
//
// The clip never passes what a RIFF file can describe: a chunk that would take the RIFF size (with
// the index the clip needs at close) past 0xFFFFFFFF is refused and the clip stays open and
// finishable. The index does not grow in memory with the clip's length: full blocks of entries
// go to an anonymous temporary file and are read back at close.
//
// One thread at a time uses a writer (the process-wide one included). Diagnostic lines go through
// DiagPrintf. Nothing throws.
#pragma once

#include <cstdint>
#include <cstdio>

#include "media/VFileSystem.h"
#include "support/LumArray.h"

// One index entry: the stream, the chunk's offset counted from the movie list's type (the first
// chunk is at 4) and its length rounded up to even. Offsets and lengths past 2 GiB are kept as the
// 32-bit values that the index entry holds in the file.
struct _tagData {
  int stream;
  int offset;
  int length;
};

class CAVIWriter {
 public:
  // With a null file the writer makes its own CFSNormal and deletes it with itself; a given file
  // system stays the caller's and must outlive the writer.
  explicit CAVIWriter(VFileSystem* file = nullptr);
  // Finishes a clip that is still open, then lets go of the file.
  virtual ~CAVIWriter();
  CAVIWriter(const CAVIWriter&) = delete;
  CAVIWriter& operator=(const CAVIWriter&) = delete;

  // Writes the next clips through `file` (null: the writer's own file again). Refused (false)
  // while a clip is open. Tests put a file that fails in its place.
  bool SetFileSystem(VFileSystem* file);

  // Creates the file (mode "wb") and writes the provisional header. False when the file cannot be
  // created, when a clip is already open, or when the header could not be written (the file is
  // closed again).
  bool OpenClip(const char* path);

  // Appends one chunk of stream 0 to 3. False, with nothing written, when no clip is open, the
  // arguments are invalid, or the chunk would take the clip past 4 GiB. False after a short write;
  // the partial chunk is taken back so that the clip can go on and still be finished.
  bool AddData(const void* data, int length, int stream);

  // Writes the index, writes the header again with the final values and closes the file. Gives
  // the RIFF size (the bytes after its size field), a 32-bit value: past 2 GiB it reads negative as
  // an int, so callers read it as std::uint32_t. Gives 0 when no clip was open, and 0 (with the
  // file closed all the same) when the clip could not be finished.
  int CloseClip();

  // Video size and frame rate of stream 0 (front) or 1 (rear); other stream numbers are ignored.
  // The frame rate in effect is the one set when the clip is opened.
  void SetVideoSize(int stream, int width, int height);
  void SetFrameRate(int stream, int fps);
  void SetAudioRate(int samplesPerSecond);
  // Chooses the chunk id table and the header's stream lists. While a clip is open, that clip
  // keeps the layout it was opened with; the choice applies from the next OpenClip.
  void SetTwoCameras(bool twoCameras);

  bool IsOpen() const;

  // How many index entries are held in memory right now (the rest wait in the temporary file).
  int IndexEntriesInMemory() const;

  // Entries held in memory before a block goes to the temporary file.
  static constexpr int kIndexBlock = 4096;

 protected:
  // The anonymous temporary file that takes full blocks of index entries; null when none can be
  // made, in which case the entries stay in memory.
  virtual std::FILE* OpenSpillFile();

 private:
  void ApplyChunkIds(bool twoCameras);
  // The whole header, provisional (counts 0, "0000" size placeholders) or final. Returns its
  // length, which is always headerSize_ + 28.
  int BuildHeader(std::uint8_t* out, bool provisional) const;
  // Makes sure the next index entry has a place, spilling a full block first.
  bool PrepareIndexSlot();
  // Moves the file position back by n bytes; marks the clip broken when that fails.
  void TakeBack(std::int64_t n);
  bool WriteIndex();
  void ResetIndex();
  std::int64_t RiffSize() const;

  CLumArrBase<_tagData> index_;  // entries not yet spilled, in write order
  std::FILE* spill_ = nullptr;   // spilled entries, in write order
  std::int64_t spilled_ = 0;
  bool spillFailed_ = false;  // no more spilling for this clip: entries stay in memory

  std::int64_t payloadBytes_ = 0;  // P, the rounded payload lengths of all chunks
  std::int64_t nextOffset_ = 4;
  std::int64_t chunkCount_ = 0;  // N

  char chunkId_[4][4] = {};
  std::int64_t streamBytes_[4] = {};  // rounded up to even, chunk by chunk
  std::int64_t streamCount_[4] = {};
  std::int64_t soundBytes_ = 0;  // the sound chunks' payload bytes, not rounded: 2 per sample

  bool twoCameras_ = false;      // as set
  bool clipTwoCameras_ = false;  // the layout of the open clip
  bool audio_ = true;
  int headerSize_ = 0;  // H: 280 one camera, 404 two, + 100 with sound

  int width_[2] = {0, 720};
  int height_[2] = {0, 480};
  int frameRate_[2] = {0, 15};
  int clipFrameRate_[2] = {0, 0};
  int audioRate_ = 8000;

  VFileSystem* file_;     // the file the clip goes to; null only when making our own failed
  CFSNormal* ownedFile_;  // the writer's own file system, when none was given
  bool open_ = false;
  bool broken_ = false;  // a failed chunk could not be taken back: the clip cannot be finished
};

// The process-wide writer, made on first use, driven through plain functions.
int aviClose();
void aviSetVideoSize(int stream, int width, int height);
void aviSetFrameRate(int stream, int fps);
void aviSetAudioRate(int rate);
void aviSetTwoCameras(bool twoCameras);
bool aviOpen(const char* path);
// The process-wide writer's file (see CAVIWriter::SetFileSystem).
bool aviSetFileSystem(VFileSystem* file);
bool aviAddData(const void* data, int length, int stream);
