// SPDX-License-Identifier: GPL-3.0-or-later
// Other camera families' recordings taken away (export/FamilyDownload.h, the family clips of
// export/ClipExport.h), from cards written by roadeye-mkcard and checked by outside readers: the
// download's copies are the card's bytes (sha256sum) and land under names a user can tell apart;
// a stop leaves nothing. A clip is one MP4 file that ffprobe reads without a word and ffmpeg
// decodes, holding every camera's pictures (H.265 tagged hvc1) and the sound, starting at time 0
// on a key picture, its front pictures the card's own packets; its checksum list passes
// `sha256sum -c` and names the card's files.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "cards/CardListing.h"
#include "export/ClipExport.h"
#include "export/FamilyDownload.h"
#include "support/testing/Command.h"
#include "support/testing/TempDir.h"

namespace {

namespace fs = std::filesystem;

using roadeye_test::BinDir;
using roadeye_test::HaveProgram;
using roadeye_test::Quote;
using Ran = roadeye_test::CommandResult;

Ran Shell(const std::string& command) { return roadeye_test::RunCommand(command, true); }

struct CardCase {
  const char* label;
  const char* options;  // roadeye-mkcard's
  const char* codec;    // the pictures' codec as ffprobe names it
  bool sound;
  bool gps;                            // the family's own GPS data is in or beside its files
  const char* rearStart = "0.000000";  // the clip's rear pictures' first time (ffprobe's)
};

// Two of them have a rear camera that starts 400 ms late, in an MP4 file and in a transport stream.
const CardCase kCards[] = {
    {"novatek", "--family novatek", "h264", true, true},
    {"blackvue_h265", "--family blackvue --codec h265 --rear-late 400", "hevc", true, true,
     "0.400000"},
    {"novatek_ts", "--family novatek --container ts --rear-late 400", "h264", true, true,
     "0.400000"},
    {"generic_ts_h265", "--family generic --container ts --codec h265", "hevc", true, false},
    {"tesla", "--family tesla", "h264", false, true},
};

// The cards, written once for every test.
class Cards {
 public:
  static Cards& Get() {
    static Cards cards;
    return cards;
  }
  std::string Root(const CardCase& c) const { return dir_.str() + "/" + c.label; }
  const std::string& Failure() const { return failure_; }

