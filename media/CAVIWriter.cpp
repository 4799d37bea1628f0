// SPDX-License-Identifier: GPL-3.0-or-later
#include "media/CAVIWriter.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

#include "support/Diag.h"

namespace {

// The largest RIFF size a 32-bit size field can hold.
constexpr std::int64_t kMaxRiffSize = 0xFFFFFFFFll;

// Bytes the clip needs for each chunk besides its payload: the chunk header and its index entry.
constexpr std::int64_t kPerChunkOverhead = 8 + 16;

// The longest header: two cameras and sound.
constexpr int kMaxHeaderBytes = 12 + (404 + 100 + 4) + 12;

// Index entries written (or read back from the temporary file) per batch.
constexpr int kIndexBatch = 256;

std::uint32_t Clamp32(std::int64_t v) {
  if (v < 0) return 0;
  if (v > kMaxRiffSize) return 0xFFFFFFFFu;
  return std::uint32_t(v);
}

void PutU32(std::uint8_t* p, std::uint32_t v) {
  p[0] = std::uint8_t(v);
  p[1] = std::uint8_t(v >> 8);
  p[2] = std::uint8_t(v >> 16);
  p[3] = std::uint8_t(v >> 24);
}

// Appends little-endian fields and four-character codes to a header buffer.
class HeaderOut {
 public:
  explicit HeaderOut(std::uint8_t* p) : p_(p) {}
  void Tag(const char* fourcc) {
    std::memcpy(p_ + n_, fourcc, 4);
    n_ += 4;
  }
  void U32(std::uint32_t v) {
    PutU32(p_ + n_, v);
    n_ += 4;
  }
  void U16(std::uint32_t v) {
    p_[n_] = std::uint8_t(v);
    p_[n_ + 1] = std::uint8_t(v >> 8);
    n_ += 2;
  }
  int size() const { return n_; }

 private:
  std::uint8_t* p_;
  int n_ = 0;
};

}  // namespace

CAVIWriter::CAVIWriter(VFileSystem* file)
    : file_(file), ownedFile_(file ? nullptr : new (std::nothrow) CFSNormal) {
  if (!file_) file_ = ownedFile_;
  ApplyChunkIds(false);
  // One block of entries, kept for the writer's life; a failure here only means it grows later.
  index_.Reserve(kIndexBlock);
}

bool CAVIWriter::SetFileSystem(VFileSystem* file) {
  if (open_) return false;
  file_ = file ? file : ownedFile_;
  return true;
}

CAVIWriter::~CAVIWriter() {
  if (open_) CloseClip();
  if (spill_) std::fclose(spill_);
  delete ownedFile_;
}

void CAVIWriter::ApplyChunkIds(bool twoCameras) {
  static const char kTwo[4][5] = {"00dc", "01dc", "02wb", "03tx"};
  static const char kOne[4][5] = {"00dc", "00dc", "01wb", "02tx"};
  for (int s = 0; s < 4; ++s) std::memcpy(chunkId_[s], twoCameras ? kTwo[s] : kOne[s], 4);
}

void CAVIWriter::SetVideoSize(int stream, int width, int height) {
  if (stream < 0 || stream > 1) return;
  width_[stream] = width;
  height_[stream] = height;
}

void CAVIWriter::SetFrameRate(int stream, int fps) {
  if (stream < 0 || stream > 1) return;
  frameRate_[stream] = fps;
}

void CAVIWriter::SetAudioRate(int samplesPerSecond) { audioRate_ = samplesPerSecond; }

void CAVIWriter::SetTwoCameras(bool twoCameras) {
  twoCameras_ = twoCameras;
  // An open clip's header length and chunk ids are fixed by the layout it was opened with.
  if (!open_) ApplyChunkIds(twoCameras);
}

bool CAVIWriter::IsOpen() const { return open_; }

int CAVIWriter::IndexEntriesInMemory() const { return index_.GetCount(); }

std::FILE* CAVIWriter::OpenSpillFile() { return std::tmpfile(); }

std::int64_t CAVIWriter::RiffSize() const {
  return headerSize_ + kPerChunkOverhead * chunkCount_ + payloadBytes_ + 28;
}

