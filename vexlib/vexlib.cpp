// SPDX-License-Identifier: GPL-3.0-or-later
// The card library's handle: the drive table it looks at, the card found at the last poll, the
// listings last handed out (their entry numbers are the indexes callers pass back), the table of
// selected files, and the one recording open for streaming.
#include "vexlib/vexlib.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "platform/Drives.h"
#include "vexlib/VexCard.h"
#include "vexlib/VexReader.h"

namespace {

// Selected files are remembered up to this many; past it the table starts again.
constexpr std::size_t kMaxFileIds = 4096;

struct Listing {
  bool valid = false;
  std::string folder;
  std::vector<vex::CardEntry> entries;
};

struct FileSlot {
  std::string path;
  int kind = -1;
};

bool ValidKind(int kind) { return kind >= 0 && kind < vex::kKindCount; }

// Copies text into a caller's buffer of `bytes`, always terminated.
void CopyText(char* dst, std::size_t bytes, const std::string& text) {
  if (dst == nullptr || bytes == 0) return;
  const std::size_t n = std::min(text.size(), bytes - 1);
  std::memcpy(dst, text.data(), n);
  dst[n] = '\0';
}

std::uint16_t Saturate16(std::uint32_t v) {
  return std::uint16_t(std::min<std::uint32_t>(v, 0xFFFF));
}

// Runs an operation so that nothing thrown inside (only running out of memory can) leaves the
// library: the operation then reports `failure`.
template <typename R, typename F>
R Guarded(R failure, F&& body) noexcept {
  try {
    return body();
  } catch (...) {
    return failure;
  }
}

}  // namespace

struct VexLib {
  // Everything below up to the stream. Held only to read or change these tables, never while
  // the file system is asked: a folder listing of a large card takes a while, and the window's
  // card poll takes this lock too.
  std::mutex lock;
  platform::CDriveTable* drives = &platform::ProcessDrives();
  bool polled = false;
  char card = 0;
  std::string cardRoot;
  // Counts the times the listings were forgotten (a card change, a card attach): a listing made
  // without the lock is kept only when none came meanwhile.
  unsigned generation = 0;
  std::array<Listing, vex::kKindCount> listings;
  std::vector<FileSlot> files;

  std::mutex streamLock;  // the stream
  vex::VexReader stream;
  bool streaming = false;

  // With `lock` held.
  void Poll() {
    drives->Refresh();
    char letter = 0;
    std::string root;
    for (const platform::Drive& d : drives->Drives()) {
      if (!vex::FindRecordingFolder(d.root).empty()) {
        letter = d.letter;
        root = d.root;
        break;
      }
    }
    if (letter != card || root != cardRoot) Forget();
    card = letter;
    cardRoot = root;
    polled = true;
  }

  // With `lock` held.
  void Forget() {
    for (Listing& l : listings) l = Listing{};
    files.clear();
    ++generation;
  }

  // With `lock` held: the current card's root, polling once if nobody has yet.
  std::string CardRootLocked() {
    if (!polled) Poll();
    return cardRoot;
  }

  // A fresh listing of a kind in the card under `root`, made without the lock and then kept for
  // later indexes unless the card changed meanwhile.
  Listing ListAndKeep(const std::string& root, unsigned since, int kind) {
    Listing fresh;
    fresh.folder = vex::FindRecordingFolder(root);
    fresh.entries = vex::ListKind(fresh.folder, kind);
    fresh.valid = true;
    std::lock_guard<std::mutex> g(lock);
    if (generation == since) listings[std::size_t(kind)] = fresh;
    return fresh;
  }

  // A fresh listing of a kind on a drive, remembered for later indexes. Takes `lock`.
  std::vector<vex::CardEntry> ListDrive(char drive, int kind) {
    std::string root;
    unsigned since = 0;
    {
      std::lock_guard<std::mutex> g(lock);
      root = drive ? drives->RootOf(drive) : std::string();
      since = generation;
    }
    return ListAndKeep(root, since, kind).entries;
  }

