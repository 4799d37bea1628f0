// SPDX-License-Identifier: GPL-3.0-or-later
// Reading a recording's track ahead, on cards written by roadeye-mkcard: the points must be the
// valid fixes that the engine's way of reading (the whole stream into the telemetry store) sees,
// at the same media times, for whole recordings, one cut short by a power loss and a damaged one;
// and the reading must run beside the engine's parser on the same library handle.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <thread>

#include "media/CVEXParser.h"
#include "support/testing/TempDir.h"
#include "telemetry/CTextData.h"
#include "telemetry/TrackLoader.h"
#include "telemetry/TrackReader.h"
#include "telemetry/tests/TrackTestCard.h"
#include "vexlib/VexCard.h"
#include "vexlib/VexReader.h"

namespace {

namespace fs = std::filesystem;
using tracktest::Card;

constexpr int kSeconds = 6;

// What the engine's way of reading sees of a recording: every packet streamed through the card
// library, the text records fed to the telemetry store with a terminating zero.
struct Reference {
  bool opened = false;
  int status = -1;  // how the stream ended
  std::vector<CGPSData> fixes;
  std::vector<int> fixTimes;
  std::vector<std::pair<int, std::vector<std::uint8_t>>> samples;
  int frontPictures = 0;
};

Reference ReadStream(const std::string& root, const std::string& name) {
  Reference r;
  Card card(root);
  vex::RecordingName rn;
  if (!vex::ParseRecordingName(name, true, &rn)) return r;
  const int id = VexSelectByName(card.handle(), rn.kind, name.c_str());
  if (id < 0 || VexOpenStream(card.handle(), rn.kind, 0, id) != 1) return r;
  r.opened = true;
  CTextData store;
  std::vector<std::uint8_t> buf(kPacketBufferSize + 1);
  for (int guard = 0; guard < 1000000; ++guard) {
    std::uint8_t channel = 0, type = 0, flags = 0;
    int size = kPacketBufferSize;
    std::int32_t ms = 0;
    r.status = VexReadPacket(card.handle(), &channel, &type, &flags, &size, buf.data(), &ms);
    if (r.status == kVexReadNotYet) continue;
    if (r.status != kVexReadOk) break;
    if (type != 3) {
      r.frontPictures += (type == 0 || type == 2) && channel == 0;
      continue;
    }
    buf[std::size_t(size)] = 0;
    const int before = store.GpsCount();
    store.OnTextData(reinterpret_cast<const char*>(buf.data()), size + 1, ms);
    if (store.GpsCount() > before) {
      const CGPSData fix = store.LastGps();
      if (fix.valid) {
        r.fixes.push_back(fix);
        r.fixTimes.push_back(ms);
      }
    } else if (size >= 4 && buf[0] == 'M') {
      r.samples.emplace_back(ms, std::vector<std::uint8_t>(buf.begin() + 1, buf.begin() + 4));
    }
  }
  return r;
}

std::vector<TrackPoint> Points(const Track& t) {
  std::vector<TrackPoint> out;
  for (const auto& s : t.segments) out.insert(out.end(), s.begin(), s.end());
  return out;
}

// The track and the samples against the stream's fixes and samples, point by point.
void ExpectSameAsStream(const RecordingTelemetry& got, const Reference& want,
                        const std::string& what) {
  const std::vector<TrackPoint> points = Points(got.track);
  ASSERT_EQ(points.size(), want.fixes.size()) << what;
  for (std::size_t i = 0; i < points.size(); ++i) {
    EXPECT_EQ(points[i].timeMs, want.fixTimes[i]) << what << " point " << i;
    EXPECT_DOUBLE_EQ(points[i].latitude, want.fixes[i].GetLatitude()) << what << " point " << i;
    EXPECT_DOUBLE_EQ(points[i].longitude, want.fixes[i].GetLongitude()) << what << " point " << i;
    EXPECT_DOUBLE_EQ(points[i].speedKmh, want.fixes[i].GetSpeed()) << what << " point " << i;
    EXPECT_DOUBLE_EQ(points[i].course, want.fixes[i].course) << what << " point " << i;
  }
  ASSERT_EQ(got.gsensor.size(), want.samples.size()) << what;
  for (std::size_t i = 0; i < got.gsensor.size(); ++i) {
    const auto& [ms, bytes] = want.samples[i];
    EXPECT_EQ(got.gsensor[i].first, ms) << what << " sample " << i;
    EXPECT_EQ(got.gsensor[i].second.x, 128 - int(bytes[0])) << what << " sample " << i;
    EXPECT_EQ(got.gsensor[i].second.y, 128 - int(bytes[1])) << what << " sample " << i;
    EXPECT_EQ(got.gsensor[i].second.z, 128 - int(bytes[2])) << what << " sample " << i;
  }
}

class TrackReaderTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new roadeye_test::TempDir("track");
    root_ = new std::string(dir_->str() + "/card");
    // Two kinds, with and without a rear camera, and the card tool's recording cut short by a
    // power loss in the middle of a block.
    error_ = new std::string(tracktest::MakeCard(
        *root_, "--seconds " + std::to_string(kSeconds) + " --count 2 --kinds REC,EVENT"));
  }
  static void TearDownTestSuite() {
    delete error_;
    delete root_;
    delete dir_;
  }
  void SetUp() override { ASSERT_TRUE(error_->empty()) << *error_; }

  static const std::string& root() { return *root_; }
  std::string VexPath(const std::string& name) const {
    return root() + "/VEX/" + name.substr(0, name.size() - 4) + ".vex";
  }

  static roadeye_test::TempDir* dir_;
  static std::string* root_;
  static std::string* error_;
};