 private:
  Cards() : dir_("family-cards") {
    for (const CardCase& c : kCards) {
      const Ran r =
          Shell(Quote(BinDir() + "/roadeye-mkcard") + " " + Quote(Root(c)) + " " + c.options +
                " --seconds 4 --count 1 --rear yes --no-damaged --front 320x180"
                " --rear-size 160x96");
      if (r.exitCode != 0) failure_ += std::string(c.label) + ": " + r.out;
    }
  }
  roadeye_test::TempDir dir_;
  std::string failure_;
};

bool HaveReaders() {
  return HaveProgram("ffprobe") && HaveProgram("ffmpeg") && HaveProgram("sha256sum");
}

std::string Sha256(const std::string& path) {
  const Ran r = Shell("sha256sum " + Quote(path));
  return r.exitCode == 0 ? r.out.substr(0, 64) : "(" + r.out + ")";
}

// Every file under a folder, relative to it, hidden ones included.
std::vector<std::string> FilesUnder(const std::string& folder) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& e : fs::recursive_directory_iterator(folder, ec)) {
    if (e.is_regular_file()) names.push_back(fs::relative(e.path(), folder).string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<cards::CardRecording> Listed(const std::string& root) {
  return cards::ScanCard(root).recordings;
}

// ffprobe's word on a file: nothing at all from a clean one, but that it cannot decode a data
// stream (a gpmd track, a transport stream's private stream of GPS records), which it says of
// every camera's file that has one.
void ExpectProbedClean(const std::string& path) {
  const Ran r = Shell("ffprobe -v warning " + Quote(path));
  EXPECT_EQ(r.exitCode, 0) << path;
  std::vector<std::string> undecoded;
  std::istringstream streams(
      Shell("ffprobe -v error -show_entries stream=index,codec_type -of csv=p=0 " + Quote(path))
          .out);
  for (std::string line; std::getline(streams, line);) {
    const std::size_t comma = line.find(',');
    const std::string type = comma == std::string::npos ? "" : line.substr(comma + 1);
    if (type == "data" || type == "unknown") undecoded.push_back(line.substr(0, comma));
  }
  std::string said;
  bool dropped = false;
  std::istringstream lines(r.out);
  for (std::string line; std::getline(lines, line);) {
    bool about = dropped && line.starts_with("Consider increasing");
    for (const std::string& index : undecoded) {
      about = about || line.ends_with("for input stream " + index) ||
              line.find("for stream " + index + " (") != std::string::npos;
    }
    dropped = about;
    if (!about) said += line + "\n";
  }
  EXPECT_EQ(said, "") << path;
}

// Entries of each stream ("stream=codec_type" ...), as ffprobe gives them, one line each.
std::vector<std::string> StreamField(const std::string& path, const std::string& entries) {
  const Ran r = Shell("ffprobe -v error -show_entries " + entries + " -of csv=p=0 " + Quote(path));
  std::vector<std::string> lines;
  std::istringstream in(r.out);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

class FamilyCardTest : public ::testing::TestWithParam<CardCase> {
 protected:
  void SetUp() override {
    if (!HaveReaders()) GTEST_SKIP() << "ffprobe, ffmpeg or sha256sum missing";
    ASSERT_EQ(Cards::Get().Failure(), "");
    root_ = Cards::Get().Root(GetParam());
    recordings_ = Listed(root_);
    ASSERT_FALSE(recordings_.empty());
  }
  std::string root_;
  std::vector<cards::CardRecording> recordings_;
  roadeye_test::TempDir out_{"family-out"};
};

TEST_P(FamilyCardTest, DownloadCopiesEveryCameraFileByteForByte) {
  std::atomic<int> busy{1};
  const auto outcomes = CopyFamilyToFolder(root_, recordings_, out_.str(), nullptr, &busy);
  ASSERT_EQ(outcomes.size(), recordings_.size());
  std::size_t expected = 0;
  for (std::size_t i = 0; i < outcomes.size(); ++i) {
    const DownloadOutcome& o = outcomes[i];
    ASSERT_TRUE(o.Made()) << o.name << ": " << o.reason;
    ASSERT_EQ(o.files.size(), recordings_[i].files.size());
    for (std::size_t k = 0; k < o.files.size(); ++k) {
      EXPECT_EQ(Sha256(o.files[k]), Sha256(root_ + "/" + recordings_[i].files[k].path));
      ExpectProbedClean(o.files[k]);
    }
    expected += o.files.size();
  }
  // Nothing else: no temporary file is left beside them.
  EXPECT_EQ(FilesUnder(out_.str()).size(), expected);
}

TEST_P(FamilyCardTest, ClipIsOneMp4OfEveryCameraFromAKeyPicture) {
  const cards::CardRecording& r = recordings_.front();
  ClipRequest request{r.name, 1500, 3200, out_.str(), {}};
  const ClipOutcome o = ExportFamilyClip(root_, r, request, nullptr, nullptr, nullptr);
  ASSERT_EQ(o.result, kClipDone) << o.reason;
  ASSERT_EQ(o.files.size(), 4u);
  const std::string mp4 = o.files[0];
  EXPECT_EQ(fs::path(mp4).extension(), ".mp4");
  ExpectProbedClean(mp4);
  EXPECT_EQ(Shell("ffmpeg -v warning -i " + Quote(mp4) + " -f null -").out, "");

  // A picture stream per camera in camera order, the sound after them.
  std::vector<std::string> types = StreamField(mp4, "stream=codec_type");
  std::vector<std::string> wanted(r.files.size(), "video");
  if (GetParam().sound) wanted.push_back("audio");
  EXPECT_EQ(types, wanted);
  const std::vector<std::string> codecs = StreamField(mp4, "stream=codec_name,codec_tag_string");
  for (std::size_t i = 0; i < r.files.size() && i < codecs.size(); ++i) {
    const std::string codec = GetParam().codec;
    EXPECT_EQ(codecs[i], codec + "," + (codec == "hevc" ? "hvc1" : "avc1"));
  }
  const std::vector<std::string> handlers = StreamField(mp4, "stream_tags=handler_name");
  for (std::size_t i = 0; i < r.files.size() && i < handlers.size(); ++i) {
    EXPECT_EQ(handlers[i], r.files[i].camera);
  }

  // It starts at 0 on a key picture at or before the start asked for, and ends by the end asked.
  EXPECT_LE(o.span.startMs, request.fromMs);
  EXPECT_LE(o.span.endMs, request.toMs + 100);
  const Ran first = Shell(
      "ffprobe -v error -select_streams v:0 -read_intervals %+#1 "
      "-show_entries packet=pts_time,flags -of csv=p=0 " +
      Quote(mp4));
  EXPECT_EQ(first.out, "0.000000,K_\n");
  // The rear camera's key picture at or before the start is its own, as late as it was taken.
  if (r.files.size() > 1) {
    const Ran rear = Shell(
        "ffprobe -v error -select_streams v:1 -read_intervals %+#1 "
        "-show_entries packet=pts_time -of csv=p=0 " +
        Quote(mp4));
    EXPECT_EQ(rear.out, std::string(GetParam().rearStart) + "\n");
  }
  const Ran start =
      Shell("ffprobe -v error -show_entries format=start_time -of csv=p=0 " + Quote(mp4));
  EXPECT_EQ(start.out, "0.000000\n");

  // Its track is the span's fixes from the camera's own data, as gpsbabel reads them: at least
  // one a second (Tesla's come with every picture), in time order; a camera without GPS data
  // gives a track without points.
  EXPECT_EQ(fs::path(o.files[1]).extension(), ".gpx");
  if (GetParam().gps) {
    EXPECT_GE(o.gpsPoints, (o.span.endMs - o.span.startMs) / 1000 - 1);
  } else {
    EXPECT_EQ(o.gpsPoints, 0);
  }
  if (HaveProgram("gpsbabel")) {
    const Ran read = Shell("TZ=UTC gpsbabel -t -i gpx -f " + Quote(o.files[1]) + " -o unicsv -F -");
    ASSERT_EQ(read.exitCode, 0) << read.out;
    std::istringstream lines(read.out);
    std::vector<std::string> times;  // "YYYY/MM/DD,HH:MM:SS", which sorts as time does
    for (std::string line; std::getline(lines, line);) {
      if (const std::size_t at = line.find(",20"); at != std::string::npos) {
        times.push_back(line.substr(at + 1));
      }
    }
    EXPECT_EQ(int(times.size()), o.gpsPoints) << read.out;
    EXPECT_TRUE(std::is_sorted(times.begin(), times.end())) << read.out;
  }

  // Its checksum list checks the clip and the card's files.
  const Ran check = Shell("cd " + Quote(out_.str()) + " && sha256sum -c " +
                          Quote(fs::path(o.files[3]).filename().string()));
  EXPECT_EQ(check.exitCode, 0) << check.out;
  for (const cards::CameraFile& f : r.files) {
    EXPECT_NE(
        check.out.find(fs::absolute(root_ + "/" + f.path).lexically_normal().string() + ": OK"),
        std::string::npos)
        << check.out;
  }
  EXPECT_EQ(FilesUnder(out_.str()).size(), 4u);
}

INSTANTIATE_TEST_SUITE_P(Families, FamilyCardTest, ::testing::ValuesIn(kCards),
                         [](const auto& info) { return std::string(info.param.label); });

// The packets' data of a file's first picture stream whose times lie in [fromS, toS), by hash:
// times from the stream's first picture (a transport stream's clock starts where it likes), a
// packet's decoding time where it has no presentation time.
std::vector<std::string> PictureHashes(const std::string& path, double fromS, double toS) {
  const Ran r = Shell(
      "ffprobe -v error -select_streams v:0 -show_data_hash SHA256 "
      "-show_entries packet=pts_time,dts_time,data_hash -of csv=p=0 " +
      Quote(path));
  // A packet is its times, then its hash, on one line or (after its side data) on the next.
  std::vector<std::string> hashes;
  std::istringstream in(r.out);
  double first = -1, t = -1;
  for (std::string line; std::getline(in, line);) {
    std::vector<std::string> fields;
    std::istringstream parts(line);
    for (std::string f; std::getline(parts, f, ',');) fields.push_back(f);
    for (std::size_t i = 0; i < fields.size() && i < 2; ++i) {
      char* end = nullptr;
      const double v = std::strtod(fields[i].c_str(), &end);
      if (end != fields[i].c_str()) {
        t = v;
        break;
      }
    }
    if (fields.empty() || !fields.back().starts_with("SHA256:") || t < 0) continue;
    if (first < 0) first = t;
    if (t - first >= fromS - 0.0005 && t - first < toS - 0.0005) hashes.push_back(fields.back());
    t = -1;
  }
  return hashes;
}

class FamilyExportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!HaveReaders()) GTEST_SKIP() << "ffprobe, ffmpeg or sha256sum missing";
    ASSERT_EQ(Cards::Get().Failure(), "");
  }
  roadeye_test::TempDir out_{"family-out"};
};

