// SPDX-License-Identifier: GPL-3.0-or-later
// The map tile cache on disk and the fetcher that fills it, against a real HTTP/1.1 server on the
// loopback address (map/testing/LoopbackTileServer.h): tile names checked before any path
// is made, the size bound and the order of eviction (across a restart too), damaged files,
// expiry and revalidation, responses that must not be stored, at most two connections, the
// queue's order and bound, the retry delay when the server cannot be reached, and stopping in the
// middle of a transfer. Nothing leaves 127.0.0.1.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utime.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "map/TileCache.h"
#include "map/TileFetcher.h"
#include "map/testing/LoopbackTileServer.h"
#include "support/testing/TempDir.h"

namespace {

namespace fs = std::filesystem;
using roadeye_test::LoopbackTileServer;
using roadeye_test::TempDir;

constexpr std::int64_t kStart = 1700000000;  // the tests' fake "now", Unix seconds

std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

TileMeta Meta(std::int64_t expires, std::string etag = "\"e\"", std::string modified = "") {
  TileMeta meta;
  meta.expires = expires;
  meta.etag = std::move(etag);
  meta.last_modified = std::move(modified);
  return meta;
}

// ---- Tile names ----

struct PathCase {
  const char* text;
  bool valid;
  TileKey key;
};

class TilePathTest : public ::testing::TestWithParam<PathCase> {};

TEST_P(TilePathTest, OnlyPlainInRangeNumbersNameATile) {
  const PathCase& c = GetParam();
  const auto key = ParseTilePath(c.text);
  ASSERT_EQ(key.has_value(), c.valid) << c.text;
  if (c.valid) {
    EXPECT_EQ(*key, c.key);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Names, TilePathTest,
    ::testing::Values(PathCase{"0/0/0", true, {0, 0, 0}}, PathCase{"0/0/0.png", true, {0, 0, 0}},
                      PathCase{"16/55880/25400.png", true, {16, 55880, 25400}},
                      PathCase{"19/524287/524287.png", true, {19, 524287, 524287}},
                      PathCase{"3/7/7", true, {3, 7, 7}}, PathCase{"3/8/0", false, {}},
                      PathCase{"3/0/8", false, {}}, PathCase{"20/0/0", false, {}},
                      PathCase{"0/0/1", false, {}}, PathCase{"-1/0/0", false, {}},
                      PathCase{"+1/0/0", false, {}}, PathCase{"1/ 0/0", false, {}},
                      PathCase{"1//0", false, {}}, PathCase{"1/0", false, {}},
                      PathCase{"1/0/0/0", false, {}}, PathCase{"../0/0", false, {}},
                      PathCase{"1/0/..", false, {}}, PathCase{"1/0/0.jpg", false, {}},
                      PathCase{"00000001/0/0", false, {}}, PathCase{"", false, {}},
                      PathCase{"1/0/0.png.png", false, {}}, PathCase{"1/0x1/0", false, {}}));

TEST(TileKeys, InvalidKeysGetNoPathAndAreNeverStored) {
  TempDir dir("tiles");
  TileCache cache(dir.str());
  const std::string png = roadeye_test::TilePng(1, 0, 0);
  for (const TileKey key : {TileKey{-1, 0, 0}, TileKey{20, 0, 0}, TileKey{2, 4, 0},
                            TileKey{2, 0, -1}, TileKey{0, 1, 0}}) {
    EXPECT_EQ(cache.PathOf(key), "") << key.z << "/" << key.x << "/" << key.y;
    EXPECT_FALSE(cache.Store(key, png, Meta(kStart)));
  }
  EXPECT_EQ(cache.PathOf({2, 3, 1}), dir.str() + "/2/3/1.tile");
  EXPECT_TRUE(fs::is_empty(dir.path()));
  EXPECT_EQ(TileUrl("http://h/{z}/{x}/{y}.png", {20, 0, 0}), "");
}

TEST(TileKeys, UrlTemplatesTakeTheNumbers) {
  EXPECT_EQ(TileUrl("https://tile.example/{z}/{x}/{y}.png", {16, 55880, 25400}),
            "https://tile.example/16/55880/25400.png");
  EXPECT_EQ(TileUrl("https://{s}.t/{z}/{x}/{y}", {1, 1, 1}), "https://c.t/1/1/1");
  EXPECT_EQ(TileUrl("https://{s}.t/{z}/{x}/{y}", {1, 1, 0}), "https://b.t/1/1/0");
  EXPECT_EQ(TileUrl("{y}{x}{z}{q}", {2, 3, 1}), "132{q}");
}

// ---- The cache on disk ----

TEST(TileCacheDisk, StoresAndLoadsPictureAndValidators) {
  TempDir dir("tiles");
  TileCache cache(dir.str());
  const std::string png = roadeye_test::TilePng(5, 3, 9);
  ASSERT_TRUE(
      cache.Store({5, 3, 9}, png, Meta(kStart + 60, "\"abc\"", "Mon, 01 Jan 2024 00:00:00 GMT")));
  CachedTile tile;
  ASSERT_TRUE(cache.Load({5, 3, 9}, &tile));
  EXPECT_EQ(tile.png, png);
  EXPECT_EQ(tile.meta.expires, kStart + 60);
  EXPECT_EQ(tile.meta.etag, "\"abc\"");
  EXPECT_EQ(tile.meta.last_modified, "Mon, 01 Jan 2024 00:00:00 GMT");
  EXPECT_FALSE(cache.Load({5, 3, 8}, &tile));

  // A validator that could break a request header is not kept.
  ASSERT_TRUE(cache.Store({5, 3, 9}, png, Meta(kStart, "\"a\"\r\nX-Evil: 1", "")));
  TileMeta meta;
  ASSERT_TRUE(cache.LoadMeta({5, 3, 9}, &meta));
  EXPECT_EQ(meta.etag, "");
  // No temporary file is left beside the tile.
  int files = 0;
  for (const auto& e : fs::directory_iterator(dir.path() / "5" / "3")) {
    ++files;
    EXPECT_EQ(e.path().filename(), "9.tile");
  }
  EXPECT_EQ(files, 1);
}

TEST(TileCacheDisk, DamagedFilesAreDroppedNotServed) {
  TempDir dir("tiles");
  TileCache cache(dir.str());
  const std::string png = roadeye_test::TilePng(4, 1, 2);
  const TileKey key{4, 1, 2};
  ASSERT_TRUE(cache.Store(key, png, Meta(kStart)));
  const std::string path = cache.PathOf(key);
  const std::string whole = ReadBytes(path);

  const std::vector<std::string> damaged = {
      whole.substr(0, whole.size() - 1),                              // cut short
      whole + "x",                                                    // longer than it says
      "RoadeyeTile 2\n" + whole.substr(14),                           // unknown format
      std::string(whole).replace(whole.find("length"), 6, "lenght"),  // no length
      "",                                                             // empty
  };
  for (std::size_t i = 0; i < damaged.size(); ++i) {
    WriteBytes(path, damaged[i]);
    CachedTile tile;
    EXPECT_FALSE(cache.Load(key, &tile)) << i;
    EXPECT_FALSE(fs::exists(path)) << i;
    EXPECT_FALSE(cache.Contains(key)) << i;
  }
}

// Fills a cache whose bound holds three tiles and checks which survive.
TEST(TileCacheDisk, EvictionKeepsTheBoundAndDropsTheLeastRecentlyUsed) {
  TempDir dir("tiles");
  const std::string png = roadeye_test::TilePng(10, 0, 0);
  std::uint64_t one_tile = 0;
  {
    TileCache probe(dir.str());
    ASSERT_TRUE(probe.Store({10, 0, 0}, png, Meta(kStart)));
    one_tile = probe.TotalBytes();
    ASSERT_TRUE(probe.Remove({10, 0, 0}));
  }
  ASSERT_GT(one_tile, png.size());
  const std::uint64_t bound = one_tile * 3 + one_tile / 2;

  TileCache cache(dir.str(), bound);
  for (int x = 0; x < 3; ++x) ASSERT_TRUE(cache.Store({10, x, 0}, png, Meta(kStart)));
  EXPECT_EQ(cache.Count(), 3u);
  CachedTile tile;
  ASSERT_TRUE(cache.Load({10, 0, 0}, &tile));  // 0 is now the most recently used
  ASSERT_TRUE(cache.Store({10, 3, 0}, png, Meta(kStart)));
  EXPECT_LE(cache.TotalBytes(), bound);
  EXPECT_TRUE(cache.Contains({10, 0, 0}));
  EXPECT_FALSE(cache.Contains({10, 1, 0}));
  EXPECT_TRUE(cache.Contains({10, 2, 0}));
  EXPECT_TRUE(cache.Contains({10, 3, 0}));

  // The order of use survives a restart: a new cache over the folder evicts 2 next.
  ASSERT_TRUE(cache.Load({10, 0, 0}, &tile));
  ASSERT_TRUE(cache.Load({10, 3, 0}, &tile));
  TileCache restarted(dir.str(), bound);
  EXPECT_EQ(restarted.Count(), 3u);
  ASSERT_TRUE(restarted.Store({10, 4, 0}, png, Meta(kStart)));
  EXPECT_FALSE(restarted.Contains({10, 2, 0}));
  EXPECT_TRUE(restarted.Contains({10, 0, 0}));
  EXPECT_TRUE(restarted.Contains({10, 3, 0}));
  EXPECT_TRUE(restarted.Contains({10, 4, 0}));

  // Lowering the bound evicts at once, the oldest first.
  restarted.SetMaxBytes(one_tile + one_tile / 2);
  EXPECT_EQ(restarted.Count(), 1u);
  EXPECT_TRUE(restarted.Contains({10, 4, 0}));
  // A tile larger than the whole bound is refused and evicts nothing.
  restarted.SetMaxBytes(png.size() / 2);
  EXPECT_EQ(restarted.Count(), 0u);
  EXPECT_FALSE(restarted.Store({10, 5, 0}, png, Meta(kStart)));
  EXPECT_EQ(restarted.TotalBytes(), 0u);
}

TEST(TileCacheDisk, TooLargePicturesAndCrashLeftoversGo) {
  TempDir dir("tiles");
  {
    TileCache cache(dir.str());
    EXPECT_FALSE(
        cache.Store({1, 0, 0}, std::string(TileCache::kMaxTileBytes + 1, 'x'), Meta(kStart)));
    ASSERT_TRUE(cache.Store({1, 0, 0}, roadeye_test::TilePng(1, 0, 0), Meta(kStart)));
  }
  // A half-written temporary file left by a crash long ago, and one being written right now.
  const std::string old_temp = dir.str() + "/1/0/.1.tile.tmp-99999-1";
  const std::string new_temp = dir.str() + "/1/0/.1.tile.tmp-99999-2";
  WriteBytes(old_temp, "RoadeyeTile 1\nexp");
  WriteBytes(new_temp, "RoadeyeTile 1\nexp");
  struct utimbuf long_ago {};
  long_ago.actime = long_ago.modtime = ::time(nullptr) - 3600;
  ASSERT_EQ(::utime(old_temp.c_str(), &long_ago), 0);
  TileCache cache(dir.str());
  EXPECT_EQ(cache.Count(), 1u);
  EXPECT_FALSE(fs::exists(old_temp));
  EXPECT_TRUE(fs::exists(new_temp));
}

TEST(TileCacheDisk, DefaultFolderFollowsXdgCacheHome) {
  const char* saved = std::getenv("XDG_CACHE_HOME");
  const std::string restore = saved != nullptr ? saved : "";
  setenv("XDG_CACHE_HOME", "/x/cache", 1);
  EXPECT_EQ(TileCache::DefaultFolder(), "/x/cache/roadeye/tiles");
  setenv("XDG_CACHE_HOME", "relative", 1);  // not absolute: ignored
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') {
    EXPECT_EQ(TileCache::DefaultFolder(), std::string(home) + "/.cache/roadeye/tiles");
  }
  if (saved != nullptr) {
    setenv("XDG_CACHE_HOME", restore.c_str(), 1);
  } else {
    unsetenv("XDG_CACHE_HOME");
  }
}

// ---- What a response may carry ----

TEST(TileResponses, OnlyWholeWellFormedPngsPass) {
  const std::string png = roadeye_test::TilePng(2, 1, 1);
  EXPECT_TRUE(WellFormedPng(png));
  EXPECT_TRUE(WellFormedPng(roadeye_test::SolidPng(1, 1, {1, 2, 3})));
  EXPECT_FALSE(WellFormedPng(""));
  EXPECT_FALSE(WellFormedPng(png.substr(0, png.size() - 1)));
  EXPECT_FALSE(WellFormedPng(png + "trailing"));
  std::string flipped = png;
  flipped[png.size() / 2] ^= 0x01;
  EXPECT_FALSE(WellFormedPng(flipped));
  std::string wrong_signature = png;
  wrong_signature[1] = 'Q';
  EXPECT_FALSE(WellFormedPng(wrong_signature));
  // A picture claiming to be larger than any tile.
  EXPECT_FALSE(WellFormedPng(roadeye_test::SolidPng(5000, 1, {1, 2, 3})));
  // A length field pointing past the end.
  std::string long_chunk = png;
  long_chunk[8] = '\x7F';
  EXPECT_FALSE(WellFormedPng(long_chunk));
  EXPECT_FALSE(WellFormedPng("<html>no tile here</html>"));
}

struct ExpiryCase {
  const char* headers;
  std::int64_t fresh_for;
};

class TileExpiryTest : public ::testing::TestWithParam<ExpiryCase> {};

TEST_P(TileExpiryTest, FollowsTheServersCacheHeaders) {
  EXPECT_EQ(TileExpiry(GetParam().headers, kStart), kStart + GetParam().fresh_for)
      << GetParam().headers;
}

INSTANTIATE_TEST_SUITE_P(
    Headers, TileExpiryTest,
    ::testing::Values(
        ExpiryCase{"HTTP/1.1 200 OK\r\nCache-Control: max-age=3600\r\n", 3600},
        ExpiryCase{"cache-control: public, MAX-AGE=60\r\nAge: 20\r\n", 40},
        ExpiryCase{"Cache-Control: max-age=\"90\"\r\n", 90},
        ExpiryCase{"Cache-Control: max-age=10\r\nAge: 99\r\n", 0},
        ExpiryCase{"Cache-Control: no-cache\r\n", 0},
        ExpiryCase{"Cache-Control: max-age=600, no-store\r\n", 0},
        ExpiryCase{"Cache-Control: max-age=99999999999\r\n", 365 * 24 * 3600},
        ExpiryCase{"Cache-Control: max-age=-5\r\n", 7 * 24 * 3600},
        ExpiryCase{"Date: Mon, 01 Jan 2024 00:00:00 GMT\r\n"
                   "Expires: Mon, 01 Jan 2024 02:00:00 GMT\r\n",
                   7200},
        ExpiryCase{"Expires: 0\r\n", 0}, ExpiryCase{"Expires: garbage\r\n", 0},
        ExpiryCase{"Cache-Control: max-age=30\r\nExpires: Mon, 01 Jan 2024 02:00:00 GMT\r\n", 30},
        ExpiryCase{"Content-Type: image/png\r\n", 7 * 24 * 3600}));

// ---- The fetcher against the loopback server ----

// Collects the fetcher's reports; tests wait on them.
class Reports {
 public:
  TileFetcher::Done Callback() {
    return [this](const TileKey& key, TileFetchResult result) {
      std::lock_guard<std::mutex> hold(lock_);
      results_.push_back({key, result});
      changed_.notify_all();
    };
  }
  // Waits until `count` reports of `result` came.
  bool WaitFor(TileFetchResult result, int count, int ms = 10000) {
    std::unique_lock<std::mutex> hold(lock_);
    return changed_.wait_for(hold, std::chrono::milliseconds(ms),
                             [&] { return CountLocked(result) >= count; });
  }
  int Count(TileFetchResult result) {
    std::lock_guard<std::mutex> hold(lock_);
    return CountLocked(result);
  }