int CAVIWriter::BuildHeader(std::uint8_t* out, bool provisional) const {
  HeaderOut o(out);
  auto count = [&](int s) { return provisional ? std::int64_t(0) : streamCount_[s]; };
  auto bytes = [&](int s) { return provisional ? std::int64_t(0) : streamBytes_[s]; };
  const std::int64_t frames = provisional ? 0 : chunkCount_;

  o.Tag("RIFF");
  if (provisional) {
    o.Tag("0000");
  } else {
    o.U32(Clamp32(RiffSize()));
  }
  o.Tag("AVI ");

  // Header list and main header.
  o.Tag("LIST");
  o.U32(std::uint32_t(headerSize_ - 4));
  o.Tag("hdrl");
  o.Tag("avih");
  o.U32(56);
  o.U32(0);      // microseconds per frame
  o.U32(0);      // maximum bytes per second
  o.U32(0);      // padding granularity
  o.U32(0x110);  // has an index, interleaved
  o.U32(Clamp32(frames));
  o.U32(0);  // initial frames
  o.U32(4);  // streams, in both layouts
  o.U32(0);  // suggested buffer size
  o.U32(std::uint32_t(width_[0]));
  o.U32(std::uint32_t(height_[0]));
  for (int i = 0; i < 4; ++i) o.U32(0);

  auto video = [&](int s) {
    const std::int64_t n = std::max<std::int64_t>(count(s), 1);
    o.Tag("LIST");
    o.U32(116);
    o.Tag("strl");
    o.Tag("strh");
    o.U32(56);
    o.Tag("vids");
    o.Tag("AVC1");
    o.U32(0);  // flags
    o.U32(0);  // priority and language
    o.U32(0);  // initial frames
    o.U32(1000);
    o.U32(Clamp32(std::int64_t(clipFrameRate_[s]) * 1000));
    o.U32(0);  // start
    o.U32(Clamp32(n));
    o.U32(Clamp32(bytes(s) / n));
    o.U32(0);  // quality
    o.U32(0);  // sample size
    o.U16(0);
    o.U16(0);
    o.U16(std::uint32_t(width_[s]));
    o.U16(std::uint32_t(height_[s]));
    o.Tag("strf");
    o.U32(40);
    o.U32(40);
    o.U32(std::uint32_t(width_[s]));
    o.U32(std::uint32_t(height_[s]));
    o.U16(0);  // planes
    o.U16(0);  // bit count
    o.Tag("AVC1");
    for (int i = 0; i < 5; ++i) o.U32(0);  // image size, resolutions, colours
  };
  video(0);
  if (clipTwoCameras_) video(1);

  if (audio_) {
    const std::uint32_t byteRate = Clamp32(std::int64_t(audioRate_) * 2);
    o.Tag("LIST");
    o.U32(92);
    o.Tag("strl");
    o.Tag("strh");
    o.U32(56);
    o.Tag("auds");
    o.U32(0);  // handler
    o.U32(0);  // flags
    o.U32(0);  // priority and language
    o.U32(0);  // initial frames
    o.U32(2);  // scale
    o.U32(byteRate);
    o.U32(0);  // start
    // The length in samples (scale over rate is one sample): two payload bytes each.
    o.U32(Clamp32(provisional ? 0 : soundBytes_ / 2));
    o.U32(2000);  // suggested buffer size
    o.U32(0);     // quality
    o.U32(2);     // sample size
    o.U32(0);
    o.U32(0);
    o.Tag("strf");
    o.U32(16);
    o.U16(1);  // PCM
    o.U16(1);  // channels
    o.U32(std::uint32_t(audioRate_));
    o.U32(byteRate);
    o.U16(2);   // block alignment
    o.U16(16);  // bits per sample
  }

  {
    const std::int64_t n = std::max<std::int64_t>(count(3), 1);
    o.Tag("LIST");
    o.U32(76);
    o.Tag("strl");
    o.Tag("strh");
    o.U32(56);
    o.Tag("txts");
    o.Tag("XBLB");
    o.U32(0);  // flags
    o.U32(0);  // priority and language
    o.U32(0);  // initial frames
    o.U32(1000);
    o.U32(100000);
    o.U32(0);  // start
    o.U32(Clamp32(n));
    o.U32(Clamp32(bytes(3) / n));
    o.U32(0);  // quality
    o.U32(0);  // sample size
    o.U32(0);
    o.U32(0);
    o.Tag("strf");
    o.U32(0);
  }

  o.Tag("LIST");
  if (provisional) {
    o.Tag("0000");
  } else {
    o.U32(Clamp32(payloadBytes_ + 8 * chunkCount_ + 4));
  }
  o.Tag("movi");
  return o.size();
}

void CAVIWriter::ResetIndex() {
  if (spill_) std::fclose(spill_);
  spill_ = nullptr;
  spilled_ = 0;
  spillFailed_ = false;
  if (index_.GetCapacity() > kIndexBlock) {
    // A clip that had to keep its whole index in memory gives the memory back.
    index_.Release();
    index_.Reserve(kIndexBlock);
  } else {
    index_.SetCount(0);
  }
}