TEST_F(FamilyExportTest, ClipCopiesTheFrontCamerasOwnPacketsOfTheSpan) {
  const std::string root = Cards::Get().Root(kCards[0]);
  const cards::CardRecording r = Listed(root).front();
  const ClipOutcome o =
      ExportFamilyClip(root, r, {r.name, 1200, 2900, out_.str(), {}}, nullptr, nullptr, nullptr);
  ASSERT_EQ(o.result, kClipDone) << o.reason;
  const std::vector<std::string> clip = PictureHashes(o.files[0], 0, 1e9);
  const std::vector<std::string> card =
      PictureHashes(root + "/" + r.files.front().path, o.span.startMs / 1000.0, 2.9);
  ASSERT_FALSE(card.empty());
  EXPECT_EQ(clip, card);
}

// A trip's clip across a join, from an MP4 card with two cameras in H.265 and from a transport
// stream's (whose sound loses its ADTS headers part by part): one file that plays through, the
// front camera's own packets of both spans in order with times rising across the join, and a
// checksum list naming both recordings' files.
TEST_F(FamilyExportTest, AClipAcrossAJoinHoldsBothRecordingsPacketsInOrder) {
  for (const CardCase& c : {kCards[1], kCards[2]}) {
    SCOPED_TRACE(c.label);
    const std::string root = Cards::Get().Root(c);
    const std::vector<cards::CardRecording> listed = Listed(root);
    ASSERT_GE(listed.size(), 2u);
    const std::vector<cards::CardRecording> both(listed.begin(), listed.begin() + 2);
    const std::string out = out_.str() + "/" + c.label;
    fs::create_directories(out);
    const ClipOutcome o = ExportFamilyClip(
        root, both, {both[0].name, 2500, 1500, out, {both[1].name}}, nullptr, nullptr, nullptr);
    ASSERT_EQ(o.result, kClipDone) << o.reason;
    ExpectProbedClean(o.files[0]);
    EXPECT_EQ(Shell("ffmpeg -v warning -i " + Quote(o.files[0]) + " -f null -").out, "");

    std::vector<std::string> card =
        PictureHashes(root + "/" + both[0].files.front().path, o.span.startMs / 1000.0, 1e9);
    const std::vector<std::string> second =
        PictureHashes(root + "/" + both[1].files.front().path, 0, 1.5);
    ASSERT_FALSE(second.empty());
    card.insert(card.end(), second.begin(), second.end());
    // MP4 keeps the camera's packets as they are; H.264 from a transport stream changes its
    // start codes for lengths on the way, so that only their number can be compared.
    const std::vector<std::string> clip = PictureHashes(o.files[0], 0, 1e9);
    if (std::string(c.label).ends_with("_ts")) {
      EXPECT_EQ(clip.size(), card.size());
    } else {
      EXPECT_EQ(clip, card);
    }
    std::vector<double> times;
    std::istringstream lines(
        Shell("ffprobe -v error -select_streams v:0 -show_entries packet=pts_time -of csv=p=0 " +
              Quote(o.files[0]))
            .out);
    for (std::string line; std::getline(lines, line);) {
      char* end = nullptr;
      times.push_back(std::strtod(line.c_str(), &end));
      EXPECT_NE(end, line.c_str()) << "no time in " << line;
    }
    std::sort(times.begin(), times.end());
    for (std::size_t i = 1; i < times.size(); ++i) {
      EXPECT_GT(times[i], times[i - 1]);
      EXPECT_LT(times[i] - times[i - 1], 0.1) << "at " << times[i - 1];
    }
    EXPECT_NEAR(times.back(), (o.span.endMs - o.span.startMs) / 1000.0, 0.1);

    const Ran check = Shell("cd " + Quote(out) + " && sha256sum -c " +
                            Quote(fs::path(o.files[3]).filename().string()));
    EXPECT_EQ(check.exitCode, 0) << check.out;
    for (const cards::CardRecording& r : both) {
      for (const cards::CameraFile& f : r.files) {
        EXPECT_NE(
            check.out.find(fs::absolute(root + "/" + f.path).lexically_normal().string() + ": OK"),
            std::string::npos)
            << check.out;
      }
    }
    std::ifstream text(o.files[2]);
    const std::string said((std::istreambuf_iterator<char>(text)), {});
    EXPECT_NE(said.find("Then:          " + both[1].name), std::string::npos) << said;
  }
}

