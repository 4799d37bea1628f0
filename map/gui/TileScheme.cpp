// SPDX-License-Identifier: GPL-3.0-or-later
#include "map/gui/TileScheme.h"

#include <webkit2/webkit2.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>

const std::string_view kTransparentTilePng(
    "\x89\x50\x4E\x47\x0D\x0A\x1A\x0A\x00\x00\x00\x0D\x49\x48\x44\x52\x00\x00\x00\x01\x00\x00\x00"
    "\x01\x08\x06\x00\x00\x00\x1F\x15\xC4\x89\x00\x00\x00\x0B\x49\x44\x41\x54\x78\xDA\x63\x60\x00"
    "\x02\x00\x00\x05\x00\x01\xE9\xFA\xDC\xD8\x00\x00\x00\x00\x49\x45\x4E\x44\xAE\x42\x60\x82",
    68);

wxDEFINE_EVENT(EVT_MAP_TILE, MapTileEvent);

namespace {

// One cache per folder for the whole process, so that map views side by side keep one index
// and one size bound.
std::shared_ptr<TileCache> SharedCache(const std::string& folder) {
  static std::mutex lock;
  static std::map<std::string, std::weak_ptr<TileCache>> caches;
  std::lock_guard<std::mutex> hold(lock);
  for (auto it = caches.begin(); it != caches.end();) {
    it = it->second.expired() ? caches.erase(it) : std::next(it);
  }
  if (auto existing = caches[folder].lock()) return existing;
  auto cache = std::make_shared<TileCache>(folder);
  caches[folder] = cache;
  return cache;
}

}  // namespace

MapTileEvent::MapTileEvent(MapTileNews news, const TileKey& key)
    : wxThreadEvent(EVT_MAP_TILE), news_(news), key_(key) {
  SetInt(static_cast<int>(news));
}

std::string DefaultTileUrl() {
  const char* url = std::getenv("ROADEYE_TILE_URL");
  return url != nullptr && url[0] != '\0' ? std::string(url) : std::string(kOsmTileUrl);
}

wxString NewTileScheme() {
  static std::atomic<unsigned> next{0};
  return wxString::Format("roadeye-tile-%u", ++next);
}

std::optional<TileKey> TileOfUri(std::string_view uri) {
  const std::size_t scheme_end = uri.find("://");
  if (scheme_end == std::string_view::npos) return std::nullopt;
  std::string_view rest = uri.substr(scheme_end + 3);
  rest = rest.substr(0, rest.find_first_of("?#"));
  return ParseTilePath(rest);
}

MapTileSource::MapTileSource(wxEvtHandler* target) : target_(target) {}

MapTileSource::~MapTileSource() { Detach(); }

void MapTileSource::SetUrlTemplate(std::string url_template) {
  url_template_ = std::move(url_template);
  if (fetcher_) fetcher_->SetUrlTemplate(url_template_);
}

void MapTileSource::SetCacheFolder(std::string folder) {
  if (folder == folder_ && cache_) return;
  folder_ = std::move(folder);
  fetcher_.reset();  // it stores into the old cache
  cache_.reset();
}

void MapTileSource::SetFetchOptions(const TileFetcher::Options& options) {
  fetcher_.reset();
  options_ = options;
}

TileCache& MapTileSource::Cache() {
  if (!cache_) cache_ = SharedCache(folder_.empty() ? TileCache::DefaultFolder() : folder_);
  return *cache_;
}

TileFetcher& MapTileSource::Fetcher() {
  if (!fetcher_) {
    Cache();
    TileFetcher::Options options = options_;
    options.url_template = url_template_;
    fetcher_ = std::make_unique<TileFetcher>(
        cache_, std::move(options),
        [this](const TileKey& key, TileFetchResult result) { OnFetched(key, result); });
  }
  return *fetcher_;
}

TileFetcherStats MapTileSource::FetchStats() const {
  return fetcher_ ? fetcher_->Stats() : TileFetcherStats{};
}

std::string MapTileSource::Serve(std::string_view uri) {
  const auto key = TileOfUri(uri);
  if (!key) return {};
  CachedTile tile;
  const bool have = Cache().Load(*key, &tile);
  const std::int64_t now =
      options_.now ? options_.now() : static_cast<std::int64_t>(std::time(nullptr));
  if (!have || tile.meta.expires <= now) {
    bool attached;
    {
      std::lock_guard<std::mutex> hold(target_lock_);
      attached = target_ != nullptr;
    }
    const bool online = attached && (network_check_ == nullptr || network_check_());
    // A missing or expired tile is fetched in the background; the page hears when it lands.
    const TileRequestState state = online ? Fetcher().Request(*key) : TileRequestState::kOffline;
    if (!have && state == TileRequestState::kOffline) Post(MapTileNews::kOffline, *key);
  }
  if (have) {
    ++served_cached_;
    return std::move(tile.png);
  }
  ++served_empty_;
  return std::string(kTransparentTilePng);
}