 private:
  int CountLocked(TileFetchResult result) const {
    int n = 0;
    for (const auto& r : results_) n += r.second == result ? 1 : 0;
    return n;
  }
  std::mutex lock_;
  std::condition_variable changed_;
  std::vector<std::pair<TileKey, TileFetchResult>> results_;
};

class TileFetcherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.ok());
    ASSERT_TRUE(dir_.ok());
    cache_ = std::make_shared<TileCache>(dir_.str());
  }

  std::unique_ptr<TileFetcher> MakeFetcher(TileFetcher::Options options = {}) {
    options.url_template = server_.UrlTemplate();
    options.now = [this] { return now_.load(); };
    return std::make_unique<TileFetcher>(cache_, std::move(options), reports_.Callback());
  }

  LoopbackTileServer server_;
  TempDir dir_{"tiles"};
  std::shared_ptr<TileCache> cache_;
  std::atomic<std::int64_t> now_{kStart};
  Reports reports_;
};

TEST_F(TileFetcherTest, StoresWhatTheServerSendsWithItsExpiryAndAProperUserAgent) {
  server_.SetCacheControl("max-age=3600");
  auto fetcher = MakeFetcher();
  EXPECT_EQ(fetcher->Request({16, 55880, 25400}), TileRequestState::kQueued);
  ASSERT_TRUE(reports_.WaitFor(TileFetchResult::kStored, 1));
  CachedTile tile;
  ASSERT_TRUE(cache_->Load({16, 55880, 25400}, &tile));
  EXPECT_EQ(tile.png, server_.TileBytes(16, 55880, 25400));
  EXPECT_EQ(tile.meta.expires, kStart + 3600);
  EXPECT_EQ(tile.meta.etag, "\"v0-16-55880-25400\"");
  EXPECT_EQ(tile.meta.last_modified, "Mon, 01 Jan 2024 00:00:00 GMT");
  EXPECT_EQ(server_.Paths(), std::vector<std::string>{"/16/55880/25400.png"});
  EXPECT_EQ(server_.LastUserAgent(), TileUserAgent());
  EXPECT_TRUE(TileUserAgent().starts_with("Roadeye/"));
  EXPECT_TRUE(TileUserAgent().ends_with(" (+https://github.com/roadeye/roadeye)"));
  EXPECT_NE(TileUserAgent(), "Roadeye/ (+https://github.com/roadeye/roadeye)");
}

