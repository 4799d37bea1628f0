// SPDX-License-Identifier: GPL-3.0-or-later
#include "map/TileCache.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <vector>

#include "platform/WholeFile.h"
#include "support/FileDescriptor.h"

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kMagic = "RoadeyeTile 1\n";
constexpr std::string_view kSuffix = ".tile";
// Room for the header: the magic, four short lines and two validators of at most kMaxValidator.
constexpr std::size_t kMaxHeaderBytes = 1024;
constexpr std::size_t kMaxValidator = 256;
// A temporary file older than this is a crash's leftover, not another writer's work in progress.
constexpr auto kStaleTemporary = std::chrono::minutes(10);

// A decimal number of 1..7 digits and nothing else.
std::optional<long long> SmallNumber(std::string_view text) {
  if (text.empty() || text.size() > 7) return std::nullopt;
  long long value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return value;
}

// A validator is kept only when it is short printable ASCII (it goes back into a request header).
std::string CleanValidator(std::string_view text) {
  if (text.size() > kMaxValidator) return {};
  for (const char c : text) {
    if (c < 0x20 || c > 0x7E) return {};
  }
  return std::string(text);
}

std::uint64_t NowNanoseconds() {
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                        std::chrono::system_clock::now().time_since_epoch())
                                        .count());
}

std::uint64_t MtimeNanoseconds(const struct stat& st) {
  return static_cast<std::uint64_t>(st.st_mtim.tv_sec) * 1000000000ull +
         static_cast<std::uint64_t>(st.st_mtim.tv_nsec);
}

// The access time left as it is, the modification time set to `stamp` (ns since the epoch).
void StampTimes(std::uint64_t stamp, struct timespec times[2]) {
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;
  times[1].tv_sec = static_cast<time_t>(stamp / 1000000000ull);
  times[1].tv_nsec = static_cast<long>(stamp % 1000000000ull);
}

void SetMtime(int fd, std::uint64_t stamp) {
  struct timespec times[2];
  StampTimes(stamp, times);
  (void)::futimens(fd, times);
}

