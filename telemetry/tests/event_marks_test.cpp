// SPDX-License-Identifier: GPL-3.0-or-later
// Event marks from G-sensor samples: on cards written by roadeye-mkcard with jolts at known
// seconds, read back as the player reads them ahead (ReadRecordingTelemetry), at every impact
// sensitivity; on made-up samples for the edges (a lone spike, a held step, the byte limits, the
// threshold itself); and the key helpers' choice of the next and previous mark.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "support/testing/TempDir.h"
#include "telemetry/EventMarks.h"
#include "telemetry/TrackReader.h"
#include "telemetry/tests/TrackTestCard.h"

namespace {

using Samples = std::vector<std::pair<int, CGSensorData>>;
using tracktest::Card;

constexpr int kLevels[] = {1, 3, 5};

// ---- Cards written by the card tool ------------------------------------------------------------

// The G-sensor samples of every recording of a card, by name.
struct ReadCard {
  std::string error;  // empty when the card was written and read
  std::map<std::string, Samples> samples;
};

ReadCard WriteAndRead(const std::string& root, const std::string& options) {
  ReadCard out;
  out.error = tracktest::MakeCard(root, "--rear no --no-damaged --fps 5 " + options);
  if (!out.error.empty()) return out;
  Card card(root);
  for (const std::string& name : card.Names()) {
    RecordingTelemetry telemetry;
    if (ReadRecordingTelemetry(card.handle(), name.c_str(), &telemetry, nullptr) !=
        TrackReadResult::kOk) {
      out.error = "cannot read " + name;
      return out;
    }
    out.samples[name] = std::move(telemetry.gsensor);
  }
  if (out.samples.empty()) out.error = "no recordings on " + root;
  return out;
}

bool IsEvent(const std::string& name) { return name.rfind("EVENT_", 0) == 0; }

class EventMarksCardTest : public ::testing::TestWithParam<int> {
 protected:
  static void SetUpTestSuite() {
    dir_ = std::make_unique<roadeye_test::TempDir>("marks");
    // Jolts at chosen seconds in every kind, the first and last seconds included.
    jolted_ = std::make_unique<ReadCard>(
        WriteAndRead(dir_->str() + "/jolted",
                     "--seconds 12 --count 1 --kinds REC,EVENT,PARKING --jolts 0,3,6,11"));
    // The card tool's own choice: an event recording's jolt in its middle second, none elsewhere.
    plain_ = std::make_unique<ReadCard>(
        WriteAndRead(dir_->str() + "/plain", "--seconds 9 --count 1 --kinds REC,EVENT"));
    // Minutes of driving without a collision: braking for lights, pulling away, turns.
    driving_ = std::make_unique<ReadCard>(WriteAndRead(
        dir_->str() + "/driving", "--seconds 90 --count 3 --kinds REC,PARKING --seed 7"));
    silent_ = std::make_unique<ReadCard>(WriteAndRead(
        dir_->str() + "/silent", "--seconds 6 --count 1 --kinds EVENT,REC --no-gsensor"));
  }
  static void TearDownTestSuite() {
    jolted_.reset();
    plain_.reset();
    driving_.reset();
    silent_.reset();
    dir_.reset();
  }

  static void ExpectRead(const ReadCard& card) { ASSERT_TRUE(card.error.empty()) << card.error; }