TEST_F(TileFetcherTest, NoRefetchBeforeExpiryThenRevalidatesAndKeepsTheTileOn304) {
  server_.SetCacheControl("max-age=600");
  auto fetcher = MakeFetcher();
  const TileKey key{12, 3490, 1587};
  fetcher->Request(key);
  ASSERT_TRUE(reports_.WaitFor(TileFetchResult::kStored, 1));
  const std::string first = server_.TileBytes(12, 3490, 1587);

  // Fresh: nothing is sent, however often it is asked for.
  now_ += 599;
  for (int i = 0; i < 5; ++i) EXPECT_EQ(fetcher->Request(key), TileRequestState::kFresh);
  EXPECT_EQ(server_.Requests(), 1);

  // Expired: one conditional request; the server confirms and the stored picture stays.
  now_ += 2;
  server_.SetCacheControl("max-age=1200");
  EXPECT_EQ(fetcher->Request(key), TileRequestState::kQueued);
  ASSERT_TRUE(reports_.WaitFor(TileFetchResult::kNotModified, 1));
  EXPECT_EQ(server_.Requests(), 2);
  EXPECT_EQ(server_.Conditional(), 1);
  EXPECT_EQ(server_.NotModified(), 1);
  CachedTile tile;
  ASSERT_TRUE(cache_->Load(key, &tile));
  EXPECT_EQ(tile.png, first);
  EXPECT_EQ(tile.meta.expires, now_.load() + 1200);
  EXPECT_EQ(fetcher->Request(key), TileRequestState::kFresh);

  // Expired again after the server changed the tile: the new picture replaces the old one.
  now_ += 1201;
  server_.SetVersion(2);
  fetcher->Request(key);
  ASSERT_TRUE(reports_.WaitFor(TileFetchResult::kStored, 2));
  ASSERT_TRUE(cache_->Load(key, &tile));
  EXPECT_NE(tile.png, first);
  EXPECT_EQ(tile.png, server_.TileBytes(12, 3490, 1587));
  EXPECT_EQ(tile.meta.etag, "\"v2-12-3490-1587\"");
  EXPECT_EQ(server_.Conditional(), 2);
  const TileFetcherStats stats = fetcher->Stats();
  EXPECT_EQ(stats.sent, 3u);
  EXPECT_EQ(stats.conditional, 2u);
  EXPECT_EQ(stats.stored, 2u);
  EXPECT_EQ(stats.not_modified, 1u);
}