void MapTileSource::OnFetched(const TileKey& key, TileFetchResult result) {
  if (result == TileFetchResult::kStored) Post(MapTileNews::kArrived, key);
  if (result == TileFetchResult::kUnreachable) Post(MapTileNews::kOffline, key);
}

void MapTileSource::Post(MapTileNews news, const TileKey& key) {
  std::lock_guard<std::mutex> hold(target_lock_);
  if (target_ != nullptr) wxQueueEvent(target_, new MapTileEvent(news, key));
}

void MapTileSource::Detach() {
  {
    std::lock_guard<std::mutex> hold(target_lock_);
    target_ = nullptr;
  }
  fetcher_.reset();
}

std::string AnswerTileRequest(const std::weak_ptr<MapTileSource>& source, std::string_view uri) {
  const std::shared_ptr<MapTileSource> tiles = source.lock();
  if (!tiles) return {};
  return tiles->Serve(uri);
}

namespace {

// What WebKit holds for a registered scheme: the source, weakly.
struct SchemeBinding {
  std::weak_ptr<MapTileSource> source;
};

struct GObjectUnref {
  void operator()(gpointer object) const { g_object_unref(object); }
};
struct GBytesUnref {
  void operator()(GBytes* bytes) const { g_bytes_unref(bytes); }
};
struct GErrorFree {
  void operator()(GError* error) const { g_error_free(error); }
};

// A scheme name as NewTileScheme makes them, "roadeye-tile-" and a number: never one of the
// browser's own schemes (http, file, data...), whose requests would then come here.
bool TileSchemeName(std::string_view name) {
  constexpr std::string_view kPrefix = "roadeye-tile-";
  if (name.substr(0, kPrefix.size()) != kPrefix) return false;
  const std::string_view number = name.substr(kPrefix.size());
  return !number.empty() && number.size() <= 10 &&
         std::all_of(number.begin(), number.end(), [](char c) { return c >= '0' && c <= '9'; });
}

void OnTileRequest(WebKitURISchemeRequest* request, gpointer data) {
  const auto* binding = static_cast<const SchemeBinding*>(data);
  const char* uri = webkit_uri_scheme_request_get_uri(request);
  std::string bytes = AnswerTileRequest(binding->source, uri != nullptr ? uri : "");
  if (bytes.empty()) {
    std::unique_ptr<GError, GErrorFree> error(
        g_error_new_literal(G_IO_ERROR, G_IO_ERROR_NOT_FOUND, "no such tile"));
    webkit_uri_scheme_request_finish_error(request, error.get());
    return;
  }
  // The stream reads the string's own bytes; the string goes with the last reference to them.
  auto* owned = new std::string(std::move(bytes));
  std::unique_ptr<GBytes, GBytesUnref> data_bytes(g_bytes_new_with_free_func(
      owned->data(), owned->size(), [](gpointer p) { delete static_cast<std::string*>(p); },
      owned));
  const auto length = static_cast<gint64>(g_bytes_get_size(data_bytes.get()));
  std::unique_ptr<GInputStream, GObjectUnref> stream(
      g_memory_input_stream_new_from_bytes(data_bytes.get()));
  webkit_uri_scheme_request_finish(request, stream.get(), length, "image/png");
}

}  // namespace

bool RegisterTileScheme(wxWebView* browser, const wxString& scheme,
                        std::weak_ptr<MapTileSource> source) {
  if (browser == nullptr) return false;
  const std::string name = scheme.utf8_string();
  if (!TileSchemeName(name)) return false;
  auto* native = static_cast<GObject*>(browser->GetNativeBackend());
  if (native == nullptr || !WEBKIT_IS_WEB_VIEW(native)) return false;
  WebKitWebContext* context = webkit_web_view_get_context(WEBKIT_WEB_VIEW(native));
  if (context == nullptr) return false;
  // WebKit owns the binding from here on and frees it with the context.
  auto* binding = new SchemeBinding{std::move(source)};
  webkit_web_context_register_uri_scheme(context, name.c_str(), &OnTileRequest, binding,
                                         [](gpointer p) { delete static_cast<SchemeBinding*>(p); });
  return true;
}