// Recordings whose cameras code otherwise (H.264 then H.265) cannot share one file's streams: the
// clip is refused with why, and nothing is left.
TEST_F(FamilyExportTest, AClipJoiningOtherCodingsIsRefusedAndLeavesNothing) {
  cards::CardRecording first = Listed(Cards::Get().Root(kCards[0])).front();
  cards::CardRecording second = Listed(Cards::Get().Root(kCards[1])).front();
  // Both from the folder that holds the two cards.
  for (cards::CameraFile& f : first.files) f.path = std::string(kCards[0].label) + "/" + f.path;
  for (cards::CameraFile& f : second.files) f.path = std::string(kCards[1].label) + "/" + f.path;
  const std::string root = fs::path(Cards::Get().Root(kCards[0])).parent_path().string();
  const ClipOutcome o =
      ExportFamilyClip(root, {first, second}, {first.name, 1000, 1000, out_.str(), {second.name}},
                       nullptr, nullptr, nullptr);
  EXPECT_EQ(o.result, kClipNoRecording);
  EXPECT_NE(o.reason.find("do not code alike"), std::string::npos) << o.reason;
  EXPECT_EQ(FilesUnder(out_.str()), std::vector<std::string>{});
}

TEST_F(FamilyExportTest, ClipOutsideTheRecordingOrStoppedLeavesNothing) {
  const std::string root = Cards::Get().Root(kCards[2]);
  const cards::CardRecording r = Listed(root).front();
  EXPECT_EQ(
      ExportFamilyClip(root, r, {r.name, 60000, 61000, out_.str(), {}}, nullptr, nullptr, nullptr)
          .result,
      kClipBadSpan);
  EXPECT_EQ(
      ExportFamilyClip(root, r, {r.name, 2000, 1000, out_.str(), {}}, nullptr, nullptr, nullptr)
          .result,
      kClipBadSpan);
  // Stopped at its first front picture.
  std::atomic<int> busy{1};
  const auto stop = [](void*, int, int) { return false; };
  EXPECT_EQ(
      ExportFamilyClip(root, r, {r.name, 0, 3000, out_.str(), {}}, stop, nullptr, &busy).result,
      kClipStopped);
  EXPECT_EQ(FilesUnder(out_.str()), std::vector<std::string>{});
}