struct BadAnswer {
  LoopbackTileServer::Mode mode;
  const char* name;
};

class TileFetcherBadAnswerTest : public TileFetcherTest,
                                 public ::testing::WithParamInterface<BadAnswer> {};

TEST_P(TileFetcherBadAnswerTest, IsNotStoredAndKeepsTheOldTile) {
  const TileKey key{9, 100, 200};
  auto fetcher = MakeFetcher();
  // An older good copy, expired, so that the bad answer comes as a revalidation (it has a new
  // ETag, so the server does not answer 304).
  const std::string good = roadeye_test::TilePng(9, 100, 200);
  ASSERT_TRUE(cache_->Store(key, good, Meta(kStart - 1, "\"old\"")));
  server_.SetMode(GetParam().mode);
  EXPECT_EQ(fetcher->Request(key), TileRequestState::kQueued);
  ASSERT_TRUE(reports_.WaitFor(TileFetchResult::kRejected, 1)) << GetParam().name;
  CachedTile tile;
  ASSERT_TRUE(cache_->Load(key, &tile));
  EXPECT_EQ(tile.png, good);
  EXPECT_EQ(tile.meta.etag, "\"old\"");
  // A missing tile is not created either.
  fetcher->Request({9, 101, 200});
  ASSERT_TRUE(reports_.WaitFor(TileFetchResult::kRejected, 2)) << GetParam().name;
  EXPECT_FALSE(cache_->Contains({9, 101, 200}));
  EXPECT_EQ(fetcher->Stats().rejected, 2u);
  EXPECT_FALSE(fetcher->Offline());
}