  // Entry `index` of the latest listing of a kind, listing the current card when there is none.
  // Takes `lock`.
  bool EntryAt(int kind, int index, vex::CardEntry* out) {
    if (index < 0) return false;
    std::string root;
    unsigned since = 0;
    {
      std::lock_guard<std::mutex> g(lock);
      const Listing& l = listings[std::size_t(kind)];
      if (l.valid) {
        if (std::size_t(index) >= l.entries.size()) return false;
        *out = l.entries[std::size_t(index)];
        return true;
      }
      root = CardRootLocked();
      since = generation;
    }
    const Listing fresh = ListAndKeep(root, since, kind);
    if (std::size_t(index) >= fresh.entries.size()) return false;
    *out = fresh.entries[std::size_t(index)];
    return true;
  }

  // A file of the current card by name; false when it is not there or the name is not a
  // recording. Takes `lock`.
  bool ByName(const char* name, vex::CardEntry* out) {
    if (name == nullptr) return false;
    std::string root;
    {
      std::lock_guard<std::mutex> g(lock);
      root = CardRootLocked();
    }
    return vex::FindRecording(vex::FindRecordingFolder(root), name, out);
  }

  // The recording `name`, or with index >= 0 entry `index` of the latest listing of the kind the
  // name's kind word names, falling back to the name when there is no such entry. Takes `lock`.
  bool Find(const char* name, int index, vex::CardEntry* out) {
    vex::RecordingName rn;
    if (name == nullptr || !vex::ParseRecordingName(name, true, &rn)) return false;
    if (index >= 0 && EntryAt(rn.kind, index, out)) return true;
    return ByName(name, out);
  }

  // With `lock` held.
  int FileId(const vex::CardEntry& e) {
    for (std::size_t i = 0; i < files.size(); ++i) {
      if (files[i].path == e.path && files[i].kind == e.kind) return int(i);
    }
    if (files.size() >= kMaxFileIds) files.clear();
    files.push_back(FileSlot{e.path, e.kind});
    return int(files.size() - 1);
  }
};

namespace {

int Describe(const vex::CardEntry* entry, std::uint8_t* header, std::uint16_t* frontCount,
             std::uint16_t* rearCount, char* path, char* text, char* scratch) {
  if (text) text[0] = '\0';
  if (entry == nullptr) return 0;
  CopyText(path, kVexPathBytes, entry->path);
  vex::VexReader reader;
  if (!reader.Open(entry->path)) return 0;
  const vex::Counts c = reader.counts();
  if (header) std::memcpy(header, reader.rawHeader(), kVexHeaderBytes);
  if (frontCount) *frontCount = Saturate16(c.front);
  if (rearCount) *rearCount = Saturate16(c.rear);
  if (text) {
    std::snprintf(text, kVexTextBytes,
                  "cntVideo0=%u; cntVideo1=%u; cntAudio=%u; cntACC=%u; cntGPS=%u", c.front, c.rear,
                  c.audio, c.gsensor, c.gps);
  }
  CopyText(scratch, kVexScratchBytes, reader.header().model);
  return 1;
}

}  // namespace

VexHandle VexStart() {
  // Without memory for the handle there is no library to report with.
  VexHandle h = new (std::nothrow) VexLib;
  if (h == nullptr) std::abort();
  return h;
}

int VexInitialise(VexHandle h, const char* cardDir) {
  if (h == nullptr) return 0;
  return Guarded(0, [&] {
    const char* dir = cardDir != nullptr ? cardDir : std::getenv("ROADEYE_CARD");
    std::lock_guard<std::mutex> g(h->lock);
    if (dir != nullptr && dir[0] != '\0') h->drives->SetExtraFolder(dir);
    return 1;
  });
}

void VexRelease(VexHandle h) { delete h; }

