// SPDX-License-Identifier: GPL-3.0-or-later
#include "map/TileFetcher.h"

#include <libsoup/soup.h>
#include <pthread.h>
#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdlib>
#include <cstring>
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
  SoupDate* date = soup_date_new_from_string(copy.c_str());
  if (date == nullptr) return std::nullopt;
  const time_t t = soup_date_to_time_t(date);
  soup_date_free(date);
  return static_cast<std::int64_t>(t);
}

std::int64_t SystemNow() { return static_cast<std::int64_t>(std::time(nullptr)); }

// Only http and https URLs are fetched (a template naming a file or anything else sends nothing).
bool FetchableUrl(std::string_view url) {
  const auto starts = [&](std::string_view prefix) {
    return url.size() > prefix.size() && SameText(url.substr(0, prefix.size()), prefix);
  };
  return starts("http://") || starts("https://");
}

const char* Environment(const char* lower, const char* upper) {
  const char* value = std::getenv(lower);
  if ((value == nullptr || *value == '\0') && upper != nullptr) value = std::getenv(upper);
  return value != nullptr && *value != '\0' ? value : nullptr;
}

// The proxy curl would use, from the same variables (http_proxy is taken in lower case only, as
// curl does); nullptr: no proxy.
GProxyResolver* ProxyFromEnvironment() {
  const char* all = Environment("all_proxy", "ALL_PROXY");
  const char* http = Environment("http_proxy", nullptr);
  const char* https = Environment("https_proxy", "HTTPS_PROXY");
  if (all == nullptr && http == nullptr && https == nullptr) return nullptr;
  std::vector<std::string> hosts;
  if (const char* no_proxy = Environment("no_proxy", "NO_PROXY")) {
    std::string_view list(no_proxy);
    if (Trim(list) == "*") return nullptr;  // no host through the proxy
    while (!list.empty()) {
      const std::size_t comma = std::min(list.find(','), list.size());
      const std::string_view host = Trim(list.substr(0, comma));
      if (!host.empty()) hosts.emplace_back(host);
      list.remove_prefix(std::min(comma + 1, list.size()));
    }
  }
  std::vector<const char*> ignore;
  for (const std::string& host : hosts) ignore.push_back(host.c_str());
  ignore.push_back(nullptr);
  GProxyResolver* resolver = g_simple_proxy_resolver_new(all, const_cast<char**>(ignore.data()));
  auto* simple = G_SIMPLE_PROXY_RESOLVER(resolver);
  if (http != nullptr) g_simple_proxy_resolver_set_uri_proxy(simple, "http", http);
  if (https != nullptr) g_simple_proxy_resolver_set_uri_proxy(simple, "https", https);
  return resolver;
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

// One transfer: its message, what it sends and what came back. Lives on the worker thread, which
// runs all of its callbacks.
//
// The message is sent with soup_session_send_async and its body read from the stream it gives,
// both under the transfer's own cancellable: cancelling ends either at once (a message cancelled
// through the session would wait for its socket's time limit while the server holds it).
struct TileFetcher::Transfer {
  TileKey key;
  SoupMessage* message = nullptr;  // our reference
  GCancellable* cancellable = g_cancellable_new();
  GInputStream* stream = nullptr;  // the body, once the answer's headers came
  GSource* deadline = nullptr;     // the whole transfer's time limit
  bool conditional = false;
  TileMeta old_meta;
  std::string body;
  std::string headers;
  std::size_t max_bytes = 0;
  bool answered = false;   // the response's headers arrived
  bool failed = false;     // the transfer broke off (cannot connect, connection lost...)
  bool too_large = false;  // cancelled: the answer outgrew the bounds
  bool timed_out = false;  // cancelled: the transfer took too long
  bool dropped = false;    // cancelled: the fetcher is shutting down
  bool done = false;       // nothing of it runs any more
  char chunk[16 * 1024];

  Transfer() = default;
  Transfer(const Transfer&) = delete;
  Transfer& operator=(const Transfer&) = delete;
  ~Transfer() {
    StopDeadline();
    // An answer not read to its end is dropped with its connection, which is not used again.
    if (stream != nullptr) g_object_unref(stream);
    if (message != nullptr) g_object_unref(message);
    g_object_unref(cancellable);
  }

  void StopDeadline() {
    if (deadline != nullptr) {
      g_source_destroy(deadline);
      g_source_unref(deadline);
      deadline = nullptr;
    }
  }

  // Cancels what runs; the callback that was waiting ends the transfer.
  void Cancel(bool* why) {
    if (done) return;
    *why = true;
    g_cancellable_cancel(cancellable);
  }

  void Finish(bool ok) {
    if (!ok) failed = true;
    done = true;
    StopDeadline();
  }

  // The answer's header lines, as a status line and "Name: value" lines; false when they
  // outgrow the bound.
  bool TakeHeaders() {
    headers = "HTTP/1.1 " + std::to_string(message->status_code) + "\r\n";
    std::pair<std::string*, bool> into{&headers, true};
    soup_message_headers_foreach(
        message->response_headers,
        [](const char* name, const char* value, gpointer data) {
          auto* pair = static_cast<std::pair<std::string*, bool>*>(data);
          std::string& text = *pair->first;
          const std::size_t length = std::strlen(name) + std::strlen(value) + 4;
          if (!pair->second || length > kMaxHeaderBytes - std::min(text.size(), kMaxHeaderBytes)) {
            pair->second = false;
            return;
          }
          text.append(name).append(": ").append(value).append("\r\n");
        },
        &into);
    return into.second;
  }

  void ReadOn() {
    g_input_stream_read_async(stream, chunk, sizeof chunk, G_PRIORITY_DEFAULT, cancellable,
                              &Transfer::OnRead, this);
  }

  static void OnSent(GObject* session, GAsyncResult* result, gpointer self) {
    auto* t = static_cast<Transfer*>(self);
    GError* error = nullptr;
    t->stream = soup_session_send_finish(SOUP_SESSION(session), result, &error);
    if (t->stream == nullptr) {
      g_clear_error(&error);
      t->Finish(false);
      return;
    }
    t->answered = true;
    const goffset length = soup_message_headers_get_content_length(t->message->response_headers);
    if (!t->TakeHeaders() || length > static_cast<goffset>(t->max_bytes)) {
      t->too_large = true;
      t->Finish(false);
      return;
    }
    t->ReadOn();
  }

  static void OnRead(GObject* stream, GAsyncResult* result, gpointer self) {
    auto* t = static_cast<Transfer*>(self);
    GError* error = nullptr;
    const gssize n = g_input_stream_read_finish(G_INPUT_STREAM(stream), result, &error);
    if (n < 0) {
      g_clear_error(&error);
      t->Finish(false);
    } else if (n == 0) {
      // The whole answer: closing the stream now hands its connection back for the next tile.
      g_input_stream_close(t->stream, nullptr, nullptr);
      t->Finish(true);
    } else if (static_cast<std::size_t>(n) > t->max_bytes - t->body.size()) {
      t->too_large = true;
      t->Finish(false);
    } else {
      t->body.append(t->chunk, static_cast<std::size_t>(n));
      t->ReadOn();
    }
  }

  static gboolean OnDeadline(gpointer self) {
    auto* t = static_cast<Transfer*>(self);
    t->Cancel(&t->timed_out);
    return G_SOURCE_REMOVE;
  }
};

TileFetcher::TileFetcher(std::shared_ptr<TileCache> cache, Options options, Done done)
    : cache_(std::move(cache)),
      options_(std::move(options)),
      done_(std::move(done)),
      url_template_(options_.url_template) {
  context_ = g_main_context_new();
}

TileFetcher::~TileFetcher() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    stop_ = true;
  }
  wake_.notify_all();
  g_main_context_wakeup(static_cast<GMainContext*>(context_));
  if (worker_.joinable()) worker_.join();
  g_main_context_unref(static_cast<GMainContext*>(context_));
}

