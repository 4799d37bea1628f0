// SPDX-License-Identifier: GPL-3.0-or-later
// The map tiles kept on disk, so that the map still shows the places seen before when the computer
// is offline.
//
// One file per tile, <folder>/<z>/<x>/<y>.tile: a short text header (when the tile goes stale, the
// server's validators ETag and Last-Modified, the length of the picture) and the PNG bytes. A tile
// is written to a temporary name beside it and renamed into place, so a crash leaves the old file
// or the new one; a file whose header or length does not add up is treated as absent and removed.
// The folder's size is bounded: when a store takes it past the bound, the tiles used longest ago
// go first. A tile's last use is its file's modification time, so the order survives a restart.
//
// z/x/y are checked (z 0..19, x and y below 2^z) before any path is built from them.
//
// Threads: every method may be called from any thread. The GUI thread only loads tiles (a file
// read, no folder scan); the fetcher's worker stores them and pays for the one-time scan of the
// folder that the size bound needs.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

// A tile of the usual web map grid.
struct TileKey {
  int z = 0;
  int x = 0;
  int y = 0;
  bool operator==(const TileKey&) const = default;
};

inline constexpr int kTileMaxZoom = 19;

// Whether z, x and y name a tile of the grid: z 0..19, x and y 0..2^z-1.
bool ValidTileKey(long long z, long long x, long long y);

// "z/x/y" or "z/x/y.png" in plain decimal digits (no sign, no spaces, at most 7 digits each)
// naming a valid tile; nothing otherwise.
std::optional<TileKey> ParseTilePath(std::string_view text);

// What the cache keeps beside a tile's picture.
struct TileMeta {
  std::int64_t expires = 0;   // Unix seconds after which the tile must be revalidated
  std::string etag;           // the server's ETag, sent back as If-None-Match; may be empty
  std::string last_modified;  // the server's Last-Modified, sent back as If-Modified-Since
};

struct CachedTile {
  std::string png;
  TileMeta meta;
};

class TileCache {
 public:
  // 500 MB: room for some 25,000 typical tiles.
  static constexpr std::uint64_t kDefaultMaxBytes = 500ull * 1000 * 1000;
  // A tile picture larger than this is refused (typical tiles are 5-50 KB).
  static constexpr std::size_t kMaxTileBytes = 1 << 20;

  // $XDG_CACHE_HOME/roadeye/tiles, or ~/.cache/roadeye/tiles when that is unset or not absolute.
  // Empty when neither variable gives a folder.
  static std::string DefaultFolder();

  // The folder is created when the first tile is stored, not before.
  explicit TileCache(std::string folder = DefaultFolder(),
                     std::uint64_t max_bytes = kDefaultMaxBytes);
  TileCache(const TileCache&) = delete;
  TileCache& operator=(const TileCache&) = delete;

  const std::string& Folder() const { return folder_; }

  // The bound on the folder's size in bytes (headers included). Lowering it evicts at once.
  void SetMaxBytes(std::uint64_t max_bytes);
  std::uint64_t MaxBytes() const;

  // The tile with its header, marking it used. False when it is absent or damaged (a damaged
  // file is removed).
  bool Load(const TileKey& key, CachedTile* out);
  // Only the header, without marking the tile used.
  bool LoadMeta(const TileKey& key, TileMeta* out);
  // Stores a tile (png at most kMaxTileBytes), then evicts the tiles used longest ago while the
  // folder is over its bound. False when the key is invalid, the picture too large for the tile
  // limit or the bound, or the file could not be written.
  bool Store(const TileKey& key, std::string_view png, const TileMeta& meta);
  // Replaces the header of a stored tile and keeps its picture (a 304 answer); marks it used.
  bool Refresh(const TileKey& key, const TileMeta& meta);
  bool Contains(const TileKey& key);
  // Removes a tile; true when it was there.
  bool Remove(const TileKey& key);

  // The bytes the folder's tiles take (scans the folder the first time).
  std::uint64_t TotalBytes();
  // The number of tiles in the folder (scans the folder the first time).
  std::size_t Count();

  // The path of a tile's file; empty for an invalid key or when there is no folder.
  std::string PathOf(const TileKey& key) const;

 private:
  struct Entry {
    std::uint64_t bytes = 0;
    std::uint64_t last_use = 0;  // nanoseconds since the epoch, unique within the index
  };
  static std::uint64_t Code(const TileKey& key);
  // Reads and checks a file; false (and the file removed) when damaged.
  bool ReadFile(const TileKey& key, CachedTile* out, bool header_only);
  bool WriteFile(const TileKey& key, std::string_view png, const TileMeta& meta);
  std::uint64_t NextUse();  // a fresh last-use stamp; lock_ held
  // Books a tile just written; its new last-use stamp. lock_ held.
  std::uint64_t Touch(const TileKey& key, std::uint64_t bytes);
  void EnsureIndex();                                       // lock_ held
  void EvictOver(std::uint64_t bound, std::uint64_t keep);  // lock_ held
  void Forget(std::uint64_t code);                          // lock_ held

  const std::string folder_;
  mutable std::mutex lock_;  // guards everything below
  std::uint64_t max_bytes_;
  bool indexed_ = false;
  std::uint64_t total_bytes_ = 0;
  std::uint64_t last_stamp_ = 0;
  std::unordered_map<std::uint64_t, Entry> entries_;          // by tile code
  std::set<std::pair<std::uint64_t, std::uint64_t>> by_use_;  // (last use, tile code)
};
