// SPDX-License-Identifier: GPL-3.0-or-later
#include "cards/CardListing.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <ctime>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <tuple>

#include "cards/ContainerProbe.h"
#include "support/FileDescriptor.h"
#include "support/Text.h"
#include "vexlib/VexCard.h"
#include "vexlib/VexReader.h"

namespace cards {

namespace {

// Files of one recording that share a sequence number are made within this many seconds of each
// other; a number seen again later (the counter went round) starts another recording.
constexpr std::int64_t kSequenceSpanSeconds = 60;

struct Found {
  CardFile file;
  std::string path;  // relative to the root
  std::uint64_t bytes = 0;
};

bool Cancelled(const std::atomic<bool>* cancel) { return cancel && cancel->load(); }

std::string Joined(const std::string& folder, const std::string& name) {
  return folder.empty() ? name : folder + "/" + name;
}

// Reads a small file whole (at most `limit` bytes); false when it cannot be read or is larger.
bool ReadSmallFile(const std::string& path, std::size_t limit, std::string* out) {
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (fd.get() < 0) return false;
  std::string text(limit + 1, '\0');
  std::size_t have = 0;
  while (have < text.size()) {
    const ssize_t n = ::read(fd.get(), text.data() + have, text.size() - have);
    if (n < 0) return false;
    if (n == 0) break;
    have += std::size_t(n);
  }
  if (have > limit) return false;
  text.resize(have);
  *out = std::move(text);
  return true;
}

// The walk of a card's folders: every regular file that is a video file of some family, and
// Tesla's event files by their clip folder.
class Walk {
 public:
  Walk(const std::string& root, const std::atomic<bool>* cancel) : root_(root), cancel_(cancel) {}