INSTANTIATE_TEST_SUITE_P(
    Answers, TileFetcherBadAnswerTest,
    ::testing::Values(BadAnswer{LoopbackTileServer::Mode::kTruncated, "truncated"},
                      BadAnswer{LoopbackTileServer::Mode::kDamaged, "damaged"},
                      BadAnswer{LoopbackTileServer::Mode::kOversized, "oversized"},
                      BadAnswer{LoopbackTileServer::Mode::kOversizedOpen, "oversized, no length"},
                      BadAnswer{LoopbackTileServer::Mode::kNotPng, "not a PNG"}),
    [](const auto& info) {
      std::string name = info.param.name;
      for (char& c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
      }
      return name;
    });

TEST_F(TileFetcherTest, ARefusedTileIsNotAskedForAgainForAWhile) {
  server_.SetMode(LoopbackTileServer::Mode::kNotFound);
  TileFetcher::Options options;
  options.refused_memory = std::chrono::seconds(600);
  auto fetcher = MakeFetcher(options);
  fetcher->Request({3, 1, 1});
  ASSERT_TRUE(reports_.WaitFor(TileFetchResult::kRefused, 1));
  server_.SetMode(LoopbackTileServer::Mode::kTiles);
  EXPECT_EQ(fetcher->Request({3, 1, 1}), TileRequestState::kRefused);
  EXPECT_EQ(server_.Requests(), 1);
  EXPECT_FALSE(fetcher->Offline());  // the server answered
  now_ += 601;
  EXPECT_EQ(fetcher->Request({3, 1, 1}), TileRequestState::kQueued);
  ASSERT_TRUE(reports_.WaitFor(TileFetchResult::kStored, 1));
  // Invalid keys and a template the fetcher must not follow send nothing.
  EXPECT_EQ(fetcher->Request({3, 8, 1}), TileRequestState::kRefused);
  fetcher->SetUrlTemplate("file:///etc/{z}/{x}/{y}");
  fetcher->Request({3, 2, 2});
  ASSERT_TRUE(reports_.WaitFor(TileFetchResult::kRefused, 2));
  EXPECT_FALSE(cache_->Contains({3, 2, 2}));
  EXPECT_EQ(server_.Requests(), 2);
}