roadeye_test::TempDir* TrackReaderTest::dir_ = nullptr;
std::string* TrackReaderTest::root_ = nullptr;
std::string* TrackReaderTest::error_ = nullptr;

TEST_F(TrackReaderTest, EveryRecordingReadsTheFixesTheStreamSees) {
  Card card(root());
  ASSERT_TRUE(card.present());
  const std::vector<std::string> names = card.Names();
  ASSERT_GE(names.size(), 5u);
  int cutShort = 0;
  for (const std::string& name : names) {
    RecordingTelemetry got;
    ASSERT_EQ(ReadRecordingTelemetry(card.handle(), name.c_str(), &got, nullptr),
              TrackReadResult::kOk)
        << name;
    const Reference want = ReadStream(root(), name);
    ASSERT_TRUE(want.opened) << name;
    EXPECT_EQ(want.status, kVexReadEnd) << name;
    EXPECT_EQ(got.track.name, name);
    ExpectSameAsStream(got, want, name);
    // The card tool's fixes are one a second along a smooth route, each valid: one segment.
    EXPECT_EQ(got.track.segments.size(), 1u) << name;
    // Ten samples a second.
    EXPECT_NEAR(double(got.gsensor.size()), got.track.PointCount() * 10.0, 10.0) << name;
    if (got.track.PointCount() < kSeconds) ++cutShort;

    Track track;
    ASSERT_EQ(ReadRecordingTrack(card.handle(), name.c_str(), &track, nullptr),
              TrackReadResult::kOk);
    EXPECT_EQ(track.PointCount(), got.track.PointCount());
  }
  // The small one and the one cut by the power loss.
  EXPECT_EQ(cutShort, 2);
}

TEST_F(TrackReaderTest, FirstFixIsTheRouteStartAtTheRecordingsClock) {
  Card card(root());
  const std::string name = card.Names().front();  // REC_20240612_081500...
  ASSERT_EQ(name.rfind("REC_20240612_081500", 0), 0u) << name;
  Track t;
  ASSERT_EQ(ReadRecordingTrack(card.handle(), name.c_str(), &t, nullptr), TrackReadResult::kOk);
  ASSERT_EQ(t.PointCount(), kSeconds);
  const TrackPoint& first = t.segments[0].front();
  const TrackPoint& last = t.segments.back().back();
  EXPECT_EQ(first.timeMs, 0);
  EXPECT_EQ(last.timeMs, (kSeconds - 1) * 1000);
  EXPECT_NEAR(first.latitude, 37.566, 0.01);
  EXPECT_NEAR(first.longitude, 126.978, 0.01);
  // 2024-06-12 08:15:00 on the camera's clock is 2024-06-11 23:15:00 UTC.
  EXPECT_EQ(first.utcTime, 1718147700);
  EXPECT_EQ(last.utcTime, 1718147700 + kSeconds - 1);
}

