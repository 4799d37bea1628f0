// SPDX-License-Identifier: GPL-3.0-or-later
// Reading other cameras' recordings (cards written by roadeye-mkcard): both cameras' pictures and
// the sound in time order, seeking to key pictures, recordings without sound, and damaged files.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "cards/CardListing.h"
#include "media/CContainerParser.h"
#include "media/CRecordingParser.h"
#include "media/CVEXParser.h"
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

// The first recording of a card, as paths the parser opens.
std::vector<std::string> FirstRecording(const std::string& root) {
  cards::CardScan scan = cards::ScanCard(root);
  std::vector<std::string> paths;
  if (scan.recordings.empty()) return paths;
  for (const cards::CameraFile& f : scan.recordings[0].files) paths.push_back(root + "/" + f.path);
  return paths;
}

struct Packet {
  ChunkKind kind;
  int timeMs;
  int key;
  int size;
  bool startCode;
};

// The pictures and sound; the camera's own records (text) go to *texts when it is given.
std::vector<Packet> ReadAll(CContainerParser& parser, int limit = 100000,
                            std::vector<std::pair<int, std::string>>* texts = nullptr) {
  std::vector<Packet> got;
  std::unique_ptr<char[]> buffer(new char[kPacketBufferSize]);
  for (int i = 0; i < limit; ++i) {
    char tag[8] = {};
    int size = kPacketBufferSize;
    const int r = parser.ReadPacket(tag, buffer.get(), &size);
    if (r < 0) break;
    if (tag[0] == '\0') continue;
    const ChunkKind kind = ClassifyChunkTag(tag);
    if (kind == ChunkKind::kText) {
      if (texts) texts->emplace_back(parser.LastPacketTimeMs(), std::string(buffer.get(), size));
      continue;
    }
    const bool start = size > 4 && buffer[0] == 0 && buffer[1] == 0 &&
                       (buffer[2] == 1 || (buffer[2] == 0 && buffer[3] == 1));
    got.push_back({kind, parser.LastPacketTimeMs(),
                   kind == ChunkKind::kAudio ? -1 : parser.LastPacketKey(), size, start});
  }
  return got;
}

int Count(const std::vector<Packet>& packets, ChunkKind kind) {
  int n = 0;
  for (const Packet& p : packets) n += p.kind == kind ? 1 : 0;
  return n;
}

}  // namespace

TEST(ContainerName, HoldsThePathsAndRefusesALineBreak) {
  const std::string name = ContainerRecordingName({"/card/a F.MP4", "/card/b:R.MP4"});
  EXPECT_TRUE(IsContainerRecordingName(name.c_str()));
  EXPECT_EQ(ContainerRecordingFiles(name.c_str()),
            (std::vector<std::string>{"/card/a F.MP4", "/card/b:R.MP4"}));
  EXPECT_TRUE(ContainerRecordingName({"/card/a\nb.MP4"}).empty());
  EXPECT_FALSE(IsContainerRecordingName("/REC_20240612_081500_D.vex"));
  // More files than a recording plays are not read.
  EXPECT_EQ(ContainerRecordingFiles("files:/a\n/b\n/c").size(), 2u);
}

TEST(ContainerParser, BothCamerasAndTheSoundComeInTimeOrder) {
  TempDir card("container");
  ASSERT_TRUE(MakeCard(card.str(),
                       "--family novatek --kinds REC --count 1 --seconds 3 "
                       "--front 320x180 --rear-size 160x90 --rear yes --no-damaged"));
  const std::vector<std::string> files = FirstRecording(card.str());
  ASSERT_EQ(files.size(), 2u);
  CContainerParser parser;
  ASSERT_TRUE(parser.Start());
  RecordingInfo info;
  ASSERT_EQ(parser.Open(ContainerRecordingName(files).c_str(), &info), 1);
  EXPECT_EQ(info.frontFrameRate, 30);
  EXPECT_EQ(info.frontFrameCount, 90);
  EXPECT_EQ(info.rearFrameCount, 90);
  int size[2];
  parser.GetVideoSize(size, 1);
  EXPECT_EQ(size[0], 160);
  EXPECT_EQ(parser.GetVideoCodec(0), VideoCodec::kH264);
  int bits = 0, rate = 0;
  parser.GetAudioFormat(&bits, &rate);
  EXPECT_EQ(bits, 16);
  EXPECT_GE(rate, CContainerParser::kMinSoundRate);
  EXPECT_TRUE(parser.HasSound());

  std::vector<std::pair<int, std::string>> texts;
  const std::vector<Packet> packets = ReadAll(parser, 100000, &texts);
  EXPECT_EQ(Count(packets, ChunkKind::kFrontVideo), 90);
  EXPECT_EQ(Count(packets, ChunkKind::kRearVideo), 90);
  // The camera's GPS blocks come as the VEX recordings' fix records, one a second in time order.
  ASSERT_EQ(texts.size(), 3u);
  for (std::size_t i = 0; i < texts.size(); ++i) {
    EXPECT_EQ(texts[i].first, int(i) * 1000);
    EXPECT_EQ(texts[i].second.rfind("G$GPRMC,", 0), 0u) << texts[i].second;
  }
  long long soundBytes = 0;
  int lastPicture = -1, keys = 0;
  for (const Packet& p : packets) {
    if (p.kind == ChunkKind::kAudio) {
      soundBytes += p.size;
      EXPECT_LE(p.size, CContainerParser::kSoundBlockBytes);
      // A block is read before the pictures of its time have all gone.
      EXPECT_GE(p.timeMs, lastPicture - 100);
      continue;
    }
    EXPECT_TRUE(p.startCode) << "pictures reach the decoder in start-code form";
    EXPECT_GE(p.timeMs, lastPicture) << "pictures in time order";
    lastPicture = p.timeMs;
    keys += p.kind == ChunkKind::kFrontVideo && p.key == 1 ? 1 : 0;
  }
  ASSERT_FALSE(packets.empty());
  EXPECT_EQ(packets[0].key, 1) << "the recording starts with a key picture";
  EXPECT_EQ(keys, 3) << "one key picture a second";
  // Three seconds of sound, at the rate told.
  EXPECT_NEAR(double(soundBytes) / 2 / rate, 3.0, 0.1);
  EXPECT_FALSE(parser.Damaged());
  parser.Stop();
}

