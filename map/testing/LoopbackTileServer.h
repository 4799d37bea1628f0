// SPDX-License-Identifier: GPL-3.0-or-later
// A small HTTP/1.1 tile server on 127.0.0.1 for the tests of the tile cache and of the map view.
// It serves /z/x/y.png as a 256x256 PNG of one colour, TileColour(z, x, y), with cache headers
// (Cache-Control, ETag, Last-Modified) and answers If-None-Match with 304 while the tile's version
// is unchanged. Other modes answer with damaged, truncated, oversized or refused responses, or
// hang up. It counts requests, revalidations and connections (open now and most at once), and can
// hold every answer back until released, so that tests see how many transfers run together.
//
// Everything listens on the loopback address only and stops with the object. Nothing polls: the
// threads wait in poll(2) on their socket and a wake-up pipe, or on a condition.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <list>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace roadeye_test {

struct Rgb {
  std::uint8_t r = 0;
  std::uint8_t g = 0;
  std::uint8_t b = 0;
};

// The colour of a served tile: neighbours differ in every channel, none is near grey or the
// map's plain background.
inline Rgb TileColour(int z, int x, int y) {
  return Rgb{static_cast<std::uint8_t>(40 + (x * 70 + z * 13) % 160),
             static_cast<std::uint8_t>(30 + (y * 50 + x * 20) % 100),
             static_cast<std::uint8_t>(120 + (x * 30 + y * 80) % 130)};
}

inline void PutBigEndian32(std::string& out, std::uint32_t v) {
  out += static_cast<char>(v >> 24);
  out += static_cast<char>(v >> 16);
  out += static_cast<char>(v >> 8);
  out += static_cast<char>(v);
}

inline void PutPngChunk(std::string& out, const char* type, const std::string& data) {
  PutBigEndian32(out, static_cast<std::uint32_t>(data.size()));
  std::string body(type, 4);
  body += data;
  out += body;
  PutBigEndian32(out, static_cast<std::uint32_t>(
                          crc32(0L, reinterpret_cast<const Bytef*>(body.data()), body.size())));
}

// A width x height RGB picture of one colour as PNG bytes.
inline std::string SolidPng(int width, int height, Rgb colour) {
  std::string ihdr;
  PutBigEndian32(ihdr, static_cast<std::uint32_t>(width));
  PutBigEndian32(ihdr, static_cast<std::uint32_t>(height));
  ihdr += std::string("\x08\x02\x00\x00\x00", 5);  // 8 bits, RGB, deflate, no filter, no interlace
  std::string raw;
  raw.reserve(static_cast<std::size_t>(height) * (1 + width * 3));
  for (int row = 0; row < height; ++row) {
    raw += '\0';  // no filter
    for (int col = 0; col < width; ++col) {
      raw += static_cast<char>(colour.r);
      raw += static_cast<char>(colour.g);
      raw += static_cast<char>(colour.b);
    }
  }
  uLongf packed_size = compressBound(raw.size());
  std::string packed(packed_size, '\0');
  compress(reinterpret_cast<Bytef*>(packed.data()), &packed_size,
           reinterpret_cast<const Bytef*>(raw.data()), raw.size());
  packed.resize(packed_size);
  std::string png("\x89PNG\r\n\x1a\n", 8);
  PutPngChunk(png, "IHDR", ihdr);
  PutPngChunk(png, "IDAT", packed);
  PutPngChunk(png, "IEND", "");
  return png;
}

inline std::string TilePng(int z, int x, int y) { return SolidPng(256, 256, TileColour(z, x, y)); }

class LoopbackTileServer {
 public:
  enum class Mode {
    kTiles,          // 200 with the tile, 304 when If-None-Match names its ETag
    kTruncated,      // the full Content-Length announced, half the bytes sent, then hang up
    kDamaged,        // the tile with one byte changed in the middle
    kOversized,      // 2 MB with its Content-Length
    kOversizedOpen,  // 2 MB with no length, ended by closing the connection
    kNotPng,         // 200 with a text body
    kNotFound,       // 404
    kServerError,    // 503
    kHangUp,         // the request read, the connection closed without an answer
  };