std::int64_t TileFetcher::Now() const { return options_.now ? options_.now() : SystemNow(); }

TileFetcher::Check TileFetcher::Freshness(const TileKey& key, TileMeta* meta) const {
  if (!cache_->LoadMeta(key, meta)) return Check::kMissing;
  return meta->expires > Now() ? Check::kFresh : Check::kStale;
}

TileRequestState TileFetcher::Request(const TileKey& key) {
  if (!ValidTileKey(key.z, key.x, key.y)) return TileRequestState::kRefused;
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
  g_main_context_wakeup(static_cast<GMainContext*>(context_));
  return retry_delay_.count() > 0 ? TileRequestState::kOffline : TileRequestState::kQueued;
}

void TileFetcher::SetUrlTemplate(std::string url_template) {
  std::lock_guard<std::mutex> hold(lock_);
  url_template_ = std::move(url_template);
  refused_until_.clear();
  retry_delay_ = std::chrono::milliseconds(0);
  retry_at_ = {};
  wake_.notify_all();
  g_main_context_wakeup(static_cast<GMainContext*>(context_));
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
  auto* context = static_cast<GMainContext*>(context_);
  g_main_context_push_thread_default(context);
  const int connections = std::clamp(options_.connections, 1, 2);
  const long timeout_s = std::max(1L, (options_.connect_timeout_ms + 999) / 1000);
  GProxyResolver* proxy = ProxyFromEnvironment();
  SoupSession* session = soup_session_new_with_options(
      SOUP_SESSION_MAX_CONNS, connections, SOUP_SESSION_MAX_CONNS_PER_HOST, connections,
      SOUP_SESSION_USER_AGENT, options_.user_agent.c_str(), SOUP_SESSION_TIMEOUT,
      static_cast<guint>(timeout_s), SOUP_SESSION_PROXY_RESOLVER, proxy,
      // No certificate store until the first https tile: loading the system's costs some
      // megabytes, which a tile server reached over http never needs.
      SOUP_SESSION_TLS_DATABASE, nullptr, nullptr);
  if (proxy != nullptr) g_object_unref(proxy);
  // Tiles are taken as the server sends them: no compressed answers asked for, none unpacked.
  soup_session_remove_feature_by_type(session, SOUP_TYPE_CONTENT_DECODER);
  soup_session_remove_feature_by_type(session, SOUP_TYPE_CONTENT_SNIFFER);

  std::vector<std::unique_ptr<Transfer>> running;
  while (true) {
    std::vector<TileKey> to_start;
    {
      std::unique_lock<std::mutex> hold(lock_);
      while (!stop_) {
        const bool waiting = !queue_.empty() && running.size() < std::size_t(connections);
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
        std::size_t slots = std::size_t(connections) - running.size();
        if (retry_delay_.count() > 0) slots = running.empty() ? 1 : 0;
        while (slots > 0 && !queue_.empty()) {
          to_start.push_back(queue_.front());
          in_flight_[Code(queue_.front())] = true;
          queue_.pop_front();
          --slots;
        }
      }
    }
    for (const TileKey& key : to_start) Start(session, key, &running);
    if (running.empty()) continue;

    // Until something happens on a transfer's socket or timer, or a request or stop comes.
    g_main_context_iteration(context, TRUE);
    for (auto it = running.begin(); it != running.end();) {
      if (!(*it)->done) {
        ++it;
        continue;
      }
      std::unique_ptr<Transfer> done = std::move(*it);
      it = running.erase(it);
      Report(done->key, Conclude(*done));
    }
  }
  // Shutting down: transfers in progress are cancelled, run to their end and dropped.
  for (auto& transfer : running) transfer->Cancel(&transfer->dropped);
  while (std::any_of(running.begin(), running.end(), [](const auto& t) { return !t->done; })) {
    g_main_context_iteration(context, TRUE);
  }
  for (auto& transfer : running) Report(transfer->key, TileFetchResult::kDropped);
  running.clear();
  soup_session_abort(session);
  g_object_unref(session);
  while (g_main_context_iteration(context, FALSE)) {
  }
  g_main_context_pop_thread_default(context);
}

