// SPDX-License-Identifier: GPL-3.0-or-later
// How long writing a snapshot takes: one 1920x1080 picture decoded from a front stream written by
// roadeye-mkcard (the same picture a snapshot of that recording saves), written as a JPEG file.
//
//   roadeye-jpeg_bench [--card DIR] [google benchmark flags]
//
// Without --card a 2-second 1920x1080 card is written into the temporary folder first (kept for
// the next run). With --card, the first recording's front stream is used; its picture 15 (half a
// second in, between two key pictures) is the one measured.
//
// The card tool's scene is flat colour and compresses far better than a real road, so each row
// also runs on a "grainy" copy: the same picture with fixed pseudo-random noise of up to +-12 per
// sample, which gives the encoder the fine detail of a real camera picture.
//
// Rows: SaveImage (CLumImgBase::SaveImage to a file in the temporary folder, what a snapshot
// costs: encoding, writing a temporary file, flushing it to the disk and renaming it into place),
// EncodeJpeg/qN (CLumImgBase::EncodeJpeg into memory at quality N, 4:2:0) and Subsampling444/qN
// (TurboJPEG on the same pixels with 4:4:4 chroma, the alternative EncodeJpeg does not take). Each
// row's bytes counter is the size of the JPEG it makes.
extern "C" {
#include <libavutil/log.h>
}

#include <benchmark/benchmark.h>
#include <turbojpeg.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "bench/BenchCard.h"
#include "playback/CFFMH264_Decoder.h"
#include "support/LumImg.h"
#include "vexlib/PicturePackets.h"
#include "vexlib/vexlib.h"

namespace fs = std::filesystem;