TEST_F(TrackReaderTest, DamagedRecordingReadsWhatTheStreamReads) {
  Card card(root());
  const std::string name = card.Names().front();
  std::ifstream in(VexPath(name), std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), {});
  ASSERT_GT(bytes.size(), 10000u);
  // Bytes changed through the middle of the file: block headers, records and payloads alike.
  const std::string damagedName = "REC_20300101_000000.avi";
  for (std::size_t at = bytes.size() / 3; at < bytes.size() * 2 / 3; at += 499) bytes[at] ^= 0x5A;
  {
    std::ofstream out(VexPath(damagedName), std::ios::binary);
    out.write(bytes.data(), std::streamsize(bytes.size()));
  }
  RecordingTelemetry got;
  VexCardAttach(card.handle());
  ASSERT_EQ(ReadRecordingTelemetry(card.handle(), damagedName.c_str(), &got, nullptr),
            TrackReadResult::kOk);
  const Reference want = ReadStream(root(), damagedName);
  fs::remove(VexPath(damagedName));
  ExpectSameAsStream(got, want, damagedName);
  EXPECT_LT(got.track.PointCount(), kSeconds);
  EXPECT_GT(got.track.PointCount(), 0);
}

TEST_F(TrackReaderTest, NoRecordingForWhatIsNotOne) {
  Card card(root());
  {
    std::ofstream out(root() + "/VEX/EVENT_20300101_000000.vex", std::ios::binary);
    out << std::string(4096, 'x');
  }
  VexCardAttach(card.handle());
  Track t;
  t.name = "stale";
  t.segments = {{TrackPoint{}}};
  for (const char* name : {"EVENT_20300101_000000.avi", "REC_20300101_000001.avi",
                           "../VEX/REC_20240612_081500.avi", ""}) {
    EXPECT_EQ(ReadRecordingTrack(card.handle(), name, &t, nullptr), TrackReadResult::kNoRecording)
        << name;
    EXPECT_TRUE(t.Empty()) << name;
  }
  fs::remove(root() + "/VEX/EVENT_20300101_000000.vex");
  EXPECT_EQ(ReadRecordingTrack(nullptr, card.Names().front().c_str(), &t, nullptr),
            TrackReadResult::kNoRecording);
  EXPECT_EQ(ReadRecordingTrack(card.handle(), nullptr, &t, nullptr), TrackReadResult::kNoRecording);
  EXPECT_EQ(ReadRecordingTrack(card.handle(), card.Names().front().c_str(), nullptr, nullptr),
            TrackReadResult::kNoRecording);
}

TEST_F(TrackReaderTest, CancelledBeforeItStartsReadsNothing) {
  Card card(root());
  std::atomic<bool> cancel{true};
  Track t;
  EXPECT_EQ(ReadRecordingTrack(card.handle(), card.Names().front().c_str(), &t, &cancel),
            TrackReadResult::kCancelled);
  EXPECT_TRUE(t.Empty());
  cancel = false;
  EXPECT_EQ(ReadRecordingTrack(card.handle(), card.Names().front().c_str(), &t, &cancel),
            TrackReadResult::kOk);
  EXPECT_EQ(t.PointCount(), kSeconds);
}

TEST_F(TrackReaderTest, CardThatStopsReadingFailsWithWhatCameBefore) {
  Card card(root());
  const std::string name = card.Names().front();
  const auto bytes = static_cast<long long>(fs::file_size(VexPath(name)));
  // Reads fail while the recording is opened, and half-way through it.
  for (long long after : {2000LL, bytes / 2}) {
    vex::ReadFaults faults;
    faults.failAfterBytes = after;
    vex::SetReadFaults(faults);
    Track t;
    const TrackReadResult result = ReadRecordingTrack(card.handle(), name.c_str(), &t, nullptr);
    vex::ClearReadFaults();
    EXPECT_EQ(result, TrackReadResult::kReadFailed) << after;
    EXPECT_LT(t.PointCount(), kSeconds) << after;
  }
}

