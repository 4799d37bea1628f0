// SPDX-License-Identifier: GPL-3.0-or-later
// A card's recordings: the files found under a card's root (or a list of files), read by their
// folders and names (CardNames.h), grouped into recordings of one moment each, and then, file by
// file, described from their containers (ContainerProbe.h). Listing by names is quick and touches
// only the folders; describing opens every file, so callers list first and describe after
// (CardLister.h does both on a worker).
//
// The card is untrusted: its folders are searched at most kMaxDepth levels deep, symbolic links
// are not followed, hidden entries are skipped, at most kMaxFiles files are looked at, and every
// path handed on is one the walk found under the root, never one made from a name read in a file.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "cards/CardNames.h"

namespace cards {

inline constexpr int kMaxDepth = 6;
inline constexpr std::size_t kMaxFiles = 100000;
// VEX recordings smaller than this (and not empty) are not listed; other families' are.
inline constexpr std::uint64_t kSmallestVexRecording = 524288;

struct CameraFile {
  std::string camera;  // front, rear, interior or a Tesla camera's name
  std::string path;    // relative to the card's root
  std::uint64_t bytes = 0;
};

// Where a recording's clock came from.
enum class ClockSource { kName, kContainer, kFixes, kFileTime, kNone };

// Finds a recording's clock in its own GPS data, for a recording whose name and container give
// none. The camera metadata readers, above this library, supply it (metadata/FixClock.h).
class VFixClock {
 public:
  virtual ~VFixClock() = default;
  // The clock at the first picture of the file at `path`, from its fixes' times less their media
  // times; false when its fixes give no time. `cancel` (may be null) ends the reading early.
  virtual bool StartFromFixes(const std::string& path, Clock* start,
                              const std::atomic<bool>* cancel) = 0;
};

// What Tesla writes beside a saved or Sentry clip: why it was kept, when and where.
struct ClipEvent {
  std::string reason, city;
  bool hasTime = false;
  Clock time;
  bool hasPlace = false;
  double latitude = 0, longitude = 0;
};

struct CardRecording {
  // What the rest of the program calls it: the path, relative to the card, of its first file (its
  // front camera's where it has one); for VEX the name the card library lists.
  std::string name;
  Family family = Family::kGeneric;
  Kind kind = Kind::kDriving;
  Clock start;
  ClockSource clockSource = ClockSource::kNone;
  std::int64_t startSeconds = 0;  // ClockSeconds(start) once the clock is known
  std::vector<CameraFile> files;  // in camera order
  std::uint64_t bytes = 0;
  double seconds = 0;      // known once described
  bool described = false;  // the containers have been read
  bool damaged = false;    // a file has no pictures or could not be read
  int sequence = -1;
  bool hasEvent = false;
  ClipEvent event;

  bool HasClock() const { return clockSource != ClockSource::kNone; }
  bool HasCamera(std::string_view camera) const;
};

struct CardScan {
  std::vector<CardRecording>
      recordings;          // oldest first (SortRecordings); those without a clock last
  bool truncated = false;  // the file limit was reached
  bool readable = true;    // false: the root could not be read at all
};

// Lists the card at `root` by folders and names. `cancel`, when given and set, ends the walk early.
CardScan ScanCard(const std::string& root, const std::atomic<bool>* cancel = nullptr);
// Lists the given files (paths relative to `root`; other paths and files that are not video files
// are left out) by their folders and names, as if they were a card of their own.
CardScan ScanFiles(const std::string& root, const std::vector<std::string>& files);

// Reads the recording's containers: its length, whether it is damaged, and its clock where the
// name gave none: the container's creation time, else its first fix's through `fixes` (may be
// null), else the first file's modification time.
void DescribeRecording(const std::string& root, CardRecording* recording,
                       const std::atomic<bool>* cancel = nullptr, VFixClock* fixes = nullptr);

// Oldest clock first, ties by name; recordings without a clock after all others, by name.
void SortRecordings(std::vector<CardRecording>* recordings);

// The family most of the recordings belong to (the card's), kGeneric for none.
Family CardFamilyOf(const std::vector<CardRecording>& recordings);

// True when the folder's top level holds a camera family's folders (VEX, DCIM, Record, BlackVue,
// cont_rec, evt_rec, Normal, Event, TeslaCam, letters in any case): a removable drive worth
// listing. Reads the root's own entries only.
bool HasCameraFolders(const std::string& root);
// True when the folder holds nothing but hidden entries (or cannot be read).
bool IsEmptyFolder(const std::string& root);

// Reads Tesla's event.json text (at most kMaxEventBytes); false when it is not such a file.
inline constexpr std::size_t kMaxEventBytes = 65536;
bool ParseClipEvent(std::string_view text, ClipEvent* out);

}  // namespace cards
