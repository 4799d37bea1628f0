// SPDX-License-Identifier: GPL-3.0-or-later
// roadeye-vexdump: looks into a card through the card library, the way the viewer does.
//
//   roadeye-vexdump CARD_DIR             lists the card's recordings by kind
//   roadeye-vexdump CARD_DIR NAME OUT    describes one recording and writes its streams to OUT:
//                                        front.h264, rear.h264 (with a rear camera), audio.s16le
//                                        and text.txt (one telemetry record per line)
//
// The .h264 files are plain Annex-B streams and audio.s16le raw 8000 Hz 16-bit mono, so that
// ffprobe, ffmpeg and ffplay can check what the library delivers.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "support/ProgramInfo.h"
#include "vexlib/VexCard.h"
#include "vexlib/vexlib.h"

namespace {

namespace fs = std::filesystem;

// Every packet buffer holds this much, as in the viewer; a larger packet is a read failure.
constexpr int kPacketBuffer = 1048576;
// How many reads in a row may deliver nothing before the dump gives up.
constexpr int kMaxNotYet = 5000;

struct KindName {
  int kind;
  const char* word;
};
// In the order the camera's menus show them.
constexpr KindName kKinds[] = {{kVexContinuous, "REC"},
                               {kVexEvent, "EVENT"},
                               {kVexParking, "PARKING"},
                               {kVexManual, "MANUAL"}};

struct FileClose {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileClose>;

void Usage(std::FILE* out) {
  std::fprintf(out,
               "Usage: roadeye-vexdump CARD_DIR            list the card's recordings\n"
               "       roadeye-vexdump CARD_DIR NAME OUT_DIR\n"
               "           write NAME's streams to OUT_DIR: front.h264, rear.h264, audio.s16le,\n"
               "           text.txt\n"
               "       roadeye-vexdump --version\n");
}

bool IEquals(const std::string& a, const char* b) {
  return a.size() == std::strlen(b) && strncasecmp(a.c_str(), b, a.size()) == 0;
}

// The library kind of a recording name (the card library numbers kinds as its callers do); -1
// when the name is not a recording's.
int KindOfName(const std::string& name) {
  vex::RecordingName parsed;
  return vex::ParseRecordingName(name, true, &parsed) ? parsed.kind : -1;
}

// The library lists recordings under their .avi names; a .vex file name or a bare name is taken
// to mean the same recording.
std::string ListedName(std::string name) {
  std::size_t dot = name.rfind('.');
  if (dot == std::string::npos) return name + ".avi";
  if (IEquals(name.substr(dot), ".vex")) name.replace(dot, std::string::npos, ".avi");
  return name;
}

// A name from the command line is passed to the library only when it cannot name another file.
bool SafeName(const std::string& name) {
  if (name.empty() || name.size() >= std::size_t(kVexNameBytes)) return false;
  if (name.find("..") != std::string::npos) return false;
  for (unsigned char c : name) {
    if (c == '/' || c == '\\' || c < 0x20 || c == 0x7F) return false;
  }
  return true;
}

struct Description {
  std::uint8_t header[kVexHeaderBytes] = {};
  std::uint16_t front = 0, rear = 0;
  char path[kVexPathBytes] = {};
  char text[kVexTextBytes] = {};
  char model[kVexScratchBytes] = {};
};

bool Describe(VexHandle h, const char* name, Description* d) {
  int ok = VexDescribe(h, name, d->header, &d->front, &d->rear, d->path, d->text, d->model);
  d->path[kVexPathBytes - 1] = d->text[kVexTextBytes - 1] = d->model[kVexScratchBytes - 1] = 0;
  return ok != 0 && d->text[0] != 0;
}

unsigned Load16(const std::uint8_t* p) { return unsigned(p[0]) | unsigned(p[1]) << 8; }
unsigned Load32(const std::uint8_t* p) { return Load16(p) | Load16(p + 2) << 16; }

void PrintDescription(const char* name, const Description& d) {
  const std::uint8_t* h = d.header;
  std::printf("%s\n", name);
  std::printf("  front   %ux%u at %u fps, %u pictures\n", Load16(h + 52), Load16(h + 20), h[3],
              unsigned(d.front));
  if (h[4] != 0) {
    std::printf("  rear    %ux%u at %u fps, %u pictures\n", Load16(h + 54), Load16(h + 22), h[4],
                unsigned(d.rear));
  } else {
    std::printf("  rear    none\n");
  }
  std::printf("  sound   %u Hz, %u-bit, %u channel(s)\n", Load32(h + 12), Load16(h + 16),
              Load16(h + 18));
  std::printf("  counts  %s\n", d.text);
  if (d.model[0]) std::printf("  model   %s\n", d.model);
}

// Finds the card: the folder must hold VEX/, and the library must see it as a drive.
bool AttachCard(VexHandle h, const std::string& cardDir, char* drive) {
  std::error_code ec;
  if (!fs::is_directory(cardDir, ec)) {
    std::fprintf(stderr, "roadeye-vexdump: %s is not a folder\n", cardDir.c_str());
    return false;
  }
  if (!fs::is_directory(fs::path(cardDir) / "VEX", ec)) {
    std::fprintf(stderr, "roadeye-vexdump: %s is not a card: it has no VEX folder\n",
                 cardDir.c_str());
    return false;
  }
  VexInitialise(h, cardDir.c_str());
  *drive = 0;
  if (!VexCardPoll(h, drive) || *drive == 0) {
    std::fprintf(stderr, "roadeye-vexdump: the card library does not see a card at %s\n",
                 cardDir.c_str());
    return false;
  }
  VexCardAttach(h);
  return true;
}

int List(const std::string& cardDir) {
  VexLibrary lib;
  char drive = 0;
  if (!AttachCard(lib.get(), cardDir, &drive)) return 1;
  std::printf("Card %s (drive %c)\n", cardDir.c_str(), drive);
  int total = 0;
  for (const KindName& k : kKinds) {
    int n = VexKindCount(lib.get(), drive, k.kind);
    if (n < 0) n = 0;
    std::vector<char> names(std::size_t(n) * kVexNameBytes, 0);
    std::vector<std::uint8_t> sizes(std::size_t(n) * kVexSizeBytes, 0);
    std::vector<int> values(std::size_t(n), 0);
    int m =
        n > 0 ? VexKindList(lib.get(), drive, k.kind, n, names.data(), sizes.data(), values.data())
              : 0;
    m = std::max(0, std::min(m, n));
    std::printf("%s (kind %d): %d recording%s\n", k.word, k.kind, m, m == 1 ? "" : "s");
    for (int i = 0; i < m; ++i) {
      char* name = names.data() + std::size_t(i) * kVexNameBytes;
      name[kVexNameBytes - 1] = 0;
      std::uint64_t size = 0;
      for (int b = kVexSizeBytes - 1; b >= 0; --b) {
        size = size << 8 | sizes[std::size_t(i) * kVexSizeBytes + std::size_t(b)];
      }
      Description d;
      bool usable = Describe(lib.get(), name, &d);
      std::printf("  %-30s %10llu bytes  %s\n", name, static_cast<unsigned long long>(size),
                  usable ? d.text : "(not usable)");
    }
    total += m;
  }
  std::printf("%d recordings\n", total);
  return 0;
}

// One text record as a line: printable characters as they are, anything else as \xNN; the
// record's own CR LF is left out.
std::string TextLine(const std::uint8_t* p, std::size_t n) {
  if (n >= 2 && p[n - 2] == '\r' && p[n - 1] == '\n') n -= 2;
  std::string line;
  for (std::size_t i = 0; i < n; ++i) {
    if (p[i] >= 0x20 && p[i] < 0x7F) {
      line += char(p[i]);
    } else {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\x%02X", p[i]);
      line += esc;
    }
  }
  return line;
}

File OpenOut(const fs::path& path) {
  File f(std::fopen(path.c_str(), "wb"));
  if (!f) {
    std::fprintf(stderr, "roadeye-vexdump: cannot write %s: %s\n", path.c_str(),
                 std::strerror(errno));
  }
  return f;
}

int Dump(const std::string& cardDir, const std::string& given, const std::string& outDir) {
  if (!SafeName(given)) {
    std::fprintf(stderr, "roadeye-vexdump: refusing the recording name \"%s\"\n", given.c_str());
    return 1;
  }
  const std::string name = ListedName(given);
  const int kind = KindOfName(name);
  if (kind < 0 || !SafeName(name)) {
    std::fprintf(stderr,
                 "roadeye-vexdump: %s is not a recording name (KIND_YYYYMMDD_HHMMSS[_D], KIND "
                 "one of REC, EVENT, PARKING, MANUAL)\n",
                 given.c_str());
    return 1;
  }

  VexLibrary lib;
  char drive = 0;
  if (!AttachCard(lib.get(), cardDir, &drive)) return 1;
  Description d;
  if (!Describe(lib.get(), name.c_str(), &d)) {
    std::fprintf(stderr, "roadeye-vexdump: %s: no such usable recording on the card\n",
                 name.c_str());
    return 1;
  }
  PrintDescription(name.c_str(), d);
  const bool hasRear = d.header[4] != 0;

  std::error_code ec;
  fs::create_directories(outDir, ec);
  if (ec || !fs::is_directory(outDir)) {
    std::fprintf(stderr, "roadeye-vexdump: cannot create %s: %s\n", outDir.c_str(),
                 ec ? ec.message().c_str() : "not a folder");
    return 1;
  }
  const fs::path out(outDir);
  File front = OpenOut(out / "front.h264");
  File rear = hasRear ? OpenOut(out / "rear.h264") : nullptr;
  File audio = OpenOut(out / "audio.s16le");
  File text = OpenOut(out / "text.txt");
  if (!front || (hasRear && !rear) || !audio || !text) return 1;

  const int fileId = VexSelectByName(lib.get(), kind, name.c_str());
  if (fileId < 0 || VexOpenStream(lib.get(), kind, 0, fileId) != 1) {
    std::fprintf(stderr, "roadeye-vexdump: the card library cannot open %s for streaming\n",
                 name.c_str());
    return 1;
  }

  std::vector<std::uint8_t> buffer(kPacketBuffer);
  long long frontPictures = 0, frontKeys = 0, rearPictures = 0, rearKeys = 0, strayRear = 0;
  long long audioPackets = 0, audioBytes = 0, gps = 0, gsensor = 0, otherText = 0;
  long long packets = 0;
  int notYet = 0;
  bool writeOk = true;
  int status = kVexReadOk;
  for (;;) {
    std::uint8_t channel = 0, type = 0, flags = 0;
    int size = kPacketBuffer;
    std::int32_t scratch = 0;
    status = VexReadPacket(lib.get(), &channel, &type, &flags, &size, buffer.data(), &scratch);
    // Nothing delivered this time (a block passed over): the next read goes on from there, so
    // it is asked for at once; a run of them longer than any recording's ends the dump.
    if (status == kVexReadNotYet) {
      if (++notYet > kMaxNotYet) break;
      continue;
    }
    if (status != kVexReadOk) break;
    notYet = 0;
    if (size < 0 || size > kPacketBuffer) {
      status = kVexReadFailed;
      break;
    }
    packets++;
    const std::size_t n = std::size_t(size);
    const std::uint8_t* p = buffer.data();
    if (type == 0 || type == 2) {
      bool key = type == 0;
      if (channel == 0) {
        frontPictures++;
        frontKeys += key;
        writeOk = writeOk && std::fwrite(p, 1, n, front.get()) == n;
      } else if (rear) {
        rearPictures++;
        rearKeys += key;
        writeOk = writeOk && std::fwrite(p, 1, n, rear.get()) == n;
      } else {
        strayRear++;
      }
    } else if (type == 1) {
      audioPackets++;
      audioBytes += size;
      writeOk = writeOk && std::fwrite(p, 1, n, audio.get()) == n;
    } else if (type == 3) {
      if (n > 0 && p[0] == 'G') {
        gps++;
      } else if (n > 0 && p[0] == 'M') {
        gsensor++;
      } else {
        otherText++;
      }
      std::string line = TextLine(p, n) + "\n";
      writeOk = writeOk && std::fwrite(line.data(), 1, line.size(), text.get()) == line.size();
    }
  }

  for (File* f : {&front, &rear, &audio, &text}) {
    if (*f && std::fclose(f->release()) != 0) writeOk = false;
  }
  std::printf("Wrote %s\n", outDir.c_str());
  std::printf("  front.h264   %lld pictures, %lld key\n", frontPictures, frontKeys);
  if (hasRear) std::printf("  rear.h264    %lld pictures, %lld key\n", rearPictures, rearKeys);
  if (strayRear)
    std::printf("  (%lld rear pictures in a one-camera recording left out)\n", strayRear);
  std::printf("  audio.s16le  %lld packets, %lld bytes\n", audioPackets, audioBytes);
  std::printf("  text.txt     %lld records: %lld GPS, %lld G-sensor, %lld other\n",
              gps + gsensor + otherText, gps, gsensor, otherText);
  if (!writeOk) {
    std::fprintf(stderr, "roadeye-vexdump: writing to %s failed\n", outDir.c_str());
    return 1;
  }
  if (status == kVexReadNotYet) {
    std::fprintf(stderr,
                 "roadeye-vexdump: the library kept answering \"not yet\" after %lld packets\n",
                 packets);
    return 1;
  }
  if (status != kVexReadEnd) {
    std::fprintf(stderr, "roadeye-vexdump: reading failed after %lld packets (status %d)\n",
                 packets, status);
    return 1;
  }
  std::printf("End of the recording after %lld packets\n", packets);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      Usage(stdout);
      return 0;
    }
    if (std::strcmp(argv[i], "--version") == 0) {
      PrintProgramVersion(stdout, "roadeye-vexdump");
      return 0;
    }
  }
  if (argc == 2) return List(argv[1]);
  if (argc == 4) return Dump(argv[1], argv[2], argv[3]);
  Usage(stderr);
  return 2;
}