TEST(ContainerParser, SeeksEveryCameraToTheKeyPictureAtOrBefore) {
  TempDir card("container-seek");
  ASSERT_TRUE(MakeCard(card.str(),
                       "--family novatek --container ts --codec h265 --kinds REC --count 1 "
                       "--seconds 4 --front 320x180 --rear-size 160x90 --rear yes --no-damaged"));
  const std::vector<std::string> files = FirstRecording(card.str());
  ASSERT_EQ(files.size(), 2u);
  CContainerParser parser;
  parser.Start();
  RecordingInfo info;
  ASSERT_EQ(parser.Open(ContainerRecordingName(files).c_str(), &info), 1);
  EXPECT_EQ(parser.GetVideoCodec(0), VideoCodec::kH265);
  EXPECT_EQ(parser.GetVideoCodec(1), VideoCodec::kH265);

  const int landed = parser.SeekToKeyMs(2500);
  EXPECT_GE(landed, 1900);
  EXPECT_LE(landed, 2500);
  const std::vector<Packet> after = ReadAll(parser, 400);
  ASSERT_FALSE(after.empty());
  bool frontSeen = false, rearSeen = false;
  for (const Packet& p : after) {
    if (p.kind == ChunkKind::kAudio) {
      EXPECT_GE(p.timeMs, landed) << "no sound from before the picture landed on";
      continue;
    }
    bool& seen = p.kind == ChunkKind::kFrontVideo ? frontSeen : rearSeen;
    if (!seen) {
      EXPECT_EQ(p.key, 1) << "each camera starts again at a key picture";
      if (p.kind == ChunkKind::kFrontVideo) {
        EXPECT_EQ(p.timeMs, landed);
      }
      seen = true;
    }
  }
  EXPECT_TRUE(frontSeen && rearSeen);
  // Back to the start.
  EXPECT_EQ(parser.SeekToKeyMs(0), 0);
  EXPECT_EQ(Count(ReadAll(parser), ChunkKind::kFrontVideo), info.frontFrameCount);
}

TEST(ContainerParser, ARecordingWithoutSoundSaysSo) {
  TempDir card("container-tesla");
  ASSERT_TRUE(MakeCard(card.str(),
                       "--family tesla --kinds REC --count 1 --seconds 2 "
                       "--front 320x240 --rear-size 320x240 --no-damaged"));
  std::vector<std::string> files = FirstRecording(card.str());
  ASSERT_GE(files.size(), 2u);
  files.resize(2);
  CContainerParser parser;
  parser.Start();
  RecordingInfo info;
  ASSERT_EQ(parser.Open(ContainerRecordingName(files).c_str(), &info), 1);
  EXPECT_FALSE(parser.HasSound());
  int bits = 0, rate = -1;
  parser.GetAudioFormat(&bits, &rate);
  EXPECT_EQ(rate, 0);
  const std::vector<Packet> packets = ReadAll(parser);
  EXPECT_EQ(Count(packets, ChunkKind::kAudio), 0);
  EXPECT_EQ(Count(packets, ChunkKind::kFrontVideo), info.frontFrameCount);
}

