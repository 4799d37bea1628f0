#include "telemetry/TileFetcher.h"

#include <curl/curl.h>
#include <pthread.h>
#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <ctime>
#include <system_error>
#include <vector>

#ifndef ROADEYE_VERSION
#define ROADEYE_VERSION "0"
#endif

namespace {

constexpr std::int64_t kDefaultFreshness = 7 * 24 * 3600;  // a week, without cache headers
constexpr std::int64_t kMaxFreshness = 365 * 24 * 3600;
constexpr std::size_t kMaxHeaderBytes = 16 * 1024;  // all header lines of one response
constexpr std::size_t kMaxRefusalsKept = 4096;
constexpr std::uint32_t kMaxPngSide = 4096;
// While transfers run, the worker waits on their sockets; curl shortens this to its own timers.
constexpr int kSocketWaitMs = 1000;

std::uint64_t Code(const TileKey& key) {
  return (static_cast<std::uint64_t>(key.z) << 40) | (static_cast<std::uint64_t>(key.x) << 20) |
         static_cast<std::uint64_t>(key.y);
}

std::uint32_t BigEndian32(const unsigned char* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
         std::uint32_t{p[3]};
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' ||
                           text.back() == '\n')) {
    text.remove_suffix(1);
  }
  return text;
}

bool SameText(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char c, char d) {
           return std::tolower(static_cast<unsigned char>(c)) ==
                  std::tolower(static_cast<unsigned char>(d));
         });
}

// The value of the last header line called `name` (the last response's, since the list is
// cleared at each status line); empty when there is none.
std::string_view HeaderValue(std::string_view headers, std::string_view name) {
  std::string_view found;
  std::size_t pos = 0;
  while (pos < headers.size()) {
    std::size_t end = headers.find('\n', pos);
    if (end == std::string_view::npos) end = headers.size();
    const std::string_view line = headers.substr(pos, end - pos);
    pos = end + 1;
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    if (SameText(Trim(line.substr(0, colon)), name)) found = Trim(line.substr(colon + 1));
  }
  return found;
}

// A non-negative decimal of at most 18 digits (larger ones are clamped by the caller).
std::optional<std::int64_t> Seconds(std::string_view text) {
  if (text.empty() || text.size() > 18) return std::nullopt;
  std::int64_t value = 0;
  const auto r = std::from_chars(text.data(), text.data() + text.size(), value);
  if (r.ec != std::errc() || r.ptr != text.data() + text.size() || value < 0) return std::nullopt;
  return value;
}

std::optional<std::int64_t> HttpDate(std::string_view text) {
  if (text.empty() || text.size() > 64) return std::nullopt;
  const std::string copy(text);
  const time_t t = curl_getdate(copy.c_str(), nullptr);
  if (t == static_cast<time_t>(-1)) return std::nullopt;
  return static_cast<std::int64_t>(t);
}

std::int64_t SystemNow() { return static_cast<std::int64_t>(std::time(nullptr)); }

void GlobalInit() {
  // curl_global_init is thread-safe from 7.84 on; once is enough for the process.
  static const bool done = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  (void)done;
}

}  // namespace

std::string TileUserAgent() {
  return std::string("Roadeye/") + ROADEYE_VERSION + " (+https://github.com/roadeye/roadeye)";
}

std::string TileUrl(std::string_view url_template, const TileKey& key) {
  if (!ValidTileKey(key.z, key.x, key.y)) return {};
  std::string url;
  url.reserve(url_template.size() + 16);
  for (std::size_t i = 0; i < url_template.size(); ++i) {
    const std::string_view rest = url_template.substr(i);
    if (rest.starts_with("{z}")) {
      url += std::to_string(key.z);
    } else if (rest.starts_with("{x}")) {
      url += std::to_string(key.x);
    } else if (rest.starts_with("{y}")) {
      url += std::to_string(key.y);
    } else if (rest.starts_with("{s}")) {
      url += "abc"[(key.x + key.y) % 3];
    } else {
      url += url_template[i];
      continue;
    }
    i += 2;
  }
  return url;
}

