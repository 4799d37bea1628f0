// roadeye-convert: converts recordings of a card into standard AVI files, the way the viewer's
// download does, from the command line.
//
//   roadeye-convert CARD_DIR DEST_DIR [NAME...]
//
// NAME is a recording's name as the card lists it (REC_20240612_081500_D.avi); without names every
// recording of the card is converted. Each becomes DEST_DIR/NAME. Exit status: 0 when every
// recording was converted, 1 when any failed, 2 for a card or folder that cannot be used.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "media/CVEXParser.h"
#include "media/ConvertRecording.h"
#include "media/FolderDownload.h"
#include "support/Diag.h"
#include "vexlib/vexlib.h"

namespace {

namespace fs = std::filesystem;

// The kinds, in the order the card's listing is walked.
constexpr int kKinds[] = {kVexContinuous, kVexEvent, kVexParking, kVexManual};

void Usage(std::FILE* out) {
  std::fprintf(out,
               "Usage: roadeye-convert [--verbose] CARD_DIR DEST_DIR [NAME...]\n"
               "Converts recordings of the card in CARD_DIR into AVI files in DEST_DIR (made when\n"
               "missing), each named as the card lists it. Without NAME, every recording.\n"
               "  --verbose  also print the reader's and writer's diagnostic lines\n");
}

std::vector<std::string> AllRecordings(VexHandle h, char drive) {
  std::vector<std::string> names;
  for (int kind : kKinds) {
    int n = VexKindCount(h, drive, kind);
    if (n <= 0) continue;
    std::vector<char> listed(std::size_t(n) * kVexNameBytes, 0);
    std::vector<std::uint8_t> sizes(std::size_t(n) * kVexSizeBytes, 0);
    std::vector<int> values(std::size_t(n), 0);
    int got = VexKindList(h, drive, kind, n, listed.data(), sizes.data(), values.data());
    for (int i = 0; i < got && i < n; ++i) {
      const char* name = listed.data() + std::size_t(i) * kVexNameBytes;
      names.emplace_back(name, strnlen(name, kVexNameBytes - 1));
    }
  }
  return names;
}

// Progress on a terminal: the line of the recording being converted, redrawn in place.
struct Progress {
  const std::string* name = nullptr;
  bool tty = false;
  int lastPercent = -1;
};

bool ShowProgress(void* arg, int index, int total) {
  auto* p = static_cast<Progress*>(arg);
  if (!p->tty || total <= 0) return true;
  int percent = int(100LL * (index + 1) / total);
  if (percent != p->lastPercent) {
    p->lastPercent = percent;
    std::printf("\r  %s %3d%%", p->name->c_str(), percent);
    std::fflush(stdout);
  }
  return true;
}

std::uint64_t FileSize(const std::string& path) {
  std::error_code ec;
  auto n = fs::file_size(path, ec);
  return ec ? 0 : std::uint64_t(n);
}

}  // namespace

int main(int argc, char** argv) {
  bool verbose = false;
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      Usage(stdout);
      return 0;
    }
    if (a == "--verbose") {
      verbose = true;
    } else if (a.size() > 1 && a[0] == '-') {
      std::fprintf(stderr, "roadeye-convert: unknown option %s\n", a.c_str());
      Usage(stderr);
      return 2;
    } else {
      args.push_back(a);
    }
  }
  if (args.size() < 2) {
    Usage(stderr);
    return 2;
  }
  // The reader and writer report every packet; the command's own lines are its report.
  if (!verbose) DiagSetOutput(nullptr);

  const std::string cardDir = args[0], destDir = args[1];
  std::error_code ec;
  if (!fs::is_directory(fs::path(cardDir) / "VEX", ec)) {
    std::fprintf(stderr, "roadeye-convert: %s is not a card (no VEX folder)\n", cardDir.c_str());
    return 2;
  }
  fs::create_directories(destDir, ec);
  if (!fs::is_directory(destDir, ec)) {
    std::fprintf(stderr, "roadeye-convert: cannot create the folder %s\n", destDir.c_str());
    return 2;
  }

  VexLibrary lib;
  VexInitialise(lib.get(), cardDir.c_str());
  char drive = 0;
  VexCardPoll(lib.get(), &drive);
  if (drive == 0) {
    std::fprintf(stderr, "roadeye-convert: the card library does not see %s as a card\n",
                 cardDir.c_str());
    return 2;
  }
  VexCardAttach(lib.get());

  std::vector<std::string> names(args.begin() + 2, args.end());
  if (names.empty()) names = AllRecordings(lib.get(), drive);
  if (names.empty()) {
    std::printf("No recordings on the card.\n");
    return 0;
  }

  CVEXParser parser;
  parser.SetLibraryHandle(lib.get());
  parser.Start();
  bool tty = isatty(fileno(stdout)) != 0;
  int converted = 0, failed = 0;
  std::uint64_t bytesOut = 0;
  auto started = std::chrono::steady_clock::now();
  std::atomic<int> busy{1};
  for (const std::string& name : names) {
    Progress progress{&name, tty, -1};
    // Each file is written beside its place and takes its name only when complete.
    const DownloadOutcome outcome =
        ConvertToFolder(&parser, destDir, name, &ShowProgress, &progress, &busy);
    if (tty) std::printf("\r");
    if (outcome.result == kConvertDone) {
      const std::uint64_t out = FileSize(outcome.path);
      ++converted;
      bytesOut += out;
      std::printf("  %s -> %s (%.1f MB)\n", name.c_str(), outcome.path.c_str(), double(out) / 1e6);
    } else {
      ++failed;
      std::printf("  %s: %s; no file made\n", name.c_str(), outcome.reason.c_str());
    }
    std::fflush(stdout);
  }
  parser.Stop();
  double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::printf("%d converted, %d failed; %.1f MB written in %.2f s\n", converted, failed,
              double(bytesOut) / 1e6, seconds);
  return failed == 0 ? 0 : 1;
}