// Stops the copy when it first hears of bytes.
class StopAtFirstBytes : public VDownloadProgress {
 public:
  void OnRecordingStart(int, int, const std::string&) override {}
  bool OnPicture(int, int) override { return true; }
  bool OnBytes(std::uint64_t done, std::uint64_t total) override {
    EXPECT_LE(done, total);
    return false;
  }
};

TEST_F(FamilyExportTest, StoppedDownloadKeepsNoPartOfTheRecording) {
  const std::string root = Cards::Get().Root(kCards[0]);
  const auto recordings = Listed(root);
  ASSERT_GE(recordings.front().files.size(), 2u);
  StopAtFirstBytes stop;
  std::atomic<int> busy{1};
  const auto outcomes = CopyFamilyToFolder(root, recordings, out_.str(), &stop, &busy);
  ASSERT_EQ(outcomes.size(), 1u);
  EXPECT_FALSE(outcomes[0].Made());
  EXPECT_EQ(outcomes[0].result, kConvertStopped);
  EXPECT_EQ(FilesUnder(out_.str()), std::vector<std::string>{});
}

TEST_F(FamilyExportTest, FilesOfTheSameNameGoIntoTheirClipFoldersNames) {
  // A second saved clip holding files of the same names as the first (a copy of its folder).
  roadeye_test::TempDir card("family-tesla");
  const std::string root = card.str() + "/card";
  fs::copy(Cards::Get().Root(kCards[4]), root, fs::copy_options::recursive);
  const fs::path saved = fs::path(root) / "TeslaCam" / "SavedClips";
  const fs::path clip = fs::directory_iterator(saved)->path();
  fs::copy(clip, saved / "2024-06-12_09-00-00", fs::copy_options::recursive);
  const auto recordings = Listed(root);
  std::atomic<int> busy{1};
  const auto outcomes = CopyFamilyToFolder(root, recordings, out_.str(), nullptr, &busy);
  std::map<std::string, std::string> madeFrom;  // what the folder holds: from which card file
  for (std::size_t i = 0; i < outcomes.size(); ++i) {
    ASSERT_TRUE(outcomes[i].Made()) << outcomes[i].reason;
    for (std::size_t k = 0; k < outcomes[i].files.size(); ++k) {
      madeFrom[fs::relative(outcomes[i].files[k], out_.str()).string()] =
          recordings[i].files[k].path;
    }
  }
  EXPECT_EQ(madeFrom.size(), FilesUnder(out_.str()).size());
  for (const auto& [made, from] : madeFrom) {
    const fs::path source(from);
    if (source.parent_path().parent_path().filename() == "SavedClips") {
      // Both saved clips' files: each under its own clip folder's name.
      EXPECT_EQ(made, (source.parent_path().filename() / source.filename()).string());
    } else {
      EXPECT_EQ(made, source.filename().string());
    }
  }
}

TEST_F(FamilyExportTest, DownloadRefusesACardFileThatIsALink) {
  roadeye_test::TempDir card("family-link");
  const std::string root = card.str() + "/card";
  fs::copy(Cards::Get().Root(kCards[0]), root, fs::copy_options::recursive);
  auto recordings = Listed(root);
  ASSERT_FALSE(recordings.empty());
  recordings.resize(1);
  const fs::path file = fs::path(root) / recordings.front().files.back().path;
  fs::remove(file);
  fs::create_symlink("/etc/passwd", file);
  std::atomic<int> busy{1};
  const auto outcomes = CopyFamilyToFolder(root, recordings, out_.str(), nullptr, &busy);
  ASSERT_EQ(outcomes.size(), 1u);
  EXPECT_EQ(outcomes[0].result, kConvertOpenFailed);
  EXPECT_EQ(FilesUnder(out_.str()), std::vector<std::string>{});
}

}  // namespace