bool CAVIWriter::OpenClip(const char* path) {
  if (open_) {
    DiagPrintf("[CAVIWriter] OpenClip : a clip is already open\n");
    return false;
  }
  if (!file_ || !path || !file_->Open(path, "wb")) return false;

  clipTwoCameras_ = twoCameras_;
  ApplyChunkIds(clipTwoCameras_);
  headerSize_ = (clipTwoCameras_ ? 404 : 280) + (audio_ ? 100 : 0);
  clipFrameRate_[0] = frameRate_[0];
  clipFrameRate_[1] = frameRate_[1];

  ResetIndex();
  payloadBytes_ = 0;
  chunkCount_ = 0;
  nextOffset_ = 4;
  for (int s = 0; s < 4; ++s) {
    streamBytes_[s] = 0;
    streamCount_[s] = 0;
  }
  soundBytes_ = 0;
  broken_ = false;

  std::uint8_t header[kMaxHeaderBytes];
  const int length = BuildHeader(header, true);
  if (file_->Write(header, length) != length) {
    DiagPrintf("[CAVIWriter] OpenClip : write failed\n");
    file_->Close();
    return false;
  }
  open_ = true;
  return true;
}

bool CAVIWriter::PrepareIndexSlot() {
  if (index_.GetCount() >= kIndexBlock && !spillFailed_) {
    if (!spill_) spill_ = OpenSpillFile();
    if (!spill_) {
      spillFailed_ = true;
    } else {
      const std::size_t n = std::size_t(index_.GetCount());
      if (std::fwrite(std::as_const(index_).GetData(), sizeof(_tagData), n, spill_) == n) {
        spilled_ += std::int64_t(n);
        index_.SetCount(0);
      } else {
        // What reached the file before the failure is never read back: only whole blocks
        // counted in spilled_ are. From here on the entries stay in memory.
        spillFailed_ = true;
      }
    }
  }
  return index_.EnsureRoom(1);
}

void CAVIWriter::TakeBack(std::int64_t n) {
  while (n > 0) {
    const std::int64_t step = std::min<std::int64_t>(n, 1 << 30);
    if (file_->Seek(-int(step), SEEK_CUR) != 0) {
      DiagPrintf("[CAVIWriter] AddData : failed chunk cannot be taken back\n");
      broken_ = true;
      return;
    }
    n -= step;
  }
}

bool CAVIWriter::AddData(const void* data, int length, int stream) {
  if (!open_) {
    DiagPrintf("[CAVIWriter] AddData : File is already closed\n");
    return false;
  }
  if (stream < 0 || stream > 3) {
    DiagPrintf("[CAVIWriter] AddData : no stream %d\n", stream);
    return false;
  }
  if (length < 0 || (length > 0 && !data)) {
    DiagPrintf("[CAVIWriter] AddData : invalid payload\n");
    return false;
  }
  if (broken_) {
    DiagPrintf("[CAVIWriter] AddData : clip cannot be finished\n");
    return false;
  }
  const std::int64_t rounded = std::int64_t(length) + (length & 1);
  if (RiffSize() + kPerChunkOverhead + rounded > kMaxRiffSize) {
    DiagPrintf("[CAVIWriter] AddData : clip would pass 4 GiB\n");
    return false;
  }
  if (!PrepareIndexSlot()) {
    DiagPrintf("[CAVIWriter] AddData : out of memory\n");
    return false;
  }

  std::uint8_t chunkHeader[8];
  std::memcpy(chunkHeader, chunkId_[stream], 4);
  PutU32(chunkHeader + 4, std::uint32_t(length));
  const int headerWritten = std::clamp(file_->Write(chunkHeader, 8), 0, 8);
  if (headerWritten != 8) {
    DiagPrintf("[CAVIWriter] AddData : write failed\n");
    TakeBack(headerWritten);
    return false;
  }

  std::int64_t bodyWritten = length > 0 ? std::clamp(file_->Write(data, length), 0, length) : 0;
  if (bodyWritten == length && (length & 1)) {
    static const std::uint8_t kPad = 0;
    bodyWritten += std::clamp(file_->Write(&kPad, 1), 0, 1);
  }
  if (bodyWritten != rounded) {
    DiagPrintf("CAVIWriter::AddDataBody error %lld != %lld\n", static_cast<long long>(bodyWritten),
               static_cast<long long>(rounded));
    // The chunk's bytes are taken back so that the next chunk lands where this one began and
    // every offset in the index stays true.
    TakeBack(8 + bodyWritten);
    return false;
  }

  // Offsets and lengths fit 32 bits (the RIFF size bounds them); the entry keeps those bits.
  index_.Add(_tagData{stream, int(std::uint32_t(nextOffset_)), int(std::uint32_t(rounded))});
  ++streamCount_[stream];
  streamBytes_[stream] += rounded;
  if (stream == 2) soundBytes_ += length;
  payloadBytes_ += rounded;
  ++chunkCount_;
  nextOffset_ += rounded + 8;
  return true;
}