TEST(ContainerParser, DamagedFilesPlayWhatCanBeReadAndSaySo) {
  TempDir card("container-damaged");
  ASSERT_TRUE(MakeCard(card.str(),
                       "--family novatek --kinds REC --count 1 --seconds 3 "
                       "--front 320x180 --rear-size 160x90 --rear yes --no-damaged"));
  TempDir ts("container-damaged-ts");
  ASSERT_TRUE(MakeCard(ts.str(),
                       "--family novatek --container ts --kinds REC --count 1 "
                       "--seconds 3 --front 320x180 --rear no --no-damaged"));
  std::vector<std::string> files = FirstRecording(card.str());
  ASSERT_EQ(files.size(), 2u);
  const std::vector<std::string> tsFiles = FirstRecording(ts.str());
  ASSERT_EQ(tsFiles.size(), 1u);

  // A front file cut before its index (an MP4 written with the index last, power lost): the rear
  // camera plays alone.
  fs::resize_file(files[0], fs::file_size(files[0]) / 2);
  CContainerParser parser;
  parser.Start();
  RecordingInfo info;
  ASSERT_EQ(parser.Open(ContainerRecordingName(files).c_str(), &info), 1);
  EXPECT_TRUE(parser.Damaged());
  EXPECT_EQ(parser.Cameras(), 1);
  EXPECT_EQ(info.rearFrameRate, 0);
  EXPECT_GT(Count(ReadAll(parser), ChunkKind::kFrontVideo), 0);

  // Neither file opens: no recording.
  fs::resize_file(files[1], 100);
  EXPECT_EQ(parser.Open(ContainerRecordingName(files).c_str(), &info), 0);

  // An MPEG-TS file cut mid-packet plays up to the cut.
  fs::resize_file(tsFiles[0], fs::file_size(tsFiles[0]) / 2 + 77);
  ASSERT_EQ(parser.Open(ContainerRecordingName(tsFiles).c_str(), &info), 1);
  const int pictures = Count(ReadAll(parser), ChunkKind::kFrontVideo);
  EXPECT_GT(pictures, 10);
  EXPECT_LT(pictures, 90);
}

// Sound as other cameras write it, made by ffmpeg: each decoded to 16-bit samples at its own rate
// (within the bounds), two seconds of it, stereo mixed down to one channel.
TEST(ContainerParser, EverySoundCodingPlaysAtItsRate) {
  TempDir dir("container-sound");
  struct Case {
    const char* name;
    const char* options;
    int rate;
  };
  const Case cases[] = {
      {"pcm.mov", "-c:a pcm_s16le -ar 16000 -ac 1", 16000},
      {"adpcm.mov", "-c:a adpcm_ima_qt -ar 22050 -ac 2", 22050},
      {"mp3.mp4", "-c:a libmp3lame -ar 44100 -ac 2", 44100},
      {"aac.ts", "-c:a aac -ar 96000 -ac 2", CContainerParser::kMaxSoundRate},
  };
  for (const Case& c : cases) {
    const std::string file = dir.str() + "/" + c.name;
    const std::string made =
        roadeye_test::RunCommand(
            "ffmpeg -v error -y -f lavfi -i testsrc=size=160x90:rate=15:duration=2 -f lavfi -i "
            "sine=frequency=1000:duration=2:sample_rate=48000 -c:v libx264 -g 15 " +
                std::string(c.options) + " " + Quote(file),
            true)
            .out;
    ASSERT_TRUE(fs::exists(file)) << c.name << ": " << made;
    CContainerParser parser;
    parser.Start();
    RecordingInfo info;
    ASSERT_EQ(parser.Open(ContainerRecordingName({file}).c_str(), &info), 1) << c.name;
    EXPECT_EQ(info.frontFrameRate, 15) << c.name;
    int bits = 0, rate = 0;
    parser.GetAudioFormat(&bits, &rate);
    EXPECT_EQ(rate, c.rate) << c.name;
    long long bytes = 0;
    for (const Packet& p : ReadAll(parser)) bytes += p.kind == ChunkKind::kAudio ? p.size : 0;
    EXPECT_NEAR(double(bytes) / 2 / rate, 2.0, 0.1) << c.name;
  }
}

TEST(RecordingParser, EachNameGoesToItsReader) {
  TempDir card("container-route");
  ASSERT_TRUE(MakeCard(card.str(),
                       "--family generic --kinds REC --count 1 --seconds 1 "
                       "--front 160x90 --rear no --no-damaged"));
  CVEXParser vex;
  CContainerParser container;
  CRecordingParser parser(&vex, &container);
  ASSERT_TRUE(parser.Start());
  RecordingInfo info;
  const std::string name = ContainerRecordingName(FirstRecording(card.str()));
  ASSERT_EQ(parser.Open(name.c_str(), &info), 1);
  EXPECT_TRUE(parser.TimesPictures());
  EXPECT_EQ(container.Cameras(), 1);
  // A VEX name goes to the VEX reader (no card library here: it does not open), and the container
  // reader lets its file go.
  EXPECT_EQ(parser.Open("/REC_20240612_081500_D.vex", &info), 0);
  EXPECT_FALSE(parser.TimesPictures());
  EXPECT_EQ(container.Cameras(), 0);
  parser.Stop();
}
