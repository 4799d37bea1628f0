// SPDX-License-Identifier: GPL-3.0-or-later
// Map tiles for the map page through a URL scheme of the viewer's own
// ("roadeye-tile-N://z/x/y.png"), served from the tile cache on disk and fetched from the tile
// server in the background.
//
// The scheme is registered with the browser's WebKit context directly (RegisterTileScheme), not
// through wx 3.2's wxWebViewHandler, whose answers cost some 32 KB each that are never given back.
// A request is answered at once on the GUI thread and never waits for the network: a cached tile
// is served from disk (an expired one too, while it is revalidated), and a tile not cached yet is
// answered with a transparent picture while its fetch is queued. When the fetch lands, the
// fetcher's worker posts a MapTileEvent to the map view, which asks the page to load that tile
// again.
//
// Each map view registers a scheme of its own (NewTileScheme): WebKit keeps the first handler
// registered for a scheme for the life of the context ("Cannot register URI scheme ... more than
// once"), so a second view's tiles would otherwise go to the first view's source.
//
// Threads: MapTileSource's setters and Serve belong to the GUI thread; the fetcher's worker only
// posts events through it, under its lock, until Detach.
#pragma once

#include <wx/event.h>
#include <wx/webview.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "map/TileCache.h"
#include "map/TileFetcher.h"

// A 1x1 transparent PNG: the answer for a tile not cached yet.
extern const std::string_view kTransparentTilePng;

// What a MapTileEvent tells the map view.
enum class MapTileNews {
  kArrived,  // a new picture of the tile was stored: the page should load it again
  kOffline,  // a tile the page wants is missing and cannot be fetched now
};

// Posted to the map view (GetInt(): a MapTileNews; the tile's z, x, y from Key()).
class MapTileEvent : public wxThreadEvent {
 public:
  MapTileEvent(MapTileNews news, const TileKey& key);
  MapTileEvent* Clone() const override { return new MapTileEvent(*this); }
  MapTileNews News() const { return news_; }
  const TileKey& Key() const { return key_; }

 private:
  MapTileNews news_;
  TileKey key_;
};
wxDECLARE_EVENT(EVT_MAP_TILE, MapTileEvent);

// Where tiles are fetched from unless a view is told otherwise: $ROADEYE_TILE_URL when set (a
// test run points it at a loopback server), else OpenStreetMap's tile server.
std::string DefaultTileUrl();

// A scheme name no other map view of the process uses: "roadeye-tile-1", "roadeye-tile-2", ...
wxString NewTileScheme();

// The tile a scheme URI names ("<scheme>://z/x/y.png", a query or fragment ignored); nothing
// when the rest is not exactly a valid tile path.
std::optional<TileKey> TileOfUri(std::string_view uri);

// The tiles of one map view: the cache (shared by every view using the same folder), the fetcher
// (started when a tile is first missing) and where news goes.
class MapTileSource {
 public:
  using NetworkCheck = bool (*)();

  // Events go to `target` until Detach.
  explicit MapTileSource(wxEvtHandler* target);
  ~MapTileSource();
  MapTileSource(const MapTileSource&) = delete;
  MapTileSource& operator=(const MapTileSource&) = delete;

  // The tile server's URL template ({z}, {x}, {y}, {s}).
  void SetUrlTemplate(std::string url_template);
  // The cache folder; empty: TileCache::DefaultFolder(). Takes effect for tiles asked for later.
  void SetCacheFolder(std::string folder);
  // Asked before each fetch; null means always online.
  void SetNetworkCheck(NetworkCheck check) { network_check_ = check; }
  // The fetcher's settings other than the template (tests shorten the retry delay). Replaces a
  // running fetcher.
  void SetFetchOptions(const TileFetcher::Options& options);

  // The bytes answering a request for `uri`, at once: the cached picture, or the transparent one
  // (and a fetch queued) when there is none. Empty for a URI naming no tile.
  std::string Serve(std::string_view uri);

  // No more events to the target; transfers in progress are aborted and the worker joined.
  void Detach();

  TileCache& Cache();
  // The fetcher's counters (zeros before the first fetch).
  TileFetcherStats FetchStats() const;
  // Tiles served from the cache / answered with the transparent picture.
  int ServedFromCache() const { return served_cached_; }
  int ServedEmpty() const { return served_empty_; }

 private:
  TileFetcher& Fetcher();
  void Post(MapTileNews news, const TileKey& key);
  void OnFetched(const TileKey& key, TileFetchResult result);

  std::string url_template_ = kOsmTileUrl;
  std::string folder_;
  std::shared_ptr<TileCache> cache_;
  NetworkCheck network_check_ = nullptr;
  TileFetcher::Options options_;
  std::unique_ptr<TileFetcher> fetcher_;
  int served_cached_ = 0;
  int served_empty_ = 0;

  std::mutex target_lock_;  // guards target_: the worker posts through it
  wxEvtHandler* target_;
};

// Answers `scheme`'s requests in the browser's WebKit context from `source`, held weakly: once
// the source is gone, requests for the scheme fail with "not found". The registration lasts as
// long as the context (the process's default one: the life of the program). False when the
// browser is not a WebKit view or the scheme is not one NewTileScheme makes.
bool RegisterTileScheme(wxWebView* browser, const wxString& scheme,
                        std::weak_ptr<MapTileSource> source);

// What answers a request for `uri` from `source`: the bytes Serve gives, or nothing (an empty
// string) when the source is gone or the URI names no tile. The scheme handler's whole logic,
// apart from handing the bytes to WebKit.
std::string AnswerTileRequest(const std::weak_ptr<MapTileSource>& source, std::string_view uri);