bool ReadAll(int fd, char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::read(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// Parses the header at the start of `text`; the picture's length and where it starts.
bool ParseHeader(std::string_view text, TileMeta* meta, std::size_t* length, std::size_t* start) {
  if (text.substr(0, kMagic.size()) != kMagic) return false;
  std::size_t pos = kMagic.size();
  bool have_expires = false;
  bool have_length = false;
  while (true) {
    const std::size_t end = text.find('\n', pos);
    if (end == std::string_view::npos || end > kMaxHeaderBytes) return false;
    const std::string_view line = text.substr(pos, end - pos);
    pos = end + 1;
    if (line.empty()) break;
    const std::size_t space = line.find(' ');
    if (space == std::string_view::npos) return false;
    const std::string_view name = line.substr(0, space);
    const std::string_view value = line.substr(space + 1);
    if (name == "expires") {
      std::int64_t expires = 0;
      const auto r = std::from_chars(value.data(), value.data() + value.size(), expires);
      if (r.ec != std::errc() || r.ptr != value.data() + value.size()) return false;
      meta->expires = expires;
      have_expires = true;
    } else if (name == "length") {
      std::uint64_t n = 0;
      const auto r = std::from_chars(value.data(), value.data() + value.size(), n);
      if (r.ec != std::errc() || r.ptr != value.data() + value.size()) return false;
      if (n == 0 || n > TileCache::kMaxTileBytes) return false;
      *length = static_cast<std::size_t>(n);
      have_length = true;
    } else if (name == "etag") {
      meta->etag = CleanValidator(value);
    } else if (name == "modified") {
      meta->last_modified = CleanValidator(value);
    }
  }
  *start = pos;
  return have_expires && have_length;
}

std::string Header(const TileMeta& meta, std::size_t length) {
  std::string header(kMagic);
  header += "expires " + std::to_string(meta.expires) + "\n";
  const std::string etag = CleanValidator(meta.etag);
  if (!etag.empty()) header += "etag " + etag + "\n";
  const std::string modified = CleanValidator(meta.last_modified);
  if (!modified.empty()) header += "modified " + modified + "\n";
  header += "length " + std::to_string(length) + "\n\n";
  return header;
}

}  // namespace

bool ValidTileKey(long long z, long long x, long long y) {
  if (z < 0 || z > kTileMaxZoom) return false;
  const long long side = 1ll << z;
  return x >= 0 && x < side && y >= 0 && y < side;
}

std::optional<TileKey> ParseTilePath(std::string_view text) {
  if (text.size() >= 4 && text.substr(text.size() - 4) == ".png") text.remove_suffix(4);
  const std::size_t first = text.find('/');
  if (first == std::string_view::npos) return std::nullopt;
  const std::size_t second = text.find('/', first + 1);
  if (second == std::string_view::npos) return std::nullopt;
  const auto z = SmallNumber(text.substr(0, first));
  const auto x = SmallNumber(text.substr(first + 1, second - first - 1));
  const auto y = SmallNumber(text.substr(second + 1));
  if (!z || !x || !y || !ValidTileKey(*z, *x, *y)) return std::nullopt;
  return TileKey{static_cast<int>(*z), static_cast<int>(*x), static_cast<int>(*y)};
}

std::string TileCache::DefaultFolder() {
  const char* xdg = std::getenv("XDG_CACHE_HOME");
  if (xdg != nullptr && xdg[0] == '/') return std::string(xdg) + "/roadeye/tiles";
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') return std::string(home) + "/.cache/roadeye/tiles";
  return {};
}

TileCache::TileCache(std::string folder, std::uint64_t max_bytes)
    : folder_(std::move(folder)), max_bytes_(max_bytes) {}

void TileCache::SetMaxBytes(std::uint64_t max_bytes) {
  EnsureIndex();
  std::lock_guard<std::mutex> hold(lock_);
  max_bytes_ = max_bytes;
  EvictOver(max_bytes_, ~0ull);
}

std::uint64_t TileCache::MaxBytes() const {
  std::lock_guard<std::mutex> hold(lock_);
  return max_bytes_;
}

std::uint64_t TileCache::Code(const TileKey& key) {
  return (static_cast<std::uint64_t>(key.z) << 40) | (static_cast<std::uint64_t>(key.x) << 20) |
         static_cast<std::uint64_t>(key.y);
}

std::string TileCache::PathOf(const TileKey& key) const {
  if (folder_.empty() || !ValidTileKey(key.z, key.x, key.y)) return {};
  return folder_ + "/" + std::to_string(key.z) + "/" + std::to_string(key.x) + "/" +
         std::to_string(key.y) + std::string(kSuffix);
}

bool TileCache::ReadFile(const TileKey& key, CachedTile* out, bool header_only) {
  const std::string path = PathOf(key);
  if (path.empty()) return false;
  const FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY));
  if (fd.get() < 0) return false;
  struct stat st {};
  bool ok = ::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0 &&
            static_cast<std::uint64_t>(st.st_size) <= kMaxTileBytes + kMaxHeaderBytes;
  std::string text;
  TileMeta meta;
  std::size_t length = 0;
  std::size_t start = 0;
  if (ok) {
    const std::size_t size = static_cast<std::size_t>(st.st_size);
    text.resize(header_only ? std::min(size, kMaxHeaderBytes) : size);
    ok = ReadAll(fd.get(), text.data(), text.size()) && ParseHeader(text, &meta, &length, &start) &&
         start + length == size;
  }
  if (!ok) {
    // Anything but a whole tile is dropped, so it is fetched again when it is next wanted.
    std::lock_guard<std::mutex> hold(lock_);
    ::unlink(path.c_str());
    Forget(Code(key));
    return false;
  }
  if (!header_only) {
    std::lock_guard<std::mutex> hold(lock_);
    const std::uint64_t stamp = NextUse();
    SetMtime(fd.get(), stamp);
    if (indexed_) {
      Forget(Code(key));
      entries_[Code(key)] = Entry{static_cast<std::uint64_t>(st.st_size), stamp};
      by_use_.emplace(stamp, Code(key));
      total_bytes_ += static_cast<std::uint64_t>(st.st_size);
    }
    out->png.assign(text, start, length);
  }
  out->meta = std::move(meta);
  return true;
}

bool TileCache::Load(const TileKey& key, CachedTile* out) {
  CachedTile tile;
  if (!ReadFile(key, &tile, false)) return false;
  *out = std::move(tile);
  return true;
}

bool TileCache::LoadMeta(const TileKey& key, TileMeta* out) {
  CachedTile tile;
  if (!ReadFile(key, &tile, true)) return false;
  *out = std::move(tile.meta);
  return true;
}

bool TileCache::Contains(const TileKey& key) {
  TileMeta meta;
  return LoadMeta(key, &meta);
}

bool TileCache::WriteFile(const TileKey& key, std::string_view png, const TileMeta& meta) {
  const std::string path = PathOf(key);
  if (path.empty() || png.empty() || png.size() > kMaxTileBytes) return false;
  std::error_code ec;
  fs::create_directories(fs::path(path).parent_path(), ec);
  if (ec) return false;
  std::string text = Header(meta, png.size());
  text.append(png);
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (text.size() > max_bytes_) return false;
  }
  if (!WriteWholeFile(path, text, WholeFileMode::kReplace)) return false;
  std::lock_guard<std::mutex> hold(lock_);
  const std::uint64_t stamp = Touch(key, text.size());
  // The file system's clock is coarser than the stamps: the file carries the exact one, so that
  // a later scan orders tiles stored close together the same way.
  struct timespec times[2];
  StampTimes(stamp, times);
  (void)::utimensat(AT_FDCWD, path.c_str(), times, 0);
  return true;
}