bool WellFormedPng(std::string_view bytes) {
  static constexpr unsigned char kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t size = bytes.size();
  if (size < 8 || !std::equal(kSignature, kSignature + 8, p)) return false;
  std::size_t pos = 8;
  bool first = true;
  bool have_data = false;
  while (pos + 12 <= size) {
    const std::uint32_t length = BigEndian32(p + pos);
    if (length > size - pos - 12) return false;
    const unsigned char* type = p + pos + 4;
    const unsigned char* data = type + 4;
    const std::uint32_t crc = BigEndian32(data + length);
    uLong computed = crc32(0L, Z_NULL, 0);
    computed = crc32(computed, type, 4 + length);
    if (computed != crc) return false;
    const std::string_view name(reinterpret_cast<const char*>(type), 4);
    if (first) {
      if (name != "IHDR" || length != 13) return false;
      const std::uint32_t width = BigEndian32(data);
      const std::uint32_t height = BigEndian32(data + 4);
      if (width == 0 || height == 0 || width > kMaxPngSide || height > kMaxPngSide) return false;
      first = false;
    } else if (name == "IHDR") {
      return false;
    }
    if (name == "IDAT") have_data = true;
    pos += 12 + length;
    if (name == "IEND") return length == 0 && pos == size && have_data;
  }
  return false;
}

std::int64_t TileExpiry(std::string_view headers, std::int64_t now) {
  std::optional<std::int64_t> fresh_for;
  const std::string_view control = HeaderValue(headers, "Cache-Control");
  std::size_t pos = 0;
  while (pos <= control.size()) {
    std::size_t end = control.find(',', pos);
    if (end == std::string_view::npos) end = control.size();
    const std::string_view directive = Trim(control.substr(pos, end - pos));
    pos = end + 1;
    if (SameText(directive, "no-store") || SameText(directive, "no-cache")) return now;
    if (directive.size() > 8 && SameText(directive.substr(0, 8), "max-age=")) {
      std::string_view value = directive.substr(8);
      if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
        value = value.substr(1, value.size() - 2);
      }
      if (const auto seconds = Seconds(value)) fresh_for = *seconds;
    }
  }
  if (fresh_for) {
    if (const auto age = Seconds(HeaderValue(headers, "Age"))) {
      *fresh_for = std::max<std::int64_t>(0, *fresh_for - *age);
    }
  } else if (const std::string_view expires = HeaderValue(headers, "Expires"); !expires.empty()) {
    // An Expires that cannot be read means already expired.
    const auto when = HttpDate(expires);
    if (!when) return now;
    const auto date = HttpDate(HeaderValue(headers, "Date"));
    fresh_for = *when - (date ? *date : now);
  } else {
    fresh_for = kDefaultFreshness;
  }
  return now + std::clamp<std::int64_t>(*fresh_for, 0, kMaxFreshness);
}

// One transfer: its easy handle, what it sends and what came back.
struct TileFetcher::Transfer {
  TileKey key;
  CURL* easy = nullptr;
  curl_slist* request_headers = nullptr;
  bool conditional = false;
  TileMeta old_meta;
  std::string body;
  std::string headers;
  std::size_t max_bytes = 0;
  bool too_large = false;
  const std::atomic<bool>* abort = nullptr;

  Transfer() = default;
  Transfer(const Transfer&) = delete;
  Transfer& operator=(const Transfer&) = delete;
  ~Transfer() {
    if (easy != nullptr) curl_easy_cleanup(easy);
    if (request_headers != nullptr) curl_slist_free_all(request_headers);
  }

  static size_t OnBody(char* data, size_t size, size_t count, void* self) {
    auto* t = static_cast<Transfer*>(self);
    const std::size_t n = size * count;
    if (n > t->max_bytes - t->body.size()) {
      t->too_large = true;
      return 0;  // ends the transfer with a write error
    }
    t->body.append(data, n);
    return n;
  }

  static size_t OnHeader(char* data, size_t size, size_t count, void* self) {
    auto* t = static_cast<Transfer*>(self);
    const std::size_t n = size * count;
    const std::string_view line(data, n);
    // Each response (an interim 100 one included) starts over with its status line.
    if (line.starts_with("HTTP/")) t->headers.clear();
    if (n > kMaxHeaderBytes - t->headers.size()) return 0;
    t->headers.append(line);
    return n;
  }

  static int OnProgress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<Transfer*>(self)->abort->load() ? 1 : 0;
  }
};