bool CAVIWriter::WriteIndex() {
  std::uint8_t out[kIndexBatch * 16];
  std::memcpy(out, "idx1", 4);
  PutU32(out + 4, Clamp32(16 * chunkCount_));
  if (file_->Write(out, 8) != 8) return false;

  int used = 0;
  bool good = true;
  auto flush = [&]() {
    if (used > 0 && file_->Write(out, used) != used) good = false;
    used = 0;
  };
  auto emit = [&](const _tagData& e) {
    if (e.stream < 0 || e.stream > 3) {
      DiagPrintf("Critical Error !!!!!!!!!!!!!!!!!!!!!!!!!!!!\n");
      // The index would be shorter than its size says: the clip is not finished.
      good = false;
      return;
    }
    std::uint8_t* p = out + used;
    std::memcpy(p, chunkId_[e.stream], 4);
    PutU32(p + 4, 0x10);  // key frame
    PutU32(p + 8, std::uint32_t(e.offset));
    PutU32(p + 12, std::uint32_t(e.length));
    used += 16;
    if (used == int(sizeof out)) flush();
  };

  if (spilled_ > 0) {
    if (std::fseek(spill_, 0, SEEK_SET) != 0) return false;
    _tagData block[kIndexBatch];
    for (std::int64_t left = spilled_; left > 0 && good;) {
      const std::size_t n = std::size_t(std::min<std::int64_t>(left, kIndexBatch));
      if (std::fread(block, sizeof(_tagData), n, spill_) != n) return false;
      for (std::size_t i = 0; i < n; ++i) emit(block[i]);
      left -= std::int64_t(n);
    }
  }
  const _tagData* held = std::as_const(index_).GetData();
  for (int i = 0; i < index_.GetCount() && good; ++i) emit(held[i]);
  flush();
  return good;
}

int CAVIWriter::CloseClip() {
  if (!open_) return 0;
  bool good = !broken_ && WriteIndex();
  if (good) good = file_->Seek(0, SEEK_SET) == 0;
  if (good) {
    std::uint8_t header[kMaxHeaderBytes];
    const int length = BuildHeader(header, false);
    good = file_->Write(header, length) == length;
  }
  // A buffered file reports a failed write only when its buffer goes out; the seek to the end
  // sends it out now, while a failure can still be told.
  if (good) good = file_->Seek(0, SEEK_END) == 0;
  const std::int64_t riff = RiffSize();
  file_->Close();
  open_ = false;
  ResetIndex();
  ApplyChunkIds(twoCameras_);  // a layout chosen while the clip was open takes effect now
  if (!good) {
    DiagPrintf("[CAVIWriter] CloseClip : write failed\n");
    return 0;
  }
  return int(std::uint32_t(riff));
}

namespace {
// Built in static storage on first use and never destroyed: at exit, destructors run in an order
// across files that nothing controls, and the writer must not outlive the diagnostics it uses.
CAVIWriter& ProcessWriter() {
  alignas(CAVIWriter) static unsigned char storage[sizeof(CAVIWriter)];
  static CAVIWriter* writer = new (storage) CAVIWriter;
  return *writer;
}
}  // namespace

int aviClose() { return ProcessWriter().CloseClip(); }

void aviSetVideoSize(int stream, int width, int height) {
  ProcessWriter().SetVideoSize(stream, width, height);
}

void aviSetFrameRate(int stream, int fps) { ProcessWriter().SetFrameRate(stream, fps); }

void aviSetAudioRate(int rate) { ProcessWriter().SetAudioRate(rate); }

void aviSetTwoCameras(bool twoCameras) { ProcessWriter().SetTwoCameras(twoCameras); }

bool aviOpen(const char* path) { return ProcessWriter().OpenClip(path); }

bool aviSetFileSystem(VFileSystem* file) { return ProcessWriter().SetFileSystem(file); }

bool aviAddData(const void* data, int length, int stream) {
  DiagPrintf("aviAddData \n");
  return ProcessWriter().AddData(data, length, stream);
}