  static std::unique_ptr<roadeye_test::TempDir> dir_;
  static std::unique_ptr<ReadCard> jolted_, plain_, driving_, silent_;
};

std::unique_ptr<roadeye_test::TempDir> EventMarksCardTest::dir_;
std::unique_ptr<ReadCard> EventMarksCardTest::jolted_, EventMarksCardTest::plain_,
    EventMarksCardTest::driving_, EventMarksCardTest::silent_;

TEST_P(EventMarksCardTest, MarksExactlyTheJoltedSeconds) {
  ExpectRead(*jolted_);
  ASSERT_EQ(jolted_->samples.size(), 3u);
  for (const auto& [name, samples] : jolted_->samples) {
    ASSERT_EQ(samples.size(), 120u) << name;
    const EventMarks marks = FindEventMarks(samples, GetParam(), IsEvent(name));
    EXPECT_EQ(marks.markSeconds, (std::vector<int>{0, 3, 6, 11})) << name;
    // Every jolt is as strong as the others: the first is the trigger.
    EXPECT_EQ(marks.triggerSecond, IsEvent(name) ? 0 : -1) << name;
  }
}

TEST_P(EventMarksCardTest, AnEventRecordingTriggersInItsMiddleSecond) {
  ExpectRead(*plain_);
  ASSERT_EQ(plain_->samples.size(), 2u);
  for (const auto& [name, samples] : plain_->samples) {
    const EventMarks marks = FindEventMarks(samples, GetParam(), IsEvent(name));
    if (IsEvent(name)) {
      EXPECT_EQ(marks.markSeconds, std::vector<int>{4}) << name;  // sample 9 * 10 / 2 = 45
      EXPECT_EQ(marks.triggerSecond, 4) << name;
    } else {
      EXPECT_TRUE(marks.markSeconds.empty()) << name;
      EXPECT_EQ(marks.triggerSecond, -1) << name;
    }
  }
}

TEST_P(EventMarksCardTest, OrdinaryDrivingAndParkingNeverMark) {
  ExpectRead(*driving_);
  ASSERT_EQ(driving_->samples.size(), 6u);
  for (const auto& [name, samples] : driving_->samples) {
    ASSERT_EQ(samples.size(), 900u) << name;
    EXPECT_TRUE(FindEventMarks(samples, GetParam(), false).markSeconds.empty()) << name;
    // The drive does brake, pull away and turn: a quarter g (10 counts) and more at times.
    if (name.rfind("REC_", 0) == 0) {
      int strongest = 0;
      for (const auto& [ms, a] : samples)
        strongest = std::max({strongest, std::abs(a.x), std::abs(a.y)});
      EXPECT_GE(strongest, 10) << name;
    }
  }
}

TEST_P(EventMarksCardTest, RecordingsWithoutSamplesHaveNoMarksAndNoTrigger) {
  ExpectRead(*silent_);
  ASSERT_EQ(silent_->samples.size(), 2u);
  for (const auto& [name, samples] : silent_->samples) {
    EXPECT_TRUE(samples.empty()) << name;
    const EventMarks marks = FindEventMarks(samples, GetParam(), true);
    EXPECT_TRUE(marks.markSeconds.empty()) << name;
    EXPECT_EQ(marks.triggerSecond, -1) << name;
  }
}

INSTANTIATE_TEST_SUITE_P(AccLevels, EventMarksCardTest, ::testing::ValuesIn(kLevels),
                         [](const auto& info) { return "acc_level" + std::to_string(info.param); });

// ---- Made-up samples ---------------------------------------------------------------------------

// A sample from its three axis values (each 128 - byte).
CGSensorData Axes(int x, int y, int z) {
  return CGSensorData(std::uint8_t(128 - x), std::uint8_t(128 - y), std::uint8_t(128 - z));
}

// `seconds` of samples ten a second, sample k being at(k).
Samples Made(int seconds, const std::function<CGSensorData(int)>& at) {
  Samples s;
  for (int k = 0; k < seconds * 10; ++k) s.emplace_back(k * 100, at(k));
  return s;
}

struct MadeCase {
  const char* name;
  Samples samples;
  bool event;
  // Expected marks at acc_level 1, 3 and 5.
  std::vector<int> marks[3];
  int trigger;  // the same at every level unless the jump's mark differs
};

std::vector<MadeCase> MadeCases() {
  const CGSensorData rest = Axes(0, 0, 0);
  return {
      // One sample of 2.2 g sideways: under the least sensitive level's 3 g.
      {"LoneSpike",
       Made(6, [&](int k) { return k == 23 ? Axes(88, 0, 0) : rest; }),
       true,
       {{}, {2}, {2}},
       2},
      // The spike's fall lands in the next second: one jolt, one mark at its first second.
      {"SpikeOverASecondsEnd",
       Made(6, [&](int k) { return k == 29 ? Axes(0, -90, 0) : rest; }),
       true,
       {{}, {2}, {2}},
       2},
      // A step of 128 counts held to the end: one mark where it starts, none while it holds.
      {"HeldStep",
       Made(8, [&](int k) { return k >= 50 ? Axes(0, 0, 128) : rest; }),
       false,
       {{5}, {5}, {5}},
       -1},
      // Every axis swinging between the byte limits (0 and 255) all the time: one long jolt.
      {"SaturatedThroughout",
       Made(5, [&](int k) { return k % 2 ? CGSensorData(0, 0, 0) : CGSensorData(255, 255, 255); }),
       true,
       {{0}, {0}, {0}},
       0},
      // The limits once, in the fourth second, after a calm start.
      {"SaturatedOnce",
       Made(6,
            [&](int k) {
              return k == 34 ? CGSensorData(0, 0, 0) : k == 35 ? CGSensorData(255, 255, 255) : rest;
            }),
       true,
       {{3}, {3}, {3}},
       3},
      // Two jolts with a calm second between stay two marks; the stronger one is the trigger.
      {"TwoJoltsTheSecondStronger",
       Made(8,
            [&](int k) { return k == 21   ? Axes(0, 125, 0)
                                : k == 41 ? Axes(-127, 128, 0)
                                          : rest; }),
       true,
       {{2, 4}, {2, 4}, {2, 4}},
       4},
      // The strongest jump late in a jolt that began the second before: the trigger is the
      // mark's second.
      {"StrongestJumpInsideAJolt",
       Made(8, [&](int k) { return k == 38   ? Axes(70, 0, 0)
                                   : k == 41 ? Axes(-127, 0, 0)
                                             : rest; }),
       true,
       {{4}, {3}, {3}},
       3},
  };
}

class MadeSamplesTest : public ::testing::TestWithParam<MadeCase> {};

TEST_P(MadeSamplesTest, MarksAndTriggerAtEveryLevel) {
  const MadeCase& c = GetParam();
  for (int i = 0; i < 3; ++i) {
    const EventMarks marks = FindEventMarks(c.samples, kLevels[i], c.event);
    EXPECT_EQ(marks.markSeconds, c.marks[i]) << "acc_level " << kLevels[i];
  }
  // At the most sensitive level every jump above is marked, and the trigger sits on a mark.
  EXPECT_EQ(FindEventMarks(c.samples, 5, c.event).triggerSecond, c.trigger);
}

INSTANTIATE_TEST_SUITE_P(Cases, MadeSamplesTest, ::testing::ValuesIn(MadeCases()),
                         [](const auto& info) { return std::string(info.param.name); });

// A jump of exactly the threshold is not marked; one count more is, whichever axes carry it.
class ThresholdTest : public ::testing::TestWithParam<int> {};

TEST_P(ThresholdTest, OnlyAJumpOverTheThresholdMarks) {
  const int level = GetParam();
  const int t = EventJumpThreshold(level);
  auto stepAt3 = [](CGSensorData to) {
    return Made(5, [&](int k) { return k >= 30 ? to : Axes(0, 0, 0); });
  };
  EXPECT_TRUE(FindEventMarks(stepAt3(Axes(t, 0, 0)), level, false).markSeconds.empty());
  EXPECT_EQ(FindEventMarks(stepAt3(Axes(0, -(t + 1), 0)), level, false).markSeconds,
            std::vector<int>{3});
  // The vector's length, not one axis: 3-4-5 scaled so that no axis alone reaches the threshold.
  const int s = t / 5 + 1;
  EXPECT_EQ(FindEventMarks(stepAt3(Axes(3 * s, 4 * s, 0)), level, false).markSeconds,
            std::vector<int>{3});
}

INSTANTIATE_TEST_SUITE_P(AccLevels, ThresholdTest, ::testing::ValuesIn(kLevels),
                         [](const auto& info) { return "acc_level" + std::to_string(info.param); });

TEST(EventMarksTest, ThresholdsFallWithSensitivityAndUnknownLevelsTakeTheMiddle) {
  EXPECT_GT(EventJumpThreshold(1), EventJumpThreshold(3));
  EXPECT_GT(EventJumpThreshold(3), EventJumpThreshold(5));
  for (int level : {0, 2, 4, 6, -1, INT_MAX}) {
    EXPECT_EQ(EventJumpThreshold(level), EventJumpThreshold(3)) << level;
  }
}

TEST(EventMarksTest, FewSamplesAndNegativeTimes) {
  const CGSensorData hard(0, 0, 0), rest(128, 128, 128);
  // One sample: nothing to compare it with.
  EXPECT_EQ(FindEventMarks({{500, hard}}, 5, true).triggerSecond, -1);
  // A calm event recording still has a trigger: its strongest (tiny) jump.
  const EventMarks calm =
      FindEventMarks({{0, rest}, {100, rest}, {1200, Axes(3, 0, 0)}, {1300, rest}}, 5, true);
  EXPECT_TRUE(calm.markSeconds.empty());
  EXPECT_EQ(calm.triggerSecond, 1);
  // Samples before the media's start are passed over, the jump they would make included.
  const EventMarks early =
      FindEventMarks({{-300, rest}, {-200, hard}, {-100, rest}, {0, rest}, {100, rest}}, 5, true);
  EXPECT_TRUE(early.markSeconds.empty());
  EXPECT_EQ(early.triggerSecond, 0);
}

// ---- Moving between marks ----------------------------------------------------------------------

struct KeyCase {
  int positionMs;
  int next;
  int previous;
};

class MarkKeysTest : public ::testing::TestWithParam<KeyCase> {};

TEST_P(MarkKeysTest, NextAndPreviousOfMarks2_5_9) {
  const std::vector<int> marks{2, 5, 9};
  const KeyCase& c = GetParam();
  EXPECT_EQ(NextMarkSecond(marks, c.positionMs), c.next) << c.positionMs;
  EXPECT_EQ(PreviousMarkSecond(marks, c.positionMs), c.previous) << c.positionMs;
}

INSTANTIATE_TEST_SUITE_P(
    Positions, MarkKeysTest,
    ::testing::Values(KeyCase{INT_MIN, 2, -1}, KeyCase{-1, 2, -1}, KeyCase{0, 2, -1},
                      KeyCase{1999, 2, -1},
                      // On a mark: "next" leaves it, "previous" goes to the one before.
                      KeyCase{2000, 5, -1}, KeyCase{5000, 9, 2},
                      // Just after a jump to 5 s, playback moved on: 5 is still the current one.
                      KeyCase{5400, 9, 2}, KeyCase{6500, 9, 2},
                      // Further on, "previous" comes back to the mark passed.
                      KeyCase{6501, 9, 5}, KeyCase{8999, 9, 5}, KeyCase{9000, -1, 5},
                      KeyCase{10600, -1, 9}, KeyCase{INT_MAX, -1, 9}));

// Pressing "previous" again and again while playing walks back through every mark.
TEST(EventMarksTest, RepeatedPreviousWhilePlayingWalksBackThroughEveryMark) {
  const std::vector<int> marks{1, 3, 5, 8, 10};
  std::vector<int> visited;
  int positionMs = 12400;
  for (int press = 0; press < 10; ++press) {
    const int second = PreviousMarkSecond(marks, positionMs);
    if (second < 0) break;
    visited.push_back(second);
    positionMs = second * 1000 + 300;  // played on a little before the next press
  }
  EXPECT_EQ(visited, (std::vector<int>{10, 8, 5, 3, 1}));
  std::vector<int> ahead;
  for (int second = NextMarkSecond(marks, 0); second >= 0;
       second = NextMarkSecond(marks, second * 1000 + 300)) {
    ahead.push_back(second);
  }
  EXPECT_EQ(ahead, marks);
  EXPECT_EQ(NextMarkSecond({}, 0), -1);
  EXPECT_EQ(PreviousMarkSecond({}, 100000), -1);
}

}  // namespace