TileFetcher::TileFetcher(std::shared_ptr<TileCache> cache, Options options, Done done)
    : cache_(std::move(cache)),
      options_(std::move(options)),
      done_(std::move(done)),
      url_template_(options_.url_template) {
  GlobalInit();
  CURLM* multi = curl_multi_init();
  if (multi != nullptr) {
    const long connections = std::clamp(options_.connections, 1, 2);
    curl_multi_setopt(multi, CURLMOPT_MAX_HOST_CONNECTIONS, connections);
    curl_multi_setopt(multi, CURLMOPT_MAX_TOTAL_CONNECTIONS, connections);
    curl_multi_setopt(multi, CURLMOPT_MAXCONNECTS, connections);
  }
  multi_ = multi;
}

TileFetcher::~TileFetcher() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    stop_ = true;
  }
  abort_ = true;
  wake_.notify_all();
  if (multi_ != nullptr) curl_multi_wakeup(static_cast<CURLM*>(multi_));
  if (worker_.joinable()) worker_.join();
  if (multi_ != nullptr) curl_multi_cleanup(static_cast<CURLM*>(multi_));
}

std::int64_t TileFetcher::Now() const { return options_.now ? options_.now() : SystemNow(); }

TileFetcher::Check TileFetcher::Freshness(const TileKey& key, TileMeta* meta) const {
  if (!cache_->LoadMeta(key, meta)) return Check::kMissing;
  return meta->expires > Now() ? Check::kFresh : Check::kStale;
}

TileRequestState TileFetcher::Request(const TileKey& key) {
  if (!ValidTileKey(key.z, key.x, key.y) || multi_ == nullptr) return TileRequestState::kRefused;
  const std::uint64_t code = Code(key);
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (stop_ || url_template_.empty()) return TileRequestState::kRefused;
    const auto refused = refused_until_.find(code);
    if (refused != refused_until_.end()) {
      if (refused->second > Now()) return TileRequestState::kRefused;
      refused_until_.erase(refused);
    }
    if (in_flight_.count(code) != 0) return TileRequestState::kPending;
  }
  TileMeta meta;
  if (Freshness(key, &meta) == Check::kFresh) return TileRequestState::kFresh;

  std::lock_guard<std::mutex> hold(lock_);
  if (in_flight_.count(code) != 0) return TileRequestState::kPending;
  const auto queued = std::find(queue_.begin(), queue_.end(), key);
  if (queued != queue_.end()) queue_.erase(queued);
  queue_.push_front(key);
  while (queue_.size() > std::max<std::size_t>(options_.queue_limit, 1)) {
    queue_.pop_back();
    ++stats_.dropped;
  }
  if (!worker_.joinable()) {
    try {
      worker_ = std::thread(&TileFetcher::Run, this);
    } catch (const std::system_error&) {
      queue_.clear();  // no thread could be made: nothing will ever fetch them
      return TileRequestState::kRefused;
    }
  }
  wake_.notify_all();
  curl_multi_wakeup(static_cast<CURLM*>(multi_));
  return retry_delay_.count() > 0 ? TileRequestState::kOffline : TileRequestState::kQueued;
}

void TileFetcher::SetUrlTemplate(std::string url_template) {
  std::lock_guard<std::mutex> hold(lock_);
  url_template_ = std::move(url_template);
  refused_until_.clear();
  retry_delay_ = std::chrono::milliseconds(0);
  retry_at_ = {};
  wake_.notify_all();
}

bool TileFetcher::Offline() const {
  std::lock_guard<std::mutex> hold(lock_);
  return retry_delay_.count() > 0;
}

TileFetcherStats TileFetcher::Stats() const {
  std::lock_guard<std::mutex> hold(lock_);
  return stats_;
}

void TileFetcher::Report(const TileKey& key, TileFetchResult result) {
  if (done_) done_(key, result);
}