void TileFetcher::Start(void* session_ptr, const TileKey& key,
                        std::vector<std::unique_ptr<Transfer>>* running) {
  auto* session = static_cast<SoupSession*>(session_ptr);
  auto transfer = std::make_unique<Transfer>();
  transfer->key = key;
  TileMeta meta;
  const Check check = Freshness(key, &meta);
  std::string url;
  {
    std::lock_guard<std::mutex> hold(lock_);
    url = TileUrl(url_template_, key);
  }
  SoupMessage* message = nullptr;
  if (check != Check::kFresh && FetchableUrl(url)) message = soup_message_new("GET", url.c_str());
  if (message == nullptr) {
    {
      std::lock_guard<std::mutex> hold(lock_);
      in_flight_.erase(Code(key));
    }
    Report(key, check == Check::kFresh ? TileFetchResult::kFresh : TileFetchResult::kRefused);
    return;
  }
  if (!secure_ && SameText(std::string_view(url).substr(0, 8), "https://")) {
    GTlsDatabase* store = g_tls_backend_get_default_database(g_tls_backend_get_default());
    g_object_set(session, SOUP_SESSION_TLS_DATABASE, store, nullptr);
    if (store != nullptr) g_object_unref(store);
    secure_ = true;
  }
  transfer->message = message;
  transfer->max_bytes = options_.max_response_bytes;
  if (check == Check::kStale && (!meta.etag.empty() || !meta.last_modified.empty())) {
    transfer->conditional = true;
    if (!meta.etag.empty()) {
      soup_message_headers_append(message->request_headers, "If-None-Match", meta.etag.c_str());
    }
    if (!meta.last_modified.empty()) {
      soup_message_headers_append(message->request_headers, "If-Modified-Since",
                                  meta.last_modified.c_str());
    }
  }
  transfer->old_meta = std::move(meta);
  soup_message_set_flags(message, SOUP_MESSAGE_NO_REDIRECT);
  transfer->deadline = g_timeout_source_new(
      static_cast<guint>(std::clamp<long>(options_.transfer_timeout_ms, 1, 24L * 3600 * 1000)));
  g_source_set_callback(transfer->deadline, &Transfer::OnDeadline, transfer.get(), nullptr);
  g_source_attach(transfer->deadline, static_cast<GMainContext*>(context_));
  {
    std::lock_guard<std::mutex> hold(lock_);
    ++stats_.sent;
    if (transfer->conditional) ++stats_.conditional;
  }
  soup_session_send_async(session, message, transfer->cancellable, &Transfer::OnSent,
                          transfer.get());
  running->push_back(std::move(transfer));
}

TileFetchResult TileFetcher::Conclude(Transfer& transfer) {
  const std::int64_t now = Now();
  const guint status = transfer.answered ? transfer.message->status_code : 0;
  TileFetchResult result = TileFetchResult::kRejected;
  if (transfer.dropped) {
    result = TileFetchResult::kDropped;
  } else if (transfer.too_large) {
    result = TileFetchResult::kRejected;
  } else if (transfer.timed_out) {
    result = TileFetchResult::kUnreachable;
  } else if (transfer.failed) {
    // Broken off before an answer (cannot resolve or connect, closed or lost without an answer,
    // TLS failure): unreachable. Broken off during the answer (cut short, malformed): damaged.
    result = transfer.answered ? TileFetchResult::kRejected : TileFetchResult::kUnreachable;
  } else if (status == 200) {
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
