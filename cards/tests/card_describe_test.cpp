// SPDX-License-Identifier: GPL-3.0-or-later
// Reading recordings' containers (cards written by roadeye-mkcard, and a sound-only file written
// by ffmpeg) and the listing worker: names first, then every recording described, and a newer
// request taking over from the one being listed.
#include <gtest/gtest.h>

#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "cards/CardLister.h"
#include "cards/CardListing.h"
#include "cards/ContainerProbe.h"
#include "support/testing/Command.h"
#include "support/testing/TempDir.h"

namespace fs = std::filesystem;
using roadeye_test::Quote;
using roadeye_test::TempDir;

namespace {

bool MakeCard(const std::string& card, const std::string& options) {
  const std::string mkcard = roadeye_test::BinDir() + "/roadeye-mkcard";
  return roadeye_test::RunCommand(Quote(mkcard) + " " + Quote(card) + " " + options, true)
             .exitCode == 0;
}

// Collects a lister's reports until its listing is done.
struct Reports {
  std::mutex lock;
  std::condition_variable done;
  std::vector<cards::ListingReport> got;
  bool finished = false;

  cards::CardLister::Report Sink() {
    return [this](cards::ListingReport&& r) {
      std::lock_guard<std::mutex> hold(lock);
      if (r.stage == cards::ListingReport::Stage::kDone) finished = true;
      got.push_back(std::move(r));
      done.notify_all();
    };
  }
  bool Wait() {
    std::unique_lock<std::mutex> hold(lock);
    return done.wait_for(hold, std::chrono::seconds(60), [&] { return finished; });
  }
};

}  // namespace

TEST(CardDescribe, ContainersGiveLengthDamageAndClock) {
  TempDir card("describe");
  ASSERT_TRUE(MakeCard(card.str(),
                       "--family novatek --container ts --kinds REC --count 1 "
                       "--seconds 2 --front 320x180 --rear no"));
  cards::CardScan scan = cards::ScanCard(card.str());
  ASSERT_EQ(scan.recordings.size(), 2u);
  for (cards::CardRecording& r : scan.recordings) cards::DescribeRecording(card.str(), &r);
  EXPECT_FALSE(scan.recordings[0].damaged);
  EXPECT_NEAR(scan.recordings[0].seconds, 2.0, 0.1);
  // Cut inside a packet, the stream still holds pictures up to there.
  EXPECT_GT(scan.recordings[1].seconds, 0);

  const cards::ContainerInfo info = cards::ProbeContainer(card / scan.recordings[0].files[0].path);
  EXPECT_TRUE(info.pictures);
  EXPECT_TRUE(info.sound);
  EXPECT_EQ(info.codec, "h264");
  EXPECT_EQ(info.width, 320);

  // A file of sound alone holds no pictures: damaged. Its clock comes from the container.
  if (!roadeye_test::HaveProgram("ffmpeg")) GTEST_SKIP() << "no ffmpeg";
  fs::create_directories(card / "Videos");
  const std::string sound = card / "Videos/sound.mp4";
  ASSERT_EQ(roadeye_test::RunCommand("ffmpeg -v error -f lavfi -i sine=duration=1 -c:a aac "
                                     "-metadata creation_time=2024-06-12T09:00:00Z " +
                                         Quote(sound),
                                     true)
                .exitCode,
            0);
  cards::CardScan one = cards::ScanFiles(card / "Videos", {"sound.mp4"});
  ASSERT_EQ(one.recordings.size(), 1u);
  cards::DescribeRecording(card / "Videos", &one.recordings[0]);
  EXPECT_TRUE(one.recordings[0].damaged);
  EXPECT_EQ(one.recordings[0].clockSource, cards::ClockSource::kContainer);
  EXPECT_EQ(cards::ClockText(one.recordings[0].start), "2024-06-12T09:00:00");
  EXPECT_FALSE(cards::ProbeContainer(card / "Videos/none.mp4").opened);

  // A relative name that reads as another of libavformat's protocols is still the card's file.
  fs::copy_file(card / scan.recordings[0].files[0].path,
                card / "Videos/concat:VID_20240612_081500.mp4");
  const fs::path here = fs::current_path();
  fs::current_path(card / "Videos");
  const cards::ContainerInfo copy = cards::ProbeContainer("concat:VID_20240612_081500.mp4");
  fs::current_path(here);
  EXPECT_TRUE(copy.pictures);
  EXPECT_NEAR(copy.seconds, 2.0, 0.1);
}

TEST(CardLister, NamesFirstThenEveryRecordingDescribed) {
  TempDir card("lister");
  ASSERT_TRUE(MakeCard(card.str(), "--family garmin --count 2 --seconds 2 --front 320x180"));
  cards::CardLister lister;
  Reports reports;
  const std::uint64_t request = lister.List(card.str(), {}, reports.Sink());
  ASSERT_TRUE(reports.Wait());
  lister.Stop();
  ASSERT_GE(reports.got.size(), 3u);
  // Garmin's names carry no clock: the first rows are none; all come once described.
  EXPECT_EQ(reports.got.front().stage, cards::ListingReport::Stage::kNames);
  EXPECT_TRUE(reports.got.front().recordings.empty());
  std::size_t described = 0, damaged = 0;
  for (const cards::ListingReport& r : reports.got) {
    EXPECT_EQ(r.request, request);
    if (r.stage != cards::ListingReport::Stage::kDescribed) continue;
    for (const cards::CardRecording& rec : r.recordings) {
      EXPECT_TRUE(rec.described);
      EXPECT_TRUE(rec.HasClock()) << rec.name;
      ++described;
      damaged += rec.damaged;
    }
  }
  EXPECT_EQ(described, 2u * 4 + 1);
  EXPECT_EQ(damaged, 1u);
}

TEST(CardLister, ANewerRequestTakesOver) {
  TempDir first("first"), second("second");
  ASSERT_TRUE(MakeCard(first.str(), "--family blackvue --count 3 --seconds 2 --front 320x180"));
  ASSERT_TRUE(MakeCard(second.str(),
                       "--family tesla --kinds REC --count 1 --seconds 2 "
                       "--front 320x180 --no-damaged"));
  cards::CardLister lister;
  Reports reports;
  const std::uint64_t old = lister.List(first.str(), {}, reports.Sink());
  const std::uint64_t now = lister.List(second.str(), {}, reports.Sink());
  EXPECT_GT(now, old);
  ASSERT_TRUE(reports.Wait());
  lister.Stop();
  // Whatever of the first came before it gave way, the card listed to the end is the second.
  const cards::ListingReport& last = reports.got.back();
  EXPECT_EQ(last.request, now);
  std::size_t ofSecond = 0;
  for (const cards::ListingReport& r : reports.got) {
    if (r.request == now && r.stage == cards::ListingReport::Stage::kDescribed) {
      for (const cards::CardRecording& rec : r.recordings) {
        EXPECT_EQ(rec.family, cards::Family::kTesla);
        ++ofSecond;
      }
    }
  }
  EXPECT_EQ(ofSecond, 1u);
  for (const cards::ListingReport& r : reports.got) {
    if (r.request == old) {
      EXPECT_NE(r.stage, cards::ListingReport::Stage::kDone);
    }
  }
}
