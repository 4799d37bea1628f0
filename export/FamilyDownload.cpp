// SPDX-License-Identifier: GPL-3.0-or-later
#include "export/FamilyDownload.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>

#include "export/ConvertRecording.h"
#include "platform/WholeFile.h"
#include "support/FileDescriptor.h"

namespace {

// Bytes copied at a time: large enough that the system calls cost nothing beside the disk, small
// enough that Cancel is heard within a moment on a slow card.
constexpr std::size_t kChunkBytes = 1 << 20;
// More files than any camera writes for one moment (Tesla's six); a listing with more is not
// believed.
constexpr std::size_t kMaxFiles = 16;
// The temporary name of a file is its name between "." and ".<pid>-<serial>": this much longer.
constexpr std::size_t kTemporaryExtra = 24;

std::string BaseName(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The card folder a file lies in, relative to the card ("" at the card's root).
std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

// A path under the card as the listing walked it: relative, no "." or ".." part, no empty part.
bool PlainCardPath(const std::string& path) {
  if (path.empty() || path.front() == '/' || path.size() >= PATH_MAX) return false;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    const std::string part = path.substr(start, end - start);
    if (part.empty() || part == "." || part == "..") return false;
    start = end + 1;
  }
  return true;
}

std::string Joined(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  return folder.back() == '/' ? folder + name : folder + "/" + name;
}

// Writes all of n bytes; false with errno set.
bool WriteAll(int fd, const std::uint8_t* data, std::size_t n) {
  while (n > 0) {
    const ssize_t w = ::write(fd, data, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) {
      if (w == 0) errno = EIO;
      return false;
    }
    data += w;
    n -= std::size_t(w);
  }
  return true;
}

// What a recording's copy left on the disk until it is kept: its temporary files, the files
// renamed into place and the subfolders it made, removed (the folders when empty) unless kept.
class CopyLeftovers {
 public:
  CopyLeftovers() = default;
  CopyLeftovers(const CopyLeftovers&) = delete;
  CopyLeftovers& operator=(const CopyLeftovers&) = delete;
  ~CopyLeftovers() {
    if (kept_) return;
    for (const std::string& p : files_) ::unlink(p.c_str());
    for (auto it = folders_.rbegin(); it != folders_.rend(); ++it) ::rmdir(it->c_str());
  }
  void AddFile(const std::string& path) { files_.push_back(path); }
  void AddFolder(const std::string& path) { folders_.push_back(path); }
  void Keep() { kept_ = true; }

 private:
  std::vector<std::string> files_, folders_;
  bool kept_ = false;
};

DownloadOutcome& Fail(DownloadOutcome& outcome, ConvertResult result, int error) {
  outcome.result = result;
  outcome.systemError = error;
  outcome.reason = result == kConvertStopped
                       ? "stopped before its files were complete; none of them was kept"
                       : ConvertResultText(result);
  if (error != 0) outcome.reason += std::string(" (") + std::strerror(error) + ")";
  outcome.path.clear();
  outcome.files.clear();
  return outcome;
}

}  // namespace

std::vector<std::vector<std::string>> PlanFamilyNames(
    const std::vector<cards::CardRecording>& recordings) {
  std::map<std::string, int> byName, byFolderName;
  for (const cards::CardRecording& r : recordings) {
    for (const cards::CameraFile& f : r.files) {
      const std::string base = BaseName(f.path);
      ++byName[base];
      ++byFolderName[BaseName(FolderOf(f.path)) + "/" + base];
    }
  }
  std::vector<std::vector<std::string>> plan;
  plan.reserve(recordings.size());
  for (const cards::CardRecording& r : recordings) {
    std::vector<std::string>& names = plan.emplace_back();
    for (const cards::CameraFile& f : r.files) {
      const std::string base = BaseName(f.path);
      const std::string folder = FolderOf(f.path);
      if (byName[base] == 1 || folder.empty()) {
        names.push_back(base);
      } else if (byFolderName[BaseName(folder) + "/" + base] == 1) {
        names.push_back(BaseName(folder) + "/" + base);
      } else {
        std::string flat = folder;
        for (char& c : flat) {
          if (c == '/') c = '_';
        }
        names.push_back(flat + "/" + base);
      }
    }
  }
  return plan;
}

DownloadOutcome CopyRecordingToFolder(const std::string& root,
                                      const cards::CardRecording& recording,
                                      const std::vector<std::string>& names,
                                      const std::string& folder, VDownloadProgress* progress,
                                      std::atomic<int>* busy) {
  DownloadOutcome outcome;
  outcome.name = recording.name;
  const std::size_t count = recording.files.size();
  if (count == 0 || count > kMaxFiles || names.size() != count) {
    return Fail(outcome, kConvertOpenFailed, 0);
  }

  // Where each file goes: at most one subfolder, each part a plain file name.
  struct Place {
    std::string source, subfolder, destination, temporary;
    std::uint64_t bytes = 0;
  };
  std::vector<Place> places(count);
  std::uint64_t total = 0;
  for (std::size_t i = 0; i < count; ++i) {
    Place& p = places[i];
    const std::string& name = names[i];
    const std::size_t slash = name.find('/');
    const std::string sub = slash == std::string::npos ? std::string() : name.substr(0, slash);
    const std::string file = slash == std::string::npos ? name : name.substr(slash + 1);
    std::string unused;
    if (!PlainCardPath(recording.files[i].path) || !MakeDestinationPath(folder, file, &unused) ||
        (!sub.empty() && !MakeDestinationPath(folder, sub, &unused))) {
      return Fail(outcome, kConvertBadName, 0);
    }
    p.source = Joined(root.empty() ? std::string(".") : root, recording.files[i].path);
    p.subfolder = sub.empty() ? folder : Joined(folder, sub);
    p.destination = Joined(p.subfolder, file);
    if (p.destination.size() + kTemporaryExtra >= PATH_MAX) {
      return Fail(outcome, kConvertPathTooLong, 0);
    }
    // The card's file as it is now: a plain file, never a link out of the card.
    struct stat st {};
    if (::lstat(p.source.c_str(), &st) != 0) return Fail(outcome, kConvertOpenFailed, errno);
    if (!S_ISREG(st.st_mode)) return Fail(outcome, kConvertOpenFailed, 0);
    p.bytes = std::uint64_t(st.st_size);
    total += p.bytes;
  }

  CopyLeftovers leftovers;
  const std::unique_ptr<std::uint8_t[]> chunk(new std::uint8_t[kChunkBytes]);
  std::uint64_t done = 0;
  for (Place& p : places) {
    if (p.subfolder != folder) {
      if (::mkdir(p.subfolder.c_str(), 0777) == 0) {
        leftovers.AddFolder(p.subfolder);
      } else if (errno != EEXIST) {
        return Fail(outcome, kConvertCreateFailed, errno);
      }
    }
    const FileDescriptor in(::open(p.source.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW));
    if (in.get() < 0) return Fail(outcome, kConvertOpenFailed, errno);
    (void)::posix_fadvise(in.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
    p.temporary = MakeTemporaryFile(p.subfolder, BaseName(p.destination));
    if (p.temporary.empty()) return Fail(outcome, kConvertCreateFailed, errno);
    leftovers.AddFile(p.temporary);
    const FileDescriptor out(::open(p.temporary.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC));
    if (out.get() < 0) return Fail(outcome, kConvertCreateFailed, errno);
    for (;;) {
      if (busy->load() == 0) return Fail(outcome, kConvertStopped, 0);
      const ssize_t n = ::read(in.get(), chunk.get(), kChunkBytes);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return Fail(outcome, kConvertReadFailed, errno);
      if (n == 0) break;
      if (!WriteAll(out.get(), chunk.get(), std::size_t(n))) {
        return Fail(outcome, kConvertWriteFailed, errno);
      }
      done += std::uint64_t(n);
      if (progress && !progress->OnBytes(done, total)) busy->store(0);
    }
    if (::fsync(out.get()) != 0) return Fail(outcome, kConvertCloseFailed, errno);
  }

  // Every file complete on the disk: into place, together.
  for (const Place& p : places) {
    if (std::rename(p.temporary.c_str(), p.destination.c_str()) != 0) {
      return Fail(outcome, kConvertCloseFailed, errno);
    }
    leftovers.AddFile(p.destination);
    outcome.files.push_back(p.destination);
  }
  leftovers.Keep();
  for (const Place& p : places) SyncPath(p.subfolder, O_RDONLY | O_DIRECTORY);
  if (!places.empty() && places.front().subfolder != folder) {
    SyncPath(folder.empty() ? std::string(".") : folder, O_RDONLY | O_DIRECTORY);
  }
  outcome.result = kConvertDone;
  outcome.path = outcome.files.front();
  return outcome;
}

std::vector<DownloadOutcome> CopyFamilyToFolder(const std::string& root,
                                                const std::vector<cards::CardRecording>& recordings,
                                                const std::string& folder,
                                                VDownloadProgress* progress,
                                                std::atomic<int>* busy) {
  std::vector<DownloadOutcome> outcomes;
  const std::vector<std::vector<std::string>> plan = PlanFamilyNames(recordings);
  const int count = int(recordings.size());
  for (int i = 0; i < count && busy->load() != 0; ++i) {
    const cards::CardRecording& r = recordings[std::size_t(i)];
    if (progress != nullptr) progress->OnRecordingStart(i, count, r.name);
    outcomes.push_back(
        CopyRecordingToFolder(root, r, plan[std::size_t(i)], folder, progress, busy));
  }
  return outcomes;
}