TEST_F(TileFetcherTest, AtMostTwoConnectionsAndTheNewestRequestsFirst) {
  server_.Hold();
  TileFetcher::Options options;
  options.queue_limit = 6;
  options.connections = 5;  // asking for more changes nothing
  auto fetcher = MakeFetcher(options);
  // The first two go out at once; then ten more come while both are held at the server.
  fetcher->Request({10, 0, 7});
  ASSERT_TRUE(server_.WaitFor([&] { return server_.Waiting() == 1; }, 10000));
  fetcher->Request({10, 1, 7});
  ASSERT_TRUE(server_.WaitFor([&] { return server_.Waiting() == 2; }, 10000));
  for (int x = 2; x < 12; ++x) fetcher->Request({10, x, 7});
  // Give a third connection every chance to appear before looking.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(server_.OpenConnections(), 2);
  EXPECT_EQ(server_.Waiting(), 2);
  server_.Release();
  // Two in flight and the six newest queued: the four oldest queued were dropped.
  ASSERT_TRUE(reports_.WaitFor(TileFetchResult::kStored, 8));
  EXPECT_EQ(fetcher->Stats().dropped, 4u);
  EXPECT_EQ(server_.MostConnections(), 2);
  EXPECT_LE(server_.AcceptedConnections(), 2);  // the connections were kept and reused
  const std::vector<std::string> paths = server_.Paths();
  ASSERT_EQ(paths.size(), 8u);
  // After the first two, the newest first: 11, 10, ... 6. Two run at once, so neighbours may
  // reach the server in either order, but none more than one place off.
  const std::vector<std::string> later(paths.begin() + 2, paths.end());
  const std::vector<std::string> newest_first = {"/10/11/7.png", "/10/10/7.png", "/10/9/7.png",
                                                 "/10/8/7.png",  "/10/7/7.png",  "/10/6/7.png"};
  for (std::size_t i = 0; i < newest_first.size(); ++i) {
    const auto at = std::find(later.begin(), later.end(), newest_first[i]);
    ASSERT_NE(at, later.end()) << newest_first[i];
    EXPECT_LE(std::abs(static_cast<int>(at - later.begin()) - static_cast<int>(i)), 1)
        << newest_first[i];
  }
  for (int x = 2; x < 6; ++x) EXPECT_FALSE(cache_->Contains({10, x, 7})) << x;
}