void TileFetcher::Run() {
  pthread_setname_np(pthread_self(), "roadeye-tiles");
  auto* multi = static_cast<CURLM*>(multi_);
  const std::size_t connections = static_cast<std::size_t>(std::clamp(options_.connections, 1, 2));
  std::vector<std::unique_ptr<Transfer>> running;
  while (true) {
    std::vector<TileKey> to_start;
    {
      std::unique_lock<std::mutex> hold(lock_);
      while (!stop_) {
        const bool waiting = !queue_.empty() && running.size() < connections;
        const bool delayed = std::chrono::steady_clock::now() < retry_at_;
        if (waiting && !delayed) break;
        if (!running.empty()) break;  // serve the transfers in progress
        if (waiting) {
          wake_.wait_until(hold, retry_at_);
        } else {
          wake_.wait(hold);
        }
      }
      if (stop_) break;
      if (std::chrono::steady_clock::now() >= retry_at_) {
        // Coming back from an unreachable server, one probe goes out alone.
        std::size_t slots = connections - running.size();
        if (retry_delay_.count() > 0) slots = running.empty() ? 1 : 0;
        while (slots > 0 && !queue_.empty()) {
          to_start.push_back(queue_.front());
          in_flight_[Code(queue_.front())] = true;
          queue_.pop_front();
          --slots;
        }
      }
    }
    for (const TileKey& key : to_start) {
      auto transfer = std::make_unique<Transfer>();
      transfer->key = key;
      TileMeta meta;
      const Check check = Freshness(key, &meta);
      std::string url;
      {
        std::lock_guard<std::mutex> hold(lock_);
        url = TileUrl(url_template_, key);
      }
      if (check == Check::kFresh || url.empty() || !(transfer->easy = curl_easy_init())) {
        {
          std::lock_guard<std::mutex> hold(lock_);
          in_flight_.erase(Code(key));
        }
        Report(key, check == Check::kFresh ? TileFetchResult::kFresh : TileFetchResult::kRefused);
        continue;
      }
      CURL* easy = transfer->easy;
      transfer->max_bytes = options_.max_response_bytes;
      transfer->abort = &abort_;
      if (check == Check::kStale && (!meta.etag.empty() || !meta.last_modified.empty())) {
        transfer->conditional = true;
        if (!meta.etag.empty()) {
          transfer->request_headers =
              curl_slist_append(transfer->request_headers, ("If-None-Match: " + meta.etag).c_str());
        }
        if (!meta.last_modified.empty()) {
          transfer->request_headers = curl_slist_append(
              transfer->request_headers, ("If-Modified-Since: " + meta.last_modified).c_str());
        }
      }
      transfer->old_meta = std::move(meta);
      curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
      curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
      curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
      curl_easy_setopt(easy, CURLOPT_USERAGENT, options_.user_agent.c_str());
      curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
      curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, options_.connect_timeout_ms);
      curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, options_.transfer_timeout_ms);
      curl_easy_setopt(easy, CURLOPT_MAXFILESIZE_LARGE,
                       static_cast<curl_off_t>(options_.max_response_bytes));
      curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Transfer::OnBody);
      curl_easy_setopt(easy, CURLOPT_WRITEDATA, transfer.get());
      curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &Transfer::OnHeader);
      curl_easy_setopt(easy, CURLOPT_HEADERDATA, transfer.get());
      curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &Transfer::OnProgress);
      curl_easy_setopt(easy, CURLOPT_XFERINFODATA, transfer.get());
      curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
      curl_easy_setopt(easy, CURLOPT_PRIVATE, transfer.get());
      if (transfer->request_headers != nullptr) {
        curl_easy_setopt(easy, CURLOPT_HTTPHEADER, transfer->request_headers);
      }
      if (curl_multi_add_handle(multi, easy) != CURLM_OK) {
        {
          std::lock_guard<std::mutex> hold(lock_);
          in_flight_.erase(Code(key));
        }
        Report(key, TileFetchResult::kRejected);
        continue;
      }
      {
        std::lock_guard<std::mutex> hold(lock_);
        ++stats_.sent;
        if (transfer->conditional) ++stats_.conditional;
      }
      running.push_back(std::move(transfer));
    }
    if (running.empty()) continue;

    int still_running = 0;
    curl_multi_perform(multi, &still_running);
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(multi, &left)) {
      if (message->msg != CURLMSG_DONE) continue;
      CURL* easy = message->easy_handle;
      const CURLcode code = message->data.result;
      curl_multi_remove_handle(multi, easy);
      const auto it = std::find_if(running.begin(), running.end(),
                                   [easy](const auto& t) { return t->easy == easy; });
      if (it == running.end()) continue;
      std::unique_ptr<Transfer> done = std::move(*it);
      running.erase(it);
      long status = 0;
      curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
      const TileFetchResult result = Conclude(*done, code, status);
      Report(done->key, result);
    }
    if (!running.empty()) curl_multi_poll(multi, nullptr, 0, kSocketWaitMs, nullptr);
  }
  // Shutting down: transfers in progress are aborted and dropped.
  for (auto& transfer : running) {
    curl_multi_remove_handle(multi, transfer->easy);
    Report(transfer->key, TileFetchResult::kDropped);
  }
}

