// SPDX-License-Identifier: GPL-3.0-or-later
// The card library: finds the camera's card, lists its recordings by kind, describes them and
// streams their packets. One plain function per library operation; every call but VexStart takes
// the process-wide handle first. Results are small integers; nothing throws.
//
// Threads: VexReadPacket runs on a parser's reader thread while the window thread polls the card,
// lists and describes; the library locks its own tables. Callers never call VexSeek or
// VexOpenStream while a VexReadPacket call may be running (the parser parks its reader first).
// A text scan (VexOpenTextScan) reads a recording through a file reader of its own: it takes the
// tables' lock only while it opens, never touches the handle's one stream, and so runs on any
// thread while another streams, lists or describes through the same handle.
#pragma once

#include <cstdint>

struct VexLib;
using VexHandle = VexLib*;
struct VexTextScan;
using VexTextScanHandle = VexTextScan*;

namespace platform {
class CDriveTable;
}

// Recording kinds as the library numbers them.
enum VexKind : int {
  kVexEvent = 0,
  kVexContinuous = 1,
  kVexParking = 2,
  kVexManual = 3,
};

// Sizes of the caller's answer buffers.
inline constexpr int kVexNameBytes = 40;        // a listed name: at most 39 characters and a zero
inline constexpr int kVexSizeBytes = 8;         // a listed size: 64-bit little-endian byte count
inline constexpr int kVexHeaderBytes = 212;     // the recording header
inline constexpr int kVexPathBytes = 260;       // describe: where the recording lives
inline constexpr int kVexTextBytes = 256;       // describe: the count text
inline constexpr int kVexScratchBytes = 40;     // describe: the camera model
inline constexpr int kVexSettingsBytes = 2048;  // default settings text

// Statuses of VexReadPacket.
inline constexpr int kVexReadOk = 0;
inline constexpr int kVexReadNotYet = 1;  // nothing to read yet
inline constexpr int kVexReadEnd = 2;     // end of the recording
inline constexpr int kVexReadFailed = 3;  // damage, no stream, a packet larger than the buffer,
                                          // or no memory to read the packet's block

// Starts the library; returns the handle (never null).
VexHandle VexStart();
// Initialises: cardDir names a folder that counts as one more removable drive (null: the
// ROADEYE_CARD environment variable, if set). Returns 1.
int VexInitialise(VexHandle h, const char* cardDir);
// Releases the handle and everything it holds. The handle is invalid afterwards.
void VexRelease(VexHandle h);
// Makes the handle look for cards in `table` instead of the process-wide drive table (null: back
// to the process-wide one); forgets the card. For tests and tools that lay out their own drives.
void VexUseDriveTable(VexHandle h, platform::CDriveTable* table);

// Writes the card's drive letter into *drive, 0 when no card is present. Returns 1 with a card.
// The card is the first drive, in letter order, whose root holds a VEX folder.
int VexCardPoll(VexHandle h, char* drive);
// A card has newly appeared: forget what was known of the previous one. Returns 1.
int VexCardAttach(VexHandle h);

// Number of recordings of a kind on the drive.
int VexKindCount(VexHandle h, char drive, int kind);
// Fills up to n entries, oldest first: names (n x 40 bytes), sizes (n x 8 bytes), values (n ints,
// each the index for VexDescribeIndexed and VexSelectByIndex). Returns how many were filled.
// A recording is a regular file in VEX/ named <KIND>_<YYYYMMDD>_<HHMMSS>[_D].vex (KIND: EVENT,
// REC, PARKING, MANUAL, letters in either case); it is listed as that name ending in ".avi". The
// index of an entry is its place in the latest listing of its kind (VexKindCount or VexKindList);
// VexCardAttach and a change of card forget the listings.
int VexKindList(VexHandle h, char drive, int kind, int n, char* names, std::uint8_t* sizes,
                int* values);

// Describes a recording: the 212-byte header, both picture counts (16-bit, saturated), where it
// lives, the count text "cntVideo0=%d; cntVideo1=%d; cntAudio=%d; cntACC=%d; cntGPS=%d" and the
// camera model. An unusable recording leaves the text empty. Returns 1 when described.
// The name is a recording's name ending in ".avi" or ".vex" (or without an ending); any other name
// describes nothing. Null answer pointers are skipped.
int VexDescribe(VexHandle h, const char* name, std::uint8_t* header, std::uint16_t* frontCount,
                std::uint16_t* rearCount, char* path, char* text, char* scratch);