TEST_F(TileFetcherTest, AnUnreachableServerGetsOneProbeAfterEachRetryDelay) {
  server_.SetMode(LoopbackTileServer::Mode::kHangUp);
  TileFetcher::Options options;
  options.first_retry_delay = std::chrono::milliseconds(400);
  auto fetcher = MakeFetcher(options);
  for (int x = 0; x < 10; ++x) fetcher->Request({8, x, 1});
  ASSERT_TRUE(reports_.WaitFor(TileFetchResult::kUnreachable, 1));
  EXPECT_TRUE(fetcher->Offline());
  EXPECT_EQ(fetcher->Request({8, 20, 1}), TileRequestState::kOffline);
  const int first_tries = server_.Requests();
  EXPECT_LE(first_tries, 2);
  // One probe after the delay, then nothing for the (doubled) delay after it.
  ASSERT_TRUE(server_.WaitFor([&] { return server_.Requests() > first_tries; }, 10000));
  std::this_thread::sleep_for(std::chrono::milliseconds(250));
  EXPECT_EQ(server_.Requests(), first_tries + 1);

  // The server comes back: the next probe succeeds and every wanted tile follows.
  server_.SetMode(LoopbackTileServer::Mode::kTiles);
  ASSERT_TRUE(reports_.WaitFor(TileFetchResult::kStored, 11, 20000));
  EXPECT_FALSE(fetcher->Offline());
  for (int x = 0; x < 10; ++x) EXPECT_TRUE(cache_->Contains({8, x, 1})) << x;
  EXPECT_TRUE(cache_->Contains({8, 20, 1}));
}

