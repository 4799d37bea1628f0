#include "telemetry/gui/TileScheme.h"

#include <wx/filesys.h>
#include <wx/stream.h>

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

// The answer's bytes as a stream that lets go of them once they are read: wx 3.2 reads the whole
// answer in one go and never deletes the wxFSFile it is handed, so only this small shell stays.
class TileBytesStream : public wxInputStream {
 public:
  explicit TileBytesStream(std::string bytes)
      : bytes_(std::move(bytes)), length_(static_cast<wxFileOffset>(bytes_.size())) {}
  wxFileOffset GetLength() const override { return length_; }

 protected:
  size_t OnSysRead(void* buffer, size_t size) override {
    const std::size_t left = bytes_.size() - pos_;
    if (left == 0) {
      m_lasterror = wxSTREAM_EOF;
      return 0;
    }
    const std::size_t n = std::min(size, left);
    std::memcpy(buffer, bytes_.data() + pos_, n);
    pos_ += n;
    if (pos_ == bytes_.size()) {
      std::string().swap(bytes_);
      pos_ = 0;
    }
    return n;
  }

 private:
  std::string bytes_;
  std::size_t pos_ = 0;
  wxFileOffset length_;
};

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

TileSchemeHandler::TileSchemeHandler(const wxString& scheme, std::shared_ptr<MapTileSource> source)
    : wxWebViewHandler(scheme), source_(std::move(source)) {}

wxFSFile* TileSchemeHandler::GetFile(const wxString& uri) {
  std::string bytes = source_->Serve(uri.utf8_string());
  if (bytes.empty()) return nullptr;
  return new wxFSFile(new TileBytesStream(std::move(bytes)), uri, "image/png", wxEmptyString,
                      wxDateTime::Now());
}