// As VexDescribe, the recording being entry `index` of the kind named by the name's kind word;
// when there is no such entry, the recording named `name`.
int VexDescribeIndexed(VexHandle h, const char* name, int index, std::uint8_t* header,
                       std::uint16_t* frontCount, std::uint16_t* rearCount, char* path, char* text,
                       char* scratch);

// The camera's default blackbox.cfg text, CR LF line ends. *count: in the buffer's size, out the
// bytes produced (a terminating zero follows them). Returns non-zero on success, 0 when the buffer
// cannot hold the text and its zero.
int VexDefaultSettings(VexHandle h, char* buffer, int* count);

// Selects a recording of the card for streaming; returns its file id, -1 when there is none (also
// when the name's kind word is not of `kind`). A file id is a small number, the same for the same
// file until VexCardAttach or a change of card.
int VexSelectByName(VexHandle h, int kind, const char* name);
int VexSelectByIndex(VexHandle h, int kind, int index);
// Opens a selected recording for streaming; later reads deliver its packets. Returns 1 on success;
// 0 for an unknown file id, a kind other than the file's, or a file that is not a readable
// recording, after which reads fail until a stream opens.
int VexOpenStream(VexHandle h, int kind, int reserved, int fileId);
// Reads the next packet: channel, type (0 key picture, 2 other picture, 1 sound, 3 text) and a
// flags byte; *size holds the buffer's capacity on entry and the payload length on return.
// Returns a kVexRead… status. On any status but kVexReadOk the outputs are left as they were (the
// buffer's bytes excepted). A packet larger than the capacity gives kVexReadFailed and is passed
// over; the next read continues after it. Damaged parts of a recording are skipped; its end, also
// an early end of a file cut short, gives kVexReadEnd on this and every later read. The scratch
// receives the packet's time in milliseconds from the start of the recording.
int VexReadPacket(VexHandle h, std::uint8_t* channel, std::uint8_t* type, std::uint8_t* flags,
                  int* size, void* buffer, std::int32_t* scratch);
// Moves the stream to a block (1-based, 30 front pictures each; clamped to the recording).
// lengthSeconds is the caller's idea of the recording's length. Returns 1 on success.
int VexSeek(VexHandle h, int block, int lengthSeconds);

// Opens a recording for a text scan: its text records alone (GPS fixes, G-sensor samples), read
// apart from the handle's stream, passing over pictures and sound by their records without reading
// their payloads. `name` as for VexDescribe; with index >= 0 the recording is entry `index` of its
// kind's listing as for VexDescribeIndexed. Null when there is no such recording, it is not a
// readable one, or memory ran out. The scan stays usable after VexRelease of the handle.
VexTextScanHandle VexOpenTextScan(VexHandle h, const char* name, int index);
// The scan's next text record: *size holds the capacity on entry and the payload length on return,
// *timeMs the record's time in milliseconds from the start of the recording. Returns kVexReadOk;
// kVexReadNotYet when a block was passed over with nothing to deliver (call again: a caller may
// stop between blocks); kVexReadEnd at the end of the recording (also of one cut short), on this
// and every later read; kVexReadFailed when the file could not be read. Records are delivered by
// the rules of VexReadPacket; a record larger than the capacity is passed over. One thread at a
// time per scan.
int VexReadText(VexTextScanHandle s, int* size, void* buffer, std::int32_t* timeMs);
// Ends a scan (null is harmless).
void VexCloseTextScan(VexTextScanHandle s);

// Owns a library handle for a scope: started at construction, released at destruction.
class VexLibrary {
 public:
  VexLibrary() : h_(VexStart()) {}
  ~VexLibrary() { VexRelease(h_); }
  VexLibrary(const VexLibrary&) = delete;
  VexLibrary& operator=(const VexLibrary&) = delete;
  VexHandle get() const { return h_; }

 private:
  VexHandle h_;
};