namespace {

using Image = CLumImgTempl<unsigned char, 8>;

constexpr int kPicture = 15;

Image gPicture;
Image gGrainy;
fs::path gWork;

bool WriteCard(const std::string& tool, const fs::path& dir) {
  if (fs::exists(dir / "VEX")) return true;
  const std::string cmd = "'" + tool + "' '" + dir.string() +
                          "' --seconds 2 --count 1 --kinds REC --rear no --no-damaged --front "
                          "1920x1080 > /dev/null";
  return std::system(cmd.c_str()) == 0;
}

// Reads the first recording's front packets through the card library and decodes them up to
// picture kPicture, which it converts to BGR at the picture's own size.
bool DecodePicture(const fs::path& card) {
  std::string stem;
  for (const auto& entry : fs::directory_iterator(card / "VEX")) {
    if (entry.path().extension() == ".vex") {
      stem = entry.path().stem().string();
      break;
    }
  }
  if (stem.empty()) return false;
  VexHandle lib = VexStart();
  VexInitialise(lib, card.c_str());
  char drive = 0;
  VexCardPoll(lib, &drive);
  VexCardAttach(lib);
  const int kind = stem.rfind("EVENT", 0) == 0     ? kVexEvent
                   : stem.rfind("PARKING", 0) == 0 ? kVexParking
                   : stem.rfind("MANUAL", 0) == 0  ? kVexManual
                                                   : kVexContinuous;
  const int id = VexSelectByName(lib, kind, (stem + ".avi").c_str());
  bool ok = id >= 0 && VexOpenStream(lib, kind, 0, id);
  CFFMH264_Decoder decoder;
  ok = ok && decoder.Init();
  int pictures = 0;
  if (ok) {
    vex::ForEachPicturePacket(lib, [&](int channel, const char* data, int size) {
      if (channel != 0) return true;
      if (!decoder.Decode(data, size)) ok = false;
      ++pictures;
      return ok && pictures <= kPicture;
    });
  }
  VexRelease(lib);
  if (!ok || pictures <= kPicture) return false;
  int width = 0, height = 0;
  decoder.GetPictureSize(&width, &height);
  if (!gPicture.Allocate(width, height, 3)) return false;
  const IplView view = gPicture.Ipl();
  return decoder.Convert(view.imageData, view.widthStep, view.width, view.height);
}

// gPicture with noise of up to +-12 per sample, the same on every run.
void MakeGrainy() {
  gGrainy.AssignCopy(gPicture);
  std::uint32_t seed = 12345;
  for (int y = 0; y < gGrainy.Height(); ++y) {
    unsigned char* row = gGrainy.Row(y);
    for (int x = 0; x < gGrainy.Width() * gGrainy.Channels(); ++x) {
      seed = seed * 1664525u + 1013904223u;
      const int v = int(row[x]) + int(seed >> 24) % 25 - 12;
      row[x] = static_cast<unsigned char>(v < 0 ? 0 : v > 255 ? 255 : v);
    }
  }
}

void SaveImage(benchmark::State& state, const Image* picture) {
  const std::string path = (gWork / "snapshot.jpg").string();
  for (auto _ : state) {
    if (!picture->SaveImage(path.c_str())) {
      state.SkipWithError("the picture was not written");
      return;
    }
  }
  std::error_code ec;
  state.counters["bytes"] = double(fs::file_size(path, ec));
}

void EncodeJpeg(benchmark::State& state, const Image* picture, int quality) {
  std::vector<unsigned char> jpeg;
  for (auto _ : state) {
    if (!picture->EncodeJpeg(&jpeg, quality)) {
      state.SkipWithError("the picture was not encoded");
      return;
    }
  }
  state.counters["bytes"] = double(jpeg.size());
}

void Subsampling444(benchmark::State& state, const Image* picture, int quality) {
  const IplView view = picture->Ipl();
  tjhandle encoder = tjInitCompress();
  unsigned long size = 0;
  for (auto _ : state) {
    unsigned char* jpeg = nullptr;
    if (encoder == nullptr ||
        tjCompress2(encoder, view.imageData, view.width, view.widthStep, view.height, TJPF_BGR,
                    &jpeg, &size, TJSAMP_444, quality, 0) != 0) {
      tjFree(jpeg);
      state.SkipWithError("the picture was not encoded");
      break;
    }
    tjFree(jpeg);
  }
  if (encoder != nullptr) tjDestroy(encoder);
  state.counters["bytes"] = double(size);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<char*> rest;
  std::string card = bench::TakeCardOption(argc, argv, &rest);
  av_log_set_level(AV_LOG_ERROR);
  gWork = fs::temp_directory_path() / "roadeye-bench-jpeg";
  std::error_code ec;
  fs::create_directories(gWork, ec);
  if (card.empty()) {
    const std::string tool = (fs::path(argv[0]).parent_path() / "roadeye-mkcard").string();
    card = (gWork / "card-1080").string();
    if (!WriteCard(tool, card)) {
      std::fprintf(stderr, "could not write a card into %s\n", card.c_str());
      return 1;
    }
  }
  if (!DecodePicture(card)) {
    std::fprintf(stderr, "no picture %d decoded from %s\n", kPicture, card.c_str());
    return 1;
  }
  MakeGrainy();
  std::printf("picture %d: %dx%d\n", kPicture, gPicture.Width(), gPicture.Height());
  const std::string size =
      std::to_string(gPicture.Width()) + "x" + std::to_string(gPicture.Height());
  for (const auto& [label, picture] :
       {std::pair{size, &gPicture}, std::pair{size + "/grainy", &gGrainy}}) {
    benchmark::RegisterBenchmark(("SaveImage/" + label).c_str(), SaveImage, picture)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime()
        ->MinTime(2.0);
    for (const int quality : {90, 95}) {
      const std::string q = "/q" + std::to_string(quality) + "/";
      benchmark::RegisterBenchmark(("EncodeJpeg" + q + label).c_str(), EncodeJpeg, picture, quality)
          ->Unit(benchmark::kMillisecond)
          ->UseRealTime()
          ->MinTime(2.0);
      benchmark::RegisterBenchmark(("Subsampling444" + q + label).c_str(), Subsampling444, picture,
                                   quality)
          ->Unit(benchmark::kMillisecond)
          ->UseRealTime()
          ->MinTime(2.0);
    }
  }
  int n = int(rest.size());
  benchmark::Initialize(&n, rest.data());
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