bool TileCache::Store(const TileKey& key, std::string_view png, const TileMeta& meta) {
  EnsureIndex();
  if (!WriteFile(key, png, meta)) return false;
  std::lock_guard<std::mutex> hold(lock_);
  EvictOver(max_bytes_, Code(key));
  return true;
}

bool TileCache::Refresh(const TileKey& key, const TileMeta& meta) {
  CachedTile tile;
  if (!ReadFile(key, &tile, false)) return false;
  return Store(key, tile.png, meta);
}

bool TileCache::Remove(const TileKey& key) {
  const std::string path = PathOf(key);
  if (path.empty()) return false;
  std::lock_guard<std::mutex> hold(lock_);
  Forget(Code(key));
  return ::unlink(path.c_str()) == 0;
}

std::uint64_t TileCache::TotalBytes() {
  EnsureIndex();
  std::lock_guard<std::mutex> hold(lock_);
  return total_bytes_;
}

std::size_t TileCache::Count() {
  EnsureIndex();
  std::lock_guard<std::mutex> hold(lock_);
  return entries_.size();
}

std::uint64_t TileCache::NextUse() {
  last_stamp_ = std::max(NowNanoseconds(), last_stamp_ + 1);
  return last_stamp_;
}

std::uint64_t TileCache::Touch(const TileKey& key, std::uint64_t bytes) {
  const std::uint64_t code = Code(key);
  const std::uint64_t stamp = NextUse();
  if (!indexed_) return stamp;
  Forget(code);
  entries_[code] = Entry{bytes, stamp};
  by_use_.emplace(stamp, code);
  total_bytes_ += bytes;
  return stamp;
}

void TileCache::Forget(std::uint64_t code) {
  const auto it = entries_.find(code);
  if (it == entries_.end()) return;
  by_use_.erase({it->second.last_use, code});
  total_bytes_ -= it->second.bytes;
  entries_.erase(it);
}

void TileCache::EvictOver(std::uint64_t bound, std::uint64_t keep) {
  if (!indexed_) return;
  auto it = by_use_.begin();
  while (total_bytes_ > bound && it != by_use_.end()) {
    const std::uint64_t code = it->second;
    ++it;
    if (code == keep) continue;
    const TileKey key{static_cast<int>(code >> 40), static_cast<int>((code >> 20) & 0xFFFFF),
                      static_cast<int>(code & 0xFFFFF)};
    ::unlink(PathOf(key).c_str());
    Forget(code);
  }
}

void TileCache::EnsureIndex() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (indexed_ || folder_.empty()) return;
  }
  // The scan runs without the lock, so the GUI thread's loads never wait for it; tiles touched
  // meanwhile carry newer stamps and win the merge below.
  struct Found {
    std::uint64_t code;
    Entry entry;
  };
  std::vector<Found> found;
  std::error_code ec;
  const auto now = fs::file_time_type::clock::now();
  for (fs::directory_iterator zs(folder_, ec), end; !ec && zs != end; zs.increment(ec)) {
    const auto z = SmallNumber(zs->path().filename().string());
    if (!z || !ValidTileKey(*z, 0, 0)) continue;
    std::error_code ec_x;
    for (fs::directory_iterator xs(zs->path(), ec_x); !ec_x && xs != end; xs.increment(ec_x)) {
      const auto x = SmallNumber(xs->path().filename().string());
      if (!x || !ValidTileKey(*z, *x, 0)) continue;
      std::error_code ec_y;
      for (fs::directory_iterator ys(xs->path(), ec_y); !ec_y && ys != end; ys.increment(ec_y)) {
        const std::string name = ys->path().filename().string();
        if (name.size() > 1 && name[0] == '.' && name.find(".tmp-") != std::string::npos) {
          std::error_code ignored;
          const auto written = fs::last_write_time(ys->path(), ignored);
          if (!ignored && now - written > kStaleTemporary) fs::remove(ys->path(), ignored);
          continue;
        }
        if (name.size() <= kSuffix.size() || !name.ends_with(kSuffix)) continue;
        const auto y = SmallNumber(std::string_view(name).substr(0, name.size() - kSuffix.size()));
        if (!y || !ValidTileKey(*z, *x, *y)) continue;
        struct stat st {};
        if (::lstat(ys->path().c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        const TileKey key{static_cast<int>(*z), static_cast<int>(*x), static_cast<int>(*y)};
        found.push_back(
            {Code(key), Entry{static_cast<std::uint64_t>(st.st_size), MtimeNanoseconds(st)}});
      }
    }
  }
  std::lock_guard<std::mutex> hold(lock_);
  if (indexed_) return;
  indexed_ = true;
  for (auto& f : found) {
    if (entries_.count(f.code) != 0) continue;
    while (by_use_.count({f.entry.last_use, f.code}) != 0) ++f.entry.last_use;
    entries_[f.code] = f.entry;
    by_use_.emplace(f.entry.last_use, f.code);
    total_bytes_ += f.entry.bytes;
    last_stamp_ = std::max(last_stamp_, f.entry.last_use);
  }
  EvictOver(max_bytes_, ~0ull);
}