  // Listens on 127.0.0.1:port (0: a free port).
  explicit LoopbackTileServer(std::uint16_t port = 0) {
    if (::pipe2(wake_, O_CLOEXEC) != 0) return;
    listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listen_ < 0) return;
    const int yes = 1;
    ::setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listen_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listen_, 16) != 0) {
      return;
    }
    socklen_t length = sizeof address;
    ::getsockname(listen_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    acceptor_ = std::thread([this] { Accept(); });
  }

  ~LoopbackTileServer() { Stop(); }
  LoopbackTileServer(const LoopbackTileServer&) = delete;
  LoopbackTileServer& operator=(const LoopbackTileServer&) = delete;

  bool ok() const { return port_ != 0; }
  std::uint16_t port() const { return port_; }
  std::string UrlTemplate() const {
    return "http://127.0.0.1:" + std::to_string(port_) + "/{z}/{x}/{y}.png";
  }

  // Closes the listening socket and every connection, and joins the threads.
  void Stop() {
    {
      std::lock_guard<std::mutex> hold(lock_);
      if (stopping_) return;
      stopping_ = true;
    }
    changed_.notify_all();
    if (wake_[1] >= 0) (void)!::write(wake_[1], "x", 1);
    if (acceptor_.joinable()) acceptor_.join();
    for (auto& t : connections_) t.join();
    connections_.clear();
    if (listen_ >= 0) ::close(listen_);
    listen_ = -1;
    for (int& fd : wake_) {
      if (fd >= 0) ::close(fd);
      fd = -1;
    }
  }

  void SetMode(Mode mode) {
    std::lock_guard<std::mutex> hold(lock_);
    mode_ = mode;
  }
  // The Cache-Control value sent with tiles and 304 answers; empty sends none.
  void SetCacheControl(std::string value) {
    std::lock_guard<std::mutex> hold(lock_);
    cache_control_ = std::move(value);
  }
  // A new version changes every tile's ETag (and its bytes, by one ancillary chunk).
  void SetVersion(int version) {
    std::lock_guard<std::mutex> hold(lock_);
    version_ = version;
  }
  // While held, answers wait (with their connections open) until Release.
  void Hold() {
    std::lock_guard<std::mutex> hold(lock_);
    held_ = true;
  }
  void Release() {
    {
      std::lock_guard<std::mutex> hold(lock_);
      held_ = false;
    }
    changed_.notify_all();
  }

  // The bytes served for a tile at the current version.
  std::string TileBytes(int z, int x, int y) const {
    std::lock_guard<std::mutex> hold(lock_);
    return VersionedTile(z, x, y, version_);
  }

  // Counters.
  int Requests() const {
    return Read([this] { return requests_; });
  }
  int Conditional() const {
    return Read([this] { return conditional_; });
  }
  int NotModified() const {
    return Read([this] { return not_modified_; });
  }
  int OpenConnections() const {
    return Read([this] { return open_; });
  }
  int MostConnections() const {
    return Read([this] { return most_open_; });
  }
  int AcceptedConnections() const {
    return Read([this] { return accepted_; });
  }
  // Requests read but not answered yet (held back).
  int Waiting() const {
    return Read([this] { return waiting_; });
  }
  std::string LastUserAgent() const {
    std::lock_guard<std::mutex> hold(lock_);
    return user_agent_;
  }
  // The paths asked for, in order.
  std::vector<std::string> Paths() const {
    std::lock_guard<std::mutex> hold(lock_);
    return paths_;
  }

  // Waits (at most ms) until `done` holds for this server; the counters are read under its lock.
  bool WaitFor(const std::function<bool()>& done, int ms) {
    std::unique_lock<std::mutex> hold(lock_);
    return changed_.wait_for(hold, std::chrono::milliseconds(ms), [&] {
      hold.unlock();
      const bool result = done();
      hold.lock();
      return result;
    });
  }

 private:
  template <typename F>
  int Read(F f) const {
    std::lock_guard<std::mutex> hold(lock_);
    return f();
  }

  std::string Etag(int z, int x, int y, int version) const {
    return "\"v" + std::to_string(version) + "-" + std::to_string(z) + "-" + std::to_string(x) +
           "-" + std::to_string(y) + "\"";
  }

  std::string VersionedTile(int z, int x, int y, int version) const {
    std::string png = TilePng(z, x, y);
    if (version != 0) {
      // A text chunk before IEND makes later versions differ in bytes, not in colour.
      std::string text = "v" + std::to_string(version);
      std::string chunk;
      PutPngChunk(chunk, "tEXt", "Comment" + std::string(1, '\0') + text);
      png.insert(png.size() - 12, chunk);
    }
    return png;
  }

  void Accept() {
    while (true) {
      pollfd fds[2] = {{listen_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (fds[1].revents != 0) return;
      const int fd = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      {
        std::lock_guard<std::mutex> hold(lock_);
        ++accepted_;
        ++open_;
        most_open_ = std::max(most_open_, open_);
      }
      changed_.notify_all();
      connections_.emplace_back([this, fd] { Serve(fd); });
    }
  }

  // Waits for bytes on fd; false when the server stops or the peer is gone.
  bool Readable(int fd) {
    while (true) {
      pollfd fds[2] = {{fd, POLLIN, 0}, {wake_[0], POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      if (fds[1].revents != 0) return false;
      return true;
    }
  }

  static bool SendAll(int fd, const std::string& data) {
    std::size_t sent = 0;
    while (sent < data.size()) {
      const ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      sent += static_cast<std::size_t>(n);
    }
    return true;
  }

  static std::string HeaderOf(const std::string& request, const std::string& name) {
    std::size_t pos = request.find("\r\n");
    while (pos != std::string::npos && pos + 2 < request.size()) {
      const std::size_t end = request.find("\r\n", pos + 2);
      if (end == std::string::npos) break;
      const std::string line = request.substr(pos + 2, end - pos - 2);
      const std::size_t colon = line.find(':');
      if (colon != std::string::npos && strncasecmp(line.c_str(), name.c_str(), name.size()) == 0 &&
          colon == name.size()) {
        std::size_t start = colon + 1;
        while (start < line.size() && line[start] == ' ') ++start;
        return line.substr(start);
      }
      pos = end;
    }
    return {};
  }

  void Serve(int fd) {
    std::string buffer;
    bool open = true;
    while (open) {
      std::size_t end;
      while ((end = buffer.find("\r\n\r\n")) == std::string::npos) {
        if (!Readable(fd)) {
          open = false;
          break;
        }
        char chunk[4096];
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0 || buffer.size() > 65536) {
          open = false;
          break;
        }
        buffer.append(chunk, static_cast<std::size_t>(n));
      }
      if (!open) break;
      const std::string request = buffer.substr(0, end + 4);
      buffer.erase(0, end + 4);
      open = Answer(fd, request);
    }
    ::close(fd);
    {
      std::lock_guard<std::mutex> hold(lock_);
      --open_;
    }
    changed_.notify_all();
  }

  // Answers one request; false when the connection is to be closed.
  bool Answer(int fd, const std::string& request) {
    char path[256] = {0};
    int z = -1, x = -1, y = -1;
    // A proxy is asked for the whole URL ("GET http://host/z/x/y.png"): the tile is its path.
    const bool read = std::sscanf(request.c_str(), "GET %255s HTTP/1.1", path) == 1;
    const char* tile = path;
    if (std::strncmp(path, "http://", 7) == 0) {
      tile = std::strchr(path + 7, '/');
      if (tile == nullptr) tile = "";
    }
    const bool parsed = read && std::sscanf(tile, "/%d/%d/%d.png", &z, &x, &y) == 3;
    const std::string if_none_match = HeaderOf(request, "If-None-Match");
    Mode mode;
    std::string cache_control;
    int version;
    {
      std::unique_lock<std::mutex> hold(lock_);
      ++requests_;
      paths_.push_back(path);
      user_agent_ = HeaderOf(request, "User-Agent");
      if (!if_none_match.empty() || !HeaderOf(request, "If-Modified-Since").empty()) {
        ++conditional_;
      }
      ++waiting_;
      changed_.notify_all();
      changed_.wait(hold, [this] { return !held_ || stopping_; });
      --waiting_;
      if (stopping_) return false;
      mode = mode_;
      cache_control = cache_control_;
      version = version_;
    }
    changed_.notify_all();
    const std::string cache_line =
        cache_control.empty() ? std::string() : "Cache-Control: " + cache_control + "\r\n";
    if (!parsed) return SendAll(fd, "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n");
    const std::string etag = Etag(z, x, y, version);
    const std::string validators =
        "ETag: " + etag + "\r\nLast-Modified: Mon, 01 Jan 2024 00:00:00 GMT\r\n";
    switch (mode) {
      case Mode::kTiles:
        if (if_none_match == etag) {
          {
            std::lock_guard<std::mutex> hold(lock_);
            ++not_modified_;
          }
          return SendAll(fd, "HTTP/1.1 304 Not Modified\r\n" + cache_line + validators + "\r\n");
        }
        return SendBody(fd, "200 OK", "image/png", cache_line + validators,
                        VersionedTile(z, x, y, version));
      case Mode::kTruncated: {
        const std::string png = VersionedTile(z, x, y, version);
        SendAll(fd, "HTTP/1.1 200 OK\r\nContent-Type: image/png\r\nContent-Length: " +
                        std::to_string(png.size()) + "\r\n\r\n" + png.substr(0, png.size() / 2));
        return false;
      }
      case Mode::kDamaged: {
        std::string png = VersionedTile(z, x, y, version);
        png[png.size() / 2] = static_cast<char>(png[png.size() / 2] ^ 0x55);
        return SendBody(fd, "200 OK", "image/png", cache_line + validators, png);
      }
      case Mode::kOversized:
        return SendBody(fd, "200 OK", "image/png", cache_line, std::string(2 << 20, 'x'));
      case Mode::kOversizedOpen:
        SendAll(fd, "HTTP/1.1 200 OK\r\nContent-Type: image/png\r\nConnection: close\r\n\r\n" +
                        std::string(2 << 20, 'x'));
        return false;
      case Mode::kNotPng:
        return SendBody(fd, "200 OK", "text/html", cache_line, "<html>no tile here</html>");
      case Mode::kNotFound:
        return SendBody(fd, "404 Not Found", "text/plain", "", "no such tile");
      case Mode::kServerError:
        return SendBody(fd, "503 Service Unavailable", "text/plain", "", "busy");
      case Mode::kHangUp:
        return false;
    }
    return false;
  }

  static bool SendBody(int fd, const std::string& status, const std::string& type,
                       const std::string& extra, const std::string& body) {
    return SendAll(fd, "HTTP/1.1 " + status + "\r\nContent-Type: " + type + "\r\nContent-Length: " +
                           std::to_string(body.size()) + "\r\n" + extra + "\r\n" + body);
  }

  int listen_ = -1;
  int wake_[2] = {-1, -1};
  std::uint16_t port_ = 0;
  std::thread acceptor_;
  std::list<std::thread> connections_;  // the acceptor's; joined by Stop after the acceptor

  mutable std::mutex lock_;  // guards everything below
  std::condition_variable changed_;
  bool stopping_ = false;
  bool held_ = false;
  Mode mode_ = Mode::kTiles;
  std::string cache_control_ = "max-age=86400";
  int version_ = 0;
  int requests_ = 0;
  int conditional_ = 0;
  int not_modified_ = 0;
  int open_ = 0;
  int most_open_ = 0;
  int accepted_ = 0;
  int waiting_ = 0;
  std::string user_agent_;
  std::vector<std::string> paths_;
};

}  // namespace roadeye_test