void VexUseDriveTable(VexHandle h, platform::CDriveTable* table) {
  if (h == nullptr) return;
  std::lock_guard<std::mutex> g(h->lock);
  h->drives = table ? table : &platform::ProcessDrives();
  h->polled = false;
  h->card = 0;
  h->cardRoot.clear();
  h->Forget();
}

int VexCardPoll(VexHandle h, char* drive) {
  if (h == nullptr) return 0;
  return Guarded(0, [&] {
    std::lock_guard<std::mutex> g(h->lock);
    h->Poll();
    if (drive) *drive = h->card;
    return h->card != 0 ? 1 : 0;
  });
}

int VexCardAttach(VexHandle h) {
  if (h == nullptr) return 0;
  std::lock_guard<std::mutex> g(h->lock);
  h->Forget();
  return 1;
}

int VexKindCount(VexHandle h, char drive, int kind) {
  if (h == nullptr || !ValidKind(kind)) return 0;
  return Guarded(0, [&] { return int(h->ListDrive(drive, kind).size()); });
}

int VexKindList(VexHandle h, char drive, int kind, int n, char* names, std::uint8_t* sizes,
                int* values) {
  if (h == nullptr || !ValidKind(kind) || n <= 0) return 0;
  return Guarded(0, [&] {
    const std::vector<vex::CardEntry> entries = h->ListDrive(drive, kind);
    const int filled = int(std::min<std::size_t>(std::size_t(n), entries.size()));
    for (int i = 0; i < filled; ++i) {
      const vex::CardEntry& e = entries[std::size_t(i)];
      if (names) CopyText(names + std::size_t(i) * kVexNameBytes, kVexNameBytes, e.listName);
      if (sizes) {
        for (int b = 0; b < kVexSizeBytes; ++b) {
          sizes[std::size_t(i) * kVexSizeBytes + std::size_t(b)] = std::uint8_t(e.size >> (8 * b));
        }
      }
      if (values) values[i] = i;
    }
    return filled;
  });
}

int VexDescribe(VexHandle h, const char* name, std::uint8_t* header, std::uint16_t* frontCount,
                std::uint16_t* rearCount, char* path, char* text, char* scratch) {
  return VexDescribeIndexed(h, name, -1, header, frontCount, rearCount, path, text, scratch);
}

int VexDescribeIndexed(VexHandle h, const char* name, int index, std::uint8_t* header,
                       std::uint16_t* frontCount, std::uint16_t* rearCount, char* path, char* text,
                       char* scratch) {
  if (text) text[0] = '\0';
  if (h == nullptr) return 0;
  return Guarded(0, [&] {
    vex::CardEntry entry;
    const bool found = h->Find(name, index, &entry);
    // The file is read without holding the tables.
    return Describe(found ? &entry : nullptr, header, frontCount, rearCount, path, text, scratch);
  });
}

int VexDefaultSettings(VexHandle h, char* buffer, int* count) {
  if (h == nullptr || buffer == nullptr || count == nullptr) return 0;
  const std::string& text = vex::DefaultSettingsText();
  // Room for the text and a terminating zero.
  if (*count <= 0 || std::size_t(*count) <= text.size()) return 0;
  std::memcpy(buffer, text.data(), text.size());
  buffer[text.size()] = '\0';
  *count = int(text.size());
  return 1;
}

int VexSelectByName(VexHandle h, int kind, const char* name) {
  if (h == nullptr || !ValidKind(kind)) return -1;
  return Guarded(-1, [&] {
    vex::CardEntry e;
    if (!h->ByName(name, &e) || e.kind != kind) return -1;
    std::lock_guard<std::mutex> g(h->lock);
    return h->FileId(e);
  });
}

int VexSelectByIndex(VexHandle h, int kind, int index) {
  if (h == nullptr || !ValidKind(kind) || index < 0) return -1;
  return Guarded(-1, [&] {
    vex::CardEntry e;
    if (!h->EntryAt(kind, index, &e)) return -1;
    std::lock_guard<std::mutex> g(h->lock);
    return h->FileId(e);
  });
}