TEST_F(TileFetcherTest, ServerErrorsStartTheRetryDelayToo) {
  server_.SetMode(LoopbackTileServer::Mode::kServerError);
  TileFetcher::Options options;
  options.first_retry_delay = std::chrono::seconds(60);
  auto fetcher = MakeFetcher(options);
  for (int x = 0; x < 6; ++x) fetcher->Request({8, x, 2});
  ASSERT_TRUE(reports_.WaitFor(TileFetchResult::kUnreachable, 1));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_LE(server_.Requests(), 2);
  EXPECT_TRUE(fetcher->Offline());
}

TEST_F(TileFetcherTest, AServerThatHoldsTheAnswerIsLeftAtTheTransferTimeLimit) {
  server_.Hold();
  TileFetcher::Options options;
  options.connect_timeout_ms = 60000;  // the socket's own limit must not be what ends it
  options.transfer_timeout_ms = 300;
  options.first_retry_delay = std::chrono::seconds(60);
  auto fetcher = MakeFetcher(options);
  fetcher->Request({6, 1, 1});
  ASSERT_TRUE(reports_.WaitFor(TileFetchResult::kUnreachable, 1, 30000));
  EXPECT_TRUE(fetcher->Offline());
  EXPECT_FALSE(cache_->Contains({6, 1, 1}));
  server_.Release();
}

// Sets an environment variable for a test's length.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    ::setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() {
    if (old_) {
      ::setenv(name_, old_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
  std::optional<std::string> old_;
};

TEST_F(TileFetcherTest, GoesThroughTheEnvironmentsProxyExceptToNoProxyHosts) {
  // http_proxy names the tile server, which is then asked for the whole URL of a host that does
  // not exist.
  ScopedEnv proxy("http_proxy", "http://127.0.0.1:" + std::to_string(server_.port()));
  ScopedEnv direct("no_proxy", "");
  {
    TileFetcher::Options options;
    options.url_template = "http://tiles.roadeye.invalid/{z}/{x}/{y}.png";
    options.now = [this] { return now_.load(); };
    TileFetcher fetcher(cache_, options, reports_.Callback());
    fetcher.Request({4, 3, 2});
    ASSERT_TRUE(reports_.WaitFor(TileFetchResult::kStored, 1));
  }
  EXPECT_EQ(server_.Paths(), std::vector<std::string>{"http://tiles.roadeye.invalid/4/3/2.png"});
  EXPECT_TRUE(cache_->Contains({4, 3, 2}));

  // A proxy that is not there is passed by for the hosts no_proxy lists.
  std::uint16_t closed = 0;
  {
    LoopbackTileServer gone;
    ASSERT_TRUE(gone.ok());
    closed = gone.port();
  }
  ScopedEnv dead_proxy("http_proxy", "http://127.0.0.1:" + std::to_string(closed));
  ScopedEnv listed("no_proxy", "localhost, 127.0.0.1");
  auto fetcher = MakeFetcher();
  fetcher->Request({4, 3, 3});
  ASSERT_TRUE(reports_.WaitFor(TileFetchResult::kStored, 2));
  EXPECT_EQ(server_.Paths().back(), "/4/3/3.png");
}

TEST_F(TileFetcherTest, StopsInTheMiddleOfATransfer) {
  server_.Hold();
  auto fetcher = MakeFetcher();
  fetcher->Request({5, 1, 1});
  fetcher->Request({5, 1, 2});
  fetcher->Request({5, 1, 3});
  ASSERT_TRUE(server_.WaitFor([&] { return server_.Waiting() == 2; }, 10000));
  fetcher.reset();  // returns with both transfers aborted; the test would hang otherwise
  EXPECT_EQ(reports_.Count(TileFetchResult::kDropped), 2);
  EXPECT_EQ(reports_.Count(TileFetchResult::kStored), 0);
  server_.Release();
  EXPECT_TRUE(server_.WaitFor([&] { return server_.OpenConnections() == 0; }, 10000));
  EXPECT_FALSE(cache_->Contains({5, 1, 1}));
}

}  // namespace