// The engine's parser streams a recording through the handle while the track of the same
// recording is read again and again through the same handle: the engine gets every picture, and
// every reading the whole track.
TEST_F(TrackReaderTest, ReadsBesideTheEnginesParserOnTheSameHandle) {
  Card card(root());
  const std::string name = card.Names().front();
  const Reference want = ReadStream(root(), name);
  ASSERT_EQ(want.frontPictures, kSeconds * 30);

  CVEXParser engine;
  engine.SetLibraryHandle(card.handle());
  ASSERT_TRUE(engine.Start());
  RecordingInfo info;
  ASSERT_EQ(engine.Open(name.c_str(), &info), 1);
  std::atomic<int> front{0};
  std::thread consumer([&] {
    std::vector<std::uint8_t> buf(kPacketBufferSize);
    for (int guard = 0; guard < 100000; ++guard) {
      char tag[8] = {};
      int size = kPacketBufferSize;
      if (engine.ReadPacket(tag, buf.data(), &size) < 0) break;
      if (std::memcmp(tag, kTagFront, 4) == 0) front++;
    }
  });
  for (int round = 0; round < 10; ++round) {
    RecordingTelemetry got;
    ASSERT_EQ(ReadRecordingTelemetry(card.handle(), name.c_str(), &got, nullptr),
              TrackReadResult::kOk);
    ExpectSameAsStream(got, want, name + " round " + std::to_string(round));
  }
  consumer.join();
  engine.Close();
  engine.Stop();
  EXPECT_EQ(front.load(), kSeconds * 30);
}

}  // namespace

// The loader's worker: answers in the order asked, a newer request replacing one not yet started,
// nothing after Cancel or Stop. The first request's answer holds the worker so that the requests
// after it are certain to wait.
TEST_F(TrackReaderTest, LoaderAnswersTheLatestRequestOnly) {
  Card card(root());
  const std::vector<std::string> names = card.Names();
  ASSERT_GE(names.size(), 2u);
  std::mutex lock;
  std::condition_variable changed;
  bool release = false;
  std::vector<std::string> answered;
  std::vector<RecordingTelemetry> last;
  TrackReadResult lastResult = TrackReadResult::kOk;
  auto answer = [&](const std::string& tag, bool hold) {
    return [&, tag, hold](std::vector<RecordingTelemetry>&& tracks, TrackReadResult result) {
      std::unique_lock<std::mutex> guard(lock);
      answered.push_back(tag);
      last = std::move(tracks);
      lastResult = result;
      changed.notify_all();
      if (hold) changed.wait(guard, [&] { return release; });
    };
  };
  auto waitFor = [&](std::size_t count) {
    std::unique_lock<std::mutex> guard(lock);
    return changed.wait_for(guard, std::chrono::seconds(30),
                            [&] { return answered.size() >= count; });
  };

  TrackLoader loader;
  loader.Request(card.handle(), {names[0]}, answer("held", true));
  ASSERT_TRUE(waitFor(1));
  loader.Request(card.handle(), {names[0]}, answer("replaced", false));
  loader.Request(card.handle(), {names[1], "REC_20000101_000000.avi", names[0]},
                 answer("latest", false));
  {
    std::lock_guard<std::mutex> guard(lock);
    release = true;
    changed.notify_all();
  }
  ASSERT_TRUE(waitFor(2));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // room for a wrong third answer
  std::lock_guard<std::mutex> guard(lock);
  EXPECT_EQ(answered, (std::vector<std::string>{"held", "latest"}));
  // In the order asked, the missing recording as an empty track named as asked; each answer
  // holds the same track and G-sensor samples as a direct read of its recording.
  ASSERT_EQ(last.size(), 3u);
  EXPECT_EQ(lastResult, TrackReadResult::kNoRecording);
  EXPECT_TRUE(last[1].track.Empty());
  EXPECT_TRUE(last[1].gsensor.empty());
  EXPECT_EQ(last[1].track.name, "REC_20000101_000000.avi");
  for (std::size_t i : {0u, 2u}) {
    const std::string& name = i == 0 ? names[1] : names[0];
    RecordingTelemetry direct;
    ASSERT_EQ(ReadRecordingTelemetry(card.handle(), name.c_str(), &direct, nullptr),
              TrackReadResult::kOk);
    EXPECT_EQ(last[i].track.name, name);
    EXPECT_GT(last[i].track.PointCount(), 0) << name;
    EXPECT_EQ(Points(last[i].track).size(), Points(direct.track).size()) << name;
    EXPECT_GT(last[i].gsensor.size(), 0u) << name;
    ASSERT_EQ(last[i].gsensor.size(), direct.gsensor.size()) << name;
    for (std::size_t k = 0; k < direct.gsensor.size(); ++k) {
      const auto& [ms, sample] = last[i].gsensor[k];
      EXPECT_EQ(ms, direct.gsensor[k].first) << name << " sample " << k;
      EXPECT_EQ(sample.x, direct.gsensor[k].second.x) << name << " sample " << k;
      EXPECT_EQ(sample.y, direct.gsensor[k].second.y) << name << " sample " << k;
      EXPECT_EQ(sample.z, direct.gsensor[k].second.z) << name << " sample " << k;
    }
  }
}

