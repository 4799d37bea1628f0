// SPDX-License-Identifier: GPL-3.0-or-later
// Fetches the map tiles the map page asks for into the tile cache, with libsoup (the HTTP library
// WebKit already brings into the process, so that fetching tiles loads no second HTTP and TLS
// stack).
//
// Only tiles asked for are fetched, never areas ahead. At most two transfers run at once (one
// session limited to two connections, so the tile server sees at most two). Requests wait in
// a bounded queue, newest first: when the user pans on, the tiles asked for last are fetched
// first, and when the queue is full the oldest requests not yet started are dropped.
//
// The server's cache headers are honoured: a tile is not fetched again before it expires
// (Cache-Control max-age, else Expires, else a week), and once expired it is revalidated with
// If-None-Match / If-Modified-Since; a 304 answer keeps the stored picture with a new expiry. A
// response is accepted only as a whole, well-formed PNG within the size bound; anything else is
// dropped. A tile the server refused (4xx) is not asked for again for a while. When the server
// cannot be reached (or answers 5xx / 429), nothing more is sent until a retry delay has passed
// (doubling up to five minutes), and then only the newest request goes out as a probe: no retry
// storm when offline.
//
// A proxy is used as curl would: from http_proxy, https_proxy / HTTPS_PROXY, all_proxy / ALL_PROXY
// and no_proxy / NO_PROXY, and none without them.
//
// Threads: one worker thread, started with the first request. It waits on a condition when it has
// nothing to do, and on the transfers' sockets (its own main context) while it has. Request,
// SetUrlTemplate and Stats may be called from any thread. The completion callback runs on the
// worker thread and must not call back into the fetcher. The destructor aborts transfers in
// progress and joins the worker.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "map/TileCache.h"

// OpenStreetMap's standard tile server.
inline constexpr char kOsmTileUrl[] = "https://tile.openstreetmap.org/{z}/{x}/{y}.png";

// "Roadeye/<version> (+https://github.com/roadeye/roadeye)".
std::string TileUserAgent();

// The tile's URL from a template with {z}, {x}, {y} (and {s}, replaced by a, b or c); empty for
// an invalid key.
std::string TileUrl(std::string_view url_template, const TileKey& key);

// Whether bytes are a whole, well-formed PNG: the signature, an IHDR chunk first (sides 1..4096),
// every chunk's length within the bytes and its CRC right, an IEND chunk last with nothing after.
bool WellFormedPng(std::string_view bytes);

// When a response's tile expires (Unix seconds), from the response's header lines:
// Cache-Control max-age minus Age; else Expires, taken relative to Date when there is one; else a
// week. Cache-Control no-cache or no-store gives `now`: the tile is still kept for offline use,
// but revalidated whenever it is shown online. At most a year ahead.
std::int64_t TileExpiry(std::string_view headers, std::int64_t now);

// How a request ended.
enum class TileFetchResult {
  kStored,       // a new picture was stored
  kNotModified,  // the server confirmed the stored picture (304); its expiry was renewed
  kFresh,        // the stored tile had become fresh meanwhile; nothing was sent
  kUnreachable,  // no answer (cannot resolve or connect, timed out) or 5xx/429: the request
                 // stays queued and the retry delay starts
  kRefused,      // the server refused the tile (4xx other than 429)
  kRejected,     // the answer was damaged, truncated, too large or not a PNG
  kDropped,      // dropped from the queue (too many newer requests) or aborted on shutdown
};

// What Request did with a request.
enum class TileRequestState {
  kFresh,    // the cache holds the tile and it has not expired: nothing to fetch
  kQueued,   // queued (or moved to the front when it was queued already)
  kPending,  // a transfer for the tile is in progress
  kOffline,  // queued, but the server is unreachable: it goes out after the retry delay
  kRefused,  // the server refused this tile recently, or the key or the template is invalid
};

struct TileFetcherStats {
  std::uint64_t sent = 0;         // requests sent to the server
  std::uint64_t conditional = 0;  // of which revalidations (If-None-Match / If-Modified-Since)
  std::uint64_t stored = 0;
  std::uint64_t not_modified = 0;
  std::uint64_t unreachable = 0;
  std::uint64_t refused = 0;
  std::uint64_t rejected = 0;
  std::uint64_t dropped = 0;
};

class TileFetcher {
 public:
  struct Options {
    std::string url_template = kOsmTileUrl;
    std::string user_agent = TileUserAgent();
    int connections = 2;           // at most 2 whatever is asked
    std::size_t queue_limit = 64;  // requests waiting, not counting transfers
    std::size_t max_response_bytes = TileCache::kMaxTileBytes;
    long connect_timeout_ms = 10000;  // also the longest silence of a server while answering
    long transfer_timeout_ms = 30000;
    std::chrono::milliseconds first_retry_delay{15000};  // after the server could not be reached
    std::chrono::milliseconds max_retry_delay{300000};
    std::chrono::seconds refused_memory{600};  // a refused tile is not asked for again
    // Unix seconds: when tiles expire. Tests move it on; the default is the system clock.
    std::function<std::int64_t()> now;
  };
  using Done = std::function<void(const TileKey&, TileFetchResult)>;

  // `done` (optional) hears, on the worker thread, of every transfer that ends and of requests
  // found fresh when their turn came; requests dropped from a full queue are only counted.
  TileFetcher(std::shared_ptr<TileCache> cache, Options options, Done done = {});
  ~TileFetcher();
  TileFetcher(const TileFetcher&) = delete;
  TileFetcher& operator=(const TileFetcher&) = delete;

  // Asks for a tile: returns at once, the transfer runs on the worker.
  TileRequestState Request(const TileKey& key);
  // Replaces the tile source for requests not yet sent; forgets refusals and the retry delay.
  void SetUrlTemplate(std::string url_template);
  // Whether the last try to reach the server failed (and none has succeeded since).
  bool Offline() const;
  TileFetcherStats Stats() const;

 private:
  struct Transfer;
  enum class Check { kFresh, kStale, kMissing };
  Check Freshness(const TileKey& key, TileMeta* meta) const;
  void Run();  // the worker
  // Starts the transfer of a tile taken from the queue, or reports why it did not start.
  void Start(void* session, const TileKey& key, std::vector<std::unique_ptr<Transfer>>* running);
  // Stores what a finished transfer brought and books its result; lock_ not held.
  TileFetchResult Conclude(Transfer& transfer);
  void Report(const TileKey& key, TileFetchResult result);
  std::int64_t Now() const;

  const std::shared_ptr<TileCache> cache_;
  const Options options_;
  const Done done_;

  mutable std::mutex lock_;  // guards everything below
  std::condition_variable wake_;
  bool stop_ = false;
  std::string url_template_;
  std::deque<TileKey> queue_;  // front: newest
  std::unordered_map<std::uint64_t, bool> in_flight_;
  std::unordered_map<std::uint64_t, std::int64_t> refused_until_;  // tile code -> Unix seconds
  std::chrono::steady_clock::time_point retry_at_{};
  std::chrono::milliseconds retry_delay_{0};
  TileFetcherStats stats_;
  std::thread worker_;  // started with the first request

  void* context_ = nullptr;  // the worker's GMainContext, woken from any thread
  bool secure_ = false;      // the worker's: the session has the system's certificate store
};