TileFetchResult TileFetcher::Conclude(Transfer& transfer, int curl_code, long status) {
  const std::int64_t now = Now();
  TileFetchResult result = TileFetchResult::kRejected;
  if (curl_code == CURLE_OK) {
    if (status == 200) {
      TileMeta meta;
      meta.expires = TileExpiry(transfer.headers, now);
      meta.etag = std::string(HeaderValue(transfer.headers, "ETag"));
      meta.last_modified = std::string(HeaderValue(transfer.headers, "Last-Modified"));
      if (WellFormedPng(transfer.body) && cache_->Store(transfer.key, transfer.body, meta)) {
        result = TileFetchResult::kStored;
      }
    } else if (status == 304 && transfer.conditional) {
      TileMeta meta = transfer.old_meta;
      meta.expires = TileExpiry(transfer.headers, now);
      if (const auto etag = HeaderValue(transfer.headers, "ETag"); !etag.empty()) meta.etag = etag;
      if (const auto modified = HeaderValue(transfer.headers, "Last-Modified"); !modified.empty()) {
        meta.last_modified = modified;
      }
      if (cache_->Refresh(transfer.key, meta)) result = TileFetchResult::kNotModified;
    } else if (status == 429 || status >= 500) {
      result = TileFetchResult::kUnreachable;
    } else if (status >= 400) {
      result = TileFetchResult::kRefused;
    }
  } else {
    switch (curl_code) {
      case CURLE_ABORTED_BY_CALLBACK:
        result = TileFetchResult::kDropped;
        break;
      case CURLE_WRITE_ERROR:
      case CURLE_FILESIZE_EXCEEDED:
      case CURLE_PARTIAL_FILE:
      case CURLE_BAD_CONTENT_ENCODING:
      case CURLE_WEIRD_SERVER_REPLY:
      case CURLE_TOO_MANY_REDIRECTS:
        result = TileFetchResult::kRejected;
        break;
      case CURLE_UNSUPPORTED_PROTOCOL:
      case CURLE_URL_MALFORMAT:
        result = TileFetchResult::kRefused;
        break;
      default:  // cannot resolve, cannot connect, timed out, connection lost, TLS failure
        result = TileFetchResult::kUnreachable;
        break;
    }
  }

  std::lock_guard<std::mutex> hold(lock_);
  const std::uint64_t code = Code(transfer.key);
  in_flight_.erase(code);
  switch (result) {
    case TileFetchResult::kStored:
      ++stats_.stored;
      break;
    case TileFetchResult::kNotModified:
      ++stats_.not_modified;
      break;
    case TileFetchResult::kRejected:
      ++stats_.rejected;
      break;
    case TileFetchResult::kRefused:
      ++stats_.refused;
      if (refused_until_.size() >= kMaxRefusalsKept) refused_until_.clear();
      refused_until_[code] = now + options_.refused_memory.count();
      break;
    case TileFetchResult::kUnreachable: {
      ++stats_.unreachable;
      const auto steady_now = std::chrono::steady_clock::now();
      if (steady_now >= retry_at_) {
        retry_delay_ = retry_delay_.count() == 0
                           ? options_.first_retry_delay
                           : std::min(retry_delay_ * 2, options_.max_retry_delay);
        retry_at_ = steady_now + retry_delay_;
      }
      // The tile is still wanted: it goes back to the front (unless a newer request for it came).
      if (std::find(queue_.begin(), queue_.end(), transfer.key) == queue_.end()) {
        queue_.push_front(transfer.key);
        while (queue_.size() > std::max<std::size_t>(options_.queue_limit, 1)) {
          queue_.pop_back();
          ++stats_.dropped;
        }
      }
      return result;
    }
    case TileFetchResult::kFresh:
    case TileFetchResult::kDropped:
      break;
  }
  // Any answer from the server ends the retry delay.
  if (result != TileFetchResult::kDropped) {
    retry_delay_ = std::chrono::milliseconds(0);
    retry_at_ = {};
  }
  return result;
}