int VexOpenStream(VexHandle h, int kind, int /*reserved*/, int fileId) {
  if (h == nullptr) return 0;
  return Guarded(0, [&] {
    FileSlot slot;
    {
      std::lock_guard<std::mutex> g(h->lock);
      if (fileId < 0 || std::size_t(fileId) >= h->files.size()) return 0;
      slot = h->files[std::size_t(fileId)];
    }
    std::lock_guard<std::mutex> g(h->streamLock);
    h->streaming = false;
    h->stream.Close();
    if (slot.kind != kind || !h->stream.Open(slot.path)) return 0;
    h->streaming = true;
    return 1;
  });
}

int VexReadPacket(VexHandle h, std::uint8_t* channel, std::uint8_t* type, std::uint8_t* flags,
                  int* size, void* buffer, std::int32_t* scratch) {
  if (h == nullptr || size == nullptr) return kVexReadFailed;
  // Reading a block may need memory for it; without, the read fails and the outputs stay as they
  // were (they are written only after a packet was read).
  return Guarded(kVexReadFailed, [&] {
    std::lock_guard<std::mutex> g(h->streamLock);
    if (!h->streaming) return kVexReadFailed;
    vex::Packet p;
    const std::uint32_t capacity = *size > 0 ? std::uint32_t(*size) : 0;
    switch (h->stream.Next(&p, buffer, capacity)) {
      case vex::ReadStatus::kOk:
        break;
      case vex::ReadStatus::kEnd:
        return kVexReadEnd;
      case vex::ReadStatus::kTooLarge:
      case vex::ReadStatus::kError:
        return kVexReadFailed;
      case vex::ReadStatus::kPassed:  // only the text scan's reads give it
        return kVexReadNotYet;
    }
    if (channel) *channel = p.channel;
    if (type) *type = p.type;
    if (flags) *flags = p.flags;
    *size = int(p.size);
    if (scratch) *scratch = std::int32_t(p.timeMs);
    return kVexReadOk;
  });
}

int VexSeek(VexHandle h, int block, int /*lengthSeconds*/) {
  if (h == nullptr) return 0;
  return Guarded(0, [&] {
    std::lock_guard<std::mutex> g(h->streamLock);
    if (!h->streaming) return 0;
    h->stream.SeekBlock(block);
    return 1;
  });
}

struct VexTextScan {
  vex::VexReader reader;
};

VexTextScanHandle VexOpenTextScan(VexHandle h, const char* name, int index) {
  if (h == nullptr) return nullptr;
  return Guarded(static_cast<VexTextScanHandle>(nullptr), [&]() -> VexTextScanHandle {
    vex::CardEntry entry;
    if (!h->Find(name, index, &entry)) return nullptr;
    // The scan's own reader: nothing of it is shared with the handle once it is open.
    auto scan = std::make_unique<VexTextScan>();
    if (!scan->reader.Open(entry.path)) return nullptr;
    return scan.release();
  });
}

int VexReadText(VexTextScanHandle s, int* size, void* buffer, std::int32_t* timeMs) {
  if (s == nullptr || size == nullptr) return kVexReadFailed;
  return Guarded(kVexReadFailed, [&] {
    const std::uint32_t capacity = *size > 0 ? std::uint32_t(*size) : 0;
    vex::Packet p;
    for (;;) {
      switch (s->reader.NextText(&p, buffer, capacity)) {
        case vex::ReadStatus::kOk:
          *size = int(p.size);
          if (timeMs) *timeMs = std::int32_t(p.timeMs);
          return kVexReadOk;
        case vex::ReadStatus::kTooLarge:  // not a record the scan is for: passed over
          continue;
        case vex::ReadStatus::kPassed:
          return kVexReadNotYet;
        case vex::ReadStatus::kEnd:
          return kVexReadEnd;
        case vex::ReadStatus::kError:
          return kVexReadFailed;
      }
      return kVexReadFailed;
    }
  });
}

void VexCloseTextScan(VexTextScanHandle s) { delete s; }