  void Folder(const std::string& folder, int depth) {
    if (depth > kMaxDepth || Cancelled(cancel_) || found_.size() + events_.size() >= kMaxFiles) {
      return;
    }
    const std::string path = folder.empty() ? root_ : root_ + "/" + folder;
    DIR* dir = ::opendir(path.c_str());
    if (!dir) {
      if (folder.empty()) readable_ = false;
      return;
    }
    std::vector<std::string> folders;
    while (const dirent* e = ::readdir(dir)) {
      if (Cancelled(cancel_)) break;
      const std::string name = e->d_name;
      if (name.empty() || name[0] == '.') continue;  // ".", "..", and hidden entries
      if (++looked_ > kMaxFiles) {
        truncated_ = true;
        break;
      }
      struct stat st {};
      if (::fstatat(::dirfd(dir), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
      if (S_ISDIR(st.st_mode)) {
        // The VEX card library lists the VEX folder.
        if (!(folder.empty() && EqualsIgnoringCase(name, "VEX"))) folders.push_back(name);
        continue;
      }
      if (!S_ISREG(st.st_mode)) continue;
      // Tesla's event file; some tools' documentation calls it events.json.
      if (EqualsIgnoringCase(name, "event.json") || EqualsIgnoringCase(name, "events.json")) {
        events_.push_back(Joined(folder, name));
        continue;
      }
      Found f;
      if (!ReadCardFileName(folder, name, &f.file)) continue;
      f.path = Joined(folder, name);
      f.bytes = std::uint64_t(st.st_size);
      found_.push_back(std::move(f));
    }
    ::closedir(dir);
    std::sort(folders.begin(), folders.end());
    for (const std::string& sub : folders) Folder(Joined(folder, sub), depth + 1);
  }

  std::vector<Found>& found() { return found_; }
  const std::vector<std::string>& events() const { return events_; }
  bool truncated() const { return truncated_; }
  bool readable() const { return readable_; }

 private:
  std::string root_;
  const std::atomic<bool>* cancel_;
  std::vector<Found> found_;
  std::vector<std::string> events_;
  std::size_t looked_ = 0;
  bool truncated_ = false;
  bool readable_ = true;
};

CardRecording StartRecording(const Found& f) {
  CardRecording r;
  r.family = f.file.family;
  r.kind = f.file.kind;
  r.sequence = f.file.sequence;
  if (f.file.hasClock) {
    r.start = f.file.clock;
    r.startSeconds = ClockSeconds(f.file.clock);
    r.clockSource = ClockSource::kName;
  }
  return r;
}

void AddFile(CardRecording* r, const Found& f) {
  r->files.push_back({f.file.camera, f.path, f.bytes});
  r->bytes += f.bytes;
}

void FinishRecording(CardRecording* r) {
  std::stable_sort(r->files.begin(), r->files.end(), [](const CameraFile& a, const CameraFile& b) {
    return CameraOrder(a.camera) < CameraOrder(b.camera);
  });
  r->name = r->files.front().path;
}

// Puts the files of one moment together: within a family, kind and folder, those with the same
// sequence number made within a minute of each other, or, without a number, those with the same
// clock to the second; never two files of one camera in a recording. Files without a clock are
// a recording each.
std::vector<CardRecording> Group(std::vector<Found>& found) {
  using Key = std::tuple<int, int, std::string, int>;
  std::map<Key, std::vector<const Found*>> buckets;
  std::vector<CardRecording> out;
  for (const Found& f : found) {
    if (!f.file.hasClock) {
      CardRecording r = StartRecording(f);
      AddFile(&r, f);
      FinishRecording(&r);
      out.push_back(std::move(r));
      continue;
    }
    buckets[Key{int(f.file.family), int(f.file.kind), f.file.groupFolder, f.file.sequence}]
        .push_back(&f);
  }
  for (auto& [key, files] : buckets) {
    std::stable_sort(files.begin(), files.end(), [](const Found* a, const Found* b) {
      return std::make_tuple(ClockSeconds(a->file.clock), CameraOrder(a->file.camera), a->path) <
             std::make_tuple(ClockSeconds(b->file.clock), CameraOrder(b->file.camera), b->path);
    });
    const bool numbered = std::get<3>(key) >= 0;
    CardRecording current;
    bool open = false;
    for (const Found* f : files) {
      const std::int64_t t = ClockSeconds(f->file.clock);
      const bool together =
          open && !current.HasCamera(f->file.camera) &&
          (numbered ? t - current.startSeconds <= kSequenceSpanSeconds : t == current.startSeconds);
      if (!together) {
        if (open) {
          FinishRecording(&current);
          out.push_back(std::move(current));
        }
        current = StartRecording(*f);
        open = true;
      }
      AddFile(&current, *f);
    }
    if (open) {
      FinishRecording(&current);
      out.push_back(std::move(current));
    }
  }
  return out;
}

// The folder part of a relative path ("" for a name at the root).
std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

void AttachEvents(const std::string& root, const std::vector<std::string>& events,
                  std::vector<CardRecording>* recordings) {
  for (const std::string& path : events) {
    std::string text;
    ClipEvent event;
    if (!ReadSmallFile(root + "/" + path, kMaxEventBytes, &text) || !ParseClipEvent(text, &event)) {
      continue;
    }
    const std::string folder = FolderOf(path);
    for (CardRecording& r : *recordings) {
      if (r.family == Family::kTesla && FolderOf(r.name) == folder) {
        r.hasEvent = true;
        r.event = event;
      }
    }
  }
}

// The VEX card's recordings, as the card library lists them: all four kinds, small ones left out.
void ListVex(const std::string& root, std::vector<CardRecording>* out) {
  const std::string folder = vex::FindRecordingFolder(root);
  if (folder.empty()) return;
  const std::string relative = folder.size() > root.size() ? folder.substr(root.size() + 1) : "VEX";
  for (int kind = 0; kind < vex::kKindCount; ++kind) {
    for (const vex::CardEntry& e : vex::ListKind(folder, kind)) {
      if (e.size != 0 && e.size < kSmallestVexRecording) continue;
      vex::RecordingName parsed;
      if (!vex::ParseRecordingName(e.fileName, false, &parsed)) continue;
      CardRecording r;
      r.name = e.listName;
      r.family = Family::kVex;
      r.kind = Kind(kind);
      r.start =
          Clock{parsed.year, parsed.month, parsed.day, parsed.hour, parsed.minute, parsed.second};
      if (ClockIsValid(r.start)) {
        r.clockSource = ClockSource::kName;
        r.startSeconds = ClockSeconds(r.start);
      }
      r.files.push_back({"front", relative + "/" + e.fileName, e.size});
      if (parsed.rear) r.files.push_back({"rear", relative + "/" + e.fileName, e.size});
      r.bytes = e.size;
      out->push_back(std::move(r));
    }
  }
}

void DescribeVex(const std::string& root, CardRecording* r) {
  vex::VexReader reader;
  if (!reader.Open(root + "/" + r->files.front().path)) {
    r->damaged = true;
    return;
  }
  const vex::Header& h = reader.header();
  const vex::Counts counts = reader.counts();
  if (counts.front == 0) r->damaged = true;
  if (h.durationMs > 0 && h.durationMs <= kMaxRecordingSeconds * 1000) {
    r->seconds = h.durationMs / 1000.0;
  } else if (h.frontRate > 0) {
    r->seconds = double(counts.front) / h.frontRate;
  }
}

// The last folders above a file given on its own, wherever it is: as many as a family's folders
// need to be recognised (Tesla's TeslaCam/SavedClips/<event>), so that a recording file opened by
// itself is read as the camera's card would have it.
std::string FolderTail(const std::string& root, const std::string& folder) {
  std::error_code error;
  std::string where = std::filesystem::absolute(root, error).lexically_normal().string();
  if (error) where = root;
  if (!folder.empty()) where += "/" + folder;
  std::size_t start = where.size();
  for (int parts = 0; parts < 4 && start > 0; ++parts) {
    const std::size_t slash = where.rfind('/', start - 1);
    if (slash == std::string::npos) {
      start = 0;
      break;
    }
    start = slash;
  }
  while (start < where.size() && where[start] == '/') ++start;
  return where.substr(start);
}

bool FileTimeClock(const std::string& path, Clock* out) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return false;
  std::tm local{};
  const std::time_t t = st.st_mtime;
  if (!::localtime_r(&t, &local)) return false;
  Clock c{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
          local.tm_hour,        local.tm_min,     std::min(local.tm_sec, 59)};
  if (!ClockIsValid(c)) return false;
  *out = c;
  return true;
}

}  // namespace

bool CardRecording::HasCamera(std::string_view camera) const {
  return std::any_of(files.begin(), files.end(),
                     [&](const CameraFile& f) { return f.camera == camera; });
}

CardScan ScanCard(const std::string& root, const std::atomic<bool>* cancel) {
  CardScan scan;
  ListVex(root, &scan.recordings);
  Walk walk(root, cancel);
  walk.Folder("", 0);
  scan.readable = walk.readable();
  scan.truncated = walk.truncated();
  std::vector<CardRecording> others = Group(walk.found());
  AttachEvents(root, walk.events(), &others);
  for (CardRecording& r : others) scan.recordings.push_back(std::move(r));
  SortRecordings(&scan.recordings);
  return scan;
}

CardScan ScanFiles(const std::string& root, const std::vector<std::string>& files) {
  CardScan scan;
  std::vector<Found> found;
  for (const std::string& path : files) {
    if (found.size() >= kMaxFiles) {
      scan.truncated = true;
      break;
    }
    // Only paths inside the root: none that starts at the top or climbs out.
    if (path.empty() || path[0] == '/' || path == ".." || path.rfind("../", 0) == 0 ||
        path.find("/../") != std::string::npos) {
      continue;
    }
    struct stat st {};
    if (::stat((root + "/" + path).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    const std::size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : path.substr(0, slash);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    Found f;
    if (!ReadCardFileName(FolderTail(root, folder), name, &f.file)) continue;
    f.path = path;
    f.bytes = std::uint64_t(st.st_size);
    found.push_back(std::move(f));
  }
  scan.recordings = Group(found);
  SortRecordings(&scan.recordings);
  return scan;
}

void DescribeRecording(const std::string& root, CardRecording* r, const std::atomic<bool>* cancel,
                       VFixClock* fixes) {
  if (r->files.empty()) return;
  if (r->family == Family::kVex) {
    DescribeVex(root, r);
    r->described = true;
    return;
  }
  bool first = true;
  for (const CameraFile& f : r->files) {
    if (Cancelled(cancel)) return;
    const ContainerInfo info = ProbeContainer(root + "/" + f.path, cancel);
    if (Cancelled(cancel)) return;
    if (!info.opened || !info.pictures) r->damaged = true;
    r->seconds = std::max(r->seconds, info.seconds);
    if (first && !r->HasClock()) {
      if (info.hasCreation) {
        r->start = info.creation;
        r->clockSource = ClockSource::kContainer;
      } else if (fixes != nullptr &&
                 fixes->StartFromFixes(root + "/" + f.path, &r->start, cancel)) {
        r->clockSource = ClockSource::kFixes;
      } else if (FileTimeClock(root + "/" + f.path, &r->start)) {
        r->clockSource = ClockSource::kFileTime;
      }
      if (r->HasClock()) r->startSeconds = ClockSeconds(r->start);
    }
    first = false;
  }
  r->described = true;
}

void SortRecordings(std::vector<CardRecording>* recordings) {
  std::stable_sort(recordings->begin(), recordings->end(),
                   [](const CardRecording& a, const CardRecording& b) {
                     if (a.HasClock() != b.HasClock()) return a.HasClock();
                     if (a.HasClock() && a.startSeconds != b.startSeconds)
                       return a.startSeconds < b.startSeconds;
                     return a.name < b.name;
                   });
}

Family CardFamilyOf(const std::vector<CardRecording>& recordings) {
  int counts[kFamilyCount] = {};
  for (const CardRecording& r : recordings) ++counts[int(r.family)];
  int best = int(Family::kGeneric);
  for (int f = 0; f < kFamilyCount; ++f) {
    if (counts[f] > counts[best] || (counts[best] == 0 && counts[f] > 0)) best = f;
  }
  return Family(best);
}

bool HasCameraFolders(const std::string& root) {
  DIR* dir = ::opendir(root.c_str());
  if (!dir) return false;
  bool found = false;
  std::size_t looked = 0;
  while (const dirent* e = ::readdir(dir)) {
    if (++looked > 4096) break;
    for (std::string_view known : {"VEX", "DCIM", "Record", "BlackVue", "cont_rec", "evt_rec",
                                   "Normal", "Event", "TeslaCam"}) {
      if (EqualsIgnoringCase(e->d_name, known)) found = true;
    }
    if (found) break;
  }
  ::closedir(dir);
  return found;
}

bool IsEmptyFolder(const std::string& root) {
  DIR* dir = ::opendir(root.c_str());
  if (!dir) return true;
  bool empty = true;
  while (const dirent* e = ::readdir(dir)) {
    if (e->d_name[0] != '.') {
      empty = false;
      break;
    }
  }
  ::closedir(dir);
  return empty;
}

bool ParseClipEvent(std::string_view text, ClipEvent* out) {
  if (text.size() > kMaxEventBytes) return false;
  const nlohmann::json j = nlohmann::json::parse(text.begin(), text.end(), nullptr, false);
  if (j.is_discarded() || !j.is_object()) return false;
  ClipEvent e;
  auto text_of = [&](const char* key, std::string* value) {
    const auto it = j.find(key);
    if (it == j.end() || !it->is_string()) return false;
    *value = it->get<std::string>().substr(0, 256);
    return true;
  };
  std::string timestamp, lat, lon;
  text_of("reason", &e.reason);
  text_of("city", &e.city);
  if (text_of("timestamp", &timestamp)) e.hasTime = ParseClockText(timestamp, &e.time);
  if (text_of("est_lat", &lat) && text_of("est_lon", &lon)) {
    char* end = nullptr;
    const double la = std::strtod(lat.c_str(), &end);
    const bool latOk = end && *end == '\0' && !lat.empty();
    const double lo = std::strtod(lon.c_str(), &end);
    const bool lonOk = end && *end == '\0' && !lon.empty();
    if (latOk && lonOk && std::isfinite(la) && std::isfinite(lo) && std::fabs(la) <= 90 &&
        std::fabs(lo) <= 180) {
      e.hasPlace = true;
      e.latitude = la;
      e.longitude = lo;
    }
  }
  if (e.reason.empty() && !e.hasTime) return false;
  *out = e;
  return true;
}

}  // namespace cards