TEST_F(TrackReaderTest, LoaderSaysNothingAfterCancelOrStop) {
  Card card(root());
  const std::string name = card.Names().front();
  std::atomic<int> answers{0};
  std::mutex lock;
  std::condition_variable held;
  bool holding = false, release = false;
  TrackLoader loader;
  // Hold the worker, then cancel a waiting request and stop with another waiting.
  loader.Request(card.handle(), {name}, [&](std::vector<RecordingTelemetry>&&, TrackReadResult) {
    std::unique_lock<std::mutex> guard(lock);
    holding = true;
    held.notify_all();
    held.wait(guard, [&] { return release; });
  });
  {
    std::unique_lock<std::mutex> guard(lock);
    ASSERT_TRUE(held.wait_for(guard, std::chrono::seconds(30), [&] { return holding; }));
  }
  loader.Request(card.handle(), {name},
                 [&](std::vector<RecordingTelemetry>&&, TrackReadResult) { ++answers; });
  loader.Cancel();
  loader.Request(card.handle(), {name},
                 [&](std::vector<RecordingTelemetry>&&, TrackReadResult) { ++answers; });
  std::thread releaser([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::lock_guard<std::mutex> guard(lock);
    release = true;
    held.notify_all();
  });
  loader.Stop();  // returns once the held answer has returned; the waiting request is dropped
  releaser.join();
  loader.Request(card.handle(), {name},
                 [&](std::vector<RecordingTelemetry>&&, TrackReadResult) { ++answers; });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(answers.load(), 0);
}

TEST_F(TrackReaderTest, ATripsRecordingsAreOneTrackOnItsTimeline) {
  Card card(root());
  ASSERT_TRUE(card.present());
  const std::vector<std::string> names = card.Names();
  ASSERT_GE(names.size(), 2u);
  std::vector<RecordingTelemetry> parts(2);
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(ReadRecordingTelemetry(card.handle(), names[std::size_t(i)].c_str(),
                                     &parts[std::size_t(i)], nullptr),
              TrackReadResult::kOk);
  }
  const int second = 60000;  // where the second recording starts on the trip's timeline
  const RecordingTelemetry trip = JoinTripTelemetry(parts, {0, second});
  EXPECT_EQ(trip.track.name, parts[0].track.name);
  EXPECT_EQ(trip.track.PointCount(), parts[0].track.PointCount() + parts[1].track.PointCount());
  ASSERT_EQ(trip.track.segments.size(), 2u);
  EXPECT_EQ(trip.track.segments[1].front().timeMs,
            parts[1].track.segments.front().front().timeMs + second);
  EXPECT_EQ(trip.track.segments[1].back().latitude, parts[1].track.segments.back().back().latitude);
  ASSERT_EQ(trip.gsensor.size(), parts[0].gsensor.size() + parts[1].gsensor.size());
  EXPECT_EQ(trip.gsensor[parts[0].gsensor.size()].first, parts[1].gsensor.front().first + second);
  // A click on the second recording's last fix seeks into it on the trip's timeline.
  const TrackPoint& last = parts[1].track.segments.back().back();
  EXPECT_EQ(trip.track.NearestTimeMs(last.latitude, last.longitude), last.timeMs + second);
}
