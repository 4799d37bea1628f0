// SPDX-License-Identifier: GPL-3.0-or-later
#include "tools/ContainerWriter.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/error.h>
}

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <system_error>

namespace tools {

namespace {

std::string AvError(int code) {
  char buf[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, buf, sizeof buf);
  return buf;
}

const char* MuxerName(Container container) {
  switch (container) {
    case Container::kMov:
      return "mov";
    case Container::kTs:
      return "mpegts";
    case Container::kMp4:
      break;
  }
  return "mp4";
}

}  // namespace

std::string ContainerExtension(Container container, bool upper) {
  const char* ext = container == Container::kMov  ? "mov"
                    : container == Container::kTs ? "ts"
                                                  : "mp4";
  std::string s = ext;
  if (upper) {
    for (char& c : s) c = char(std::toupper(static_cast<unsigned char>(c)));
  }
  return s;
}

void ContainerWriter::FormatFree::operator()(AVFormatContext* f) const {
  if (f->pb) avio_closep(&f->pb);
  avformat_free_context(f);
}
void ContainerWriter::PacketFree::operator()(AVPacket* p) const { av_packet_free(&p); }

ContainerWriter::ContainerWriter() = default;

ContainerWriter::~ContainerWriter() {
  if (format_) Abandon();
}

bool ContainerWriter::Fail(const std::string& what, int code, std::string* error) {
  *error = std::filesystem::path(path_).filename().string() + ": " + what +
           (code < 0 ? ": " + AvError(code) : std::string());
  Abandon();
  return false;
}

bool ContainerWriter::Open(const std::string& path, Container container, const DateTime& clock,
                           const AVCodecContext* video, int fps, const AVCodecContext* sound,
                           std::string* error, const DataTrack& data, const FileTiming& timing) {
  path_ = path;
  fps_ = fps;
  AVFormatContext* f = nullptr;
  int rc = avformat_alloc_output_context2(&f, nullptr, MuxerName(container), path.c_str());
  if (rc < 0 || !f) {
    *error = path + ": no muxer: " + AvError(rc);
    return false;
  }
  format_.reset(f);
  packet_.reset(av_packet_alloc());
  if (!packet_) return Fail("out of memory", 0, error);

  AVStream* v = avformat_new_stream(f, nullptr);
  if (!v) return Fail("out of memory", 0, error);
  rc = avcodec_parameters_from_context(v->codecpar, video);
  if (rc < 0) return Fail("cannot describe the pictures", rc, error);
  v->time_base = AVRational{1, fps};
  v->avg_frame_rate = AVRational{fps, 1};
  if (sound) {
    AVStream* a = avformat_new_stream(f, nullptr);
    if (!a) return Fail("out of memory", 0, error);
    rc = avcodec_parameters_from_context(a->codecpar, sound);
    if (rc < 0) return Fail("cannot describe the sound", rc, error);
    soundRate_ = sound->sample_rate;
    a->time_base = AVRational{1, soundRate_};
    soundStream_ = a->index;
  }

  if (data.kind != DataTrack::kNone) {
    AVStream* d = avformat_new_stream(f, nullptr);
    if (!d) return Fail("out of memory", 0, error);
    if (data.kind == DataTrack::kText) {
      d->codecpar->codec_type = AVMEDIA_TYPE_SUBTITLE;
      d->codecpar->codec_id = AV_CODEC_ID_MOV_TEXT;
    } else {
      d->codecpar->codec_type = AVMEDIA_TYPE_DATA;
      d->codecpar->codec_id = AV_CODEC_ID_BIN_DATA;
      d->codecpar->codec_tag = MKTAG('g', 'p', 'm', 'd');
    }
    if (!data.extradata.empty()) {
      const std::size_t n = data.extradata.size();
      d->codecpar->extradata =
          static_cast<std::uint8_t*>(av_mallocz(n + AV_INPUT_BUFFER_PADDING_SIZE));
      if (!d->codecpar->extradata) return Fail("out of memory", 0, error);
      std::memcpy(d->codecpar->extradata, data.extradata.data(), n);
      d->codecpar->extradata_size = int(n);
    }
    d->time_base = AVRational{1, 1000};
    dataStream_ = d->index;
  }

  char when[40];
  std::snprintf(when, sizeof when, "%04d-%02d-%02dT%02d:%02d:%02d.000000Z", clock.year, clock.month,
                clock.day, clock.hour, clock.minute, clock.second);
  av_dict_set(&f->metadata, "creation_time", when, 0);

  rc = avio_open(&f->pb, path.c_str(), AVIO_FLAG_WRITE);
  if (rc < 0) {
    *error = "cannot create " + path + ": " + AvError(rc);
    format_.reset();
    return false;
  }
  if (timing.sharedClock && container == Container::kTs) f->output_ts_offset = AV_TIME_BASE;
  // The muxers' defaults: MP4 and MOV write their index after the media, at the end.
  rc = avformat_write_header(f, nullptr);
  if (rc < 0) return Fail("cannot write the container's header", rc, error);
  // The muxer has chosen the stream's time base by now.
  pictureDelay_ = av_rescale_q(timing.lateMs, AVRational{1, 1000}, v->time_base);
  return true;
}

bool ContainerWriter::Write(int stream, const std::uint8_t* data, std::size_t size,
                            std::int64_t pts, std::int64_t duration, bool key, std::string* error) {
  if (!format_) {
    *error = "the file is not open";
    return false;
  }
  if (size == 0 || size > std::size_t(std::numeric_limits<int>::max() / 2)) {
    return Fail("a packet of impossible size", 0, error);
  }
  AVPacket* p = packet_.get();
  int rc = av_new_packet(p, int(size));
  if (rc < 0) return Fail("out of memory", rc, error);
  std::memcpy(p->data, data, size);
  p->stream_index = stream;
  p->pts = p->dts = pts;
  p->duration = duration;
  if (key) p->flags |= AV_PKT_FLAG_KEY;
  const AVRational given = stream == soundStream_  ? AVRational{1, soundRate_}
                           : stream == dataStream_ ? AVRational{1, 1000}
                                                   : AVRational{1, fps_};
  av_packet_rescale_ts(p, given, format_->streams[stream]->time_base);
  if (stream == 0) {
    p->pts += pictureDelay_;
    p->dts += pictureDelay_;
  }
  // Takes the packet's reference, leaving it blank for the next one.
  rc = av_interleaved_write_frame(format_.get(), p);
  if (rc < 0) return Fail("write error", rc, error);
  return true;
}

bool ContainerWriter::WritePicture(const AccessUnit& au, std::string* error) {
  return Write(0, au.data.data(), au.data.size(), au.picture, 1, au.key, error);
}

bool ContainerWriter::WriteSound(const SoundPacket& packet, std::string* error) {
  if (soundStream_ < 0) {
    *error = "the file has no sound stream";
    return false;
  }
  return Write(soundStream_, packet.data.data(), packet.data.size(), packet.pts, packet.duration,
               true, error);
}

bool ContainerWriter::WriteData(const std::vector<std::uint8_t>& sample, int startMs,
                                int durationMs, std::string* error) {
  if (dataStream_ < 0) {
    *error = "the file has no data track";
    return false;
  }
  return Write(dataStream_, sample.data(), sample.size(), startMs, durationMs, true, error);
}

bool ContainerWriter::Finish(std::string* error) {
  if (!format_) {
    *error = "the file is not open";
    return false;
  }
  int rc = av_write_trailer(format_.get());
  if (rc < 0) return Fail("cannot write the index", rc, error);
  rc = avio_closep(&format_->pb);
  if (rc < 0) return Fail("cannot write", rc, error);
  format_.reset();
  return true;
}

void ContainerWriter::Abandon() {
  format_.reset();
  std::error_code ec;
  if (!path_.empty()) std::filesystem::remove(path_, ec);
}

namespace {

// A top-level box of a file: where it begins, its whole size and its header's.
struct TopBox {
  std::uint64_t offset = 0, size = 0;
  int header = 8;
  char type[5] = {};
};

std::uint64_t Be(const std::uint8_t* p, int bytes) {
  std::uint64_t v = 0;
  for (int i = 0; i < bytes; ++i) v = v << 8 | p[i];
  return v;
}
void SetBe(std::uint8_t* p, std::uint64_t v, int bytes) {
  for (int i = bytes - 1; i >= 0; --i, v >>= 8) p[i] = std::uint8_t(v);
}

// The file's top-level boxes; false when one runs past the end or is too short for its header.
bool TopBoxes(std::ifstream& in, std::uint64_t fileSize, std::vector<TopBox>* boxes) {
  constexpr std::size_t kMaxBoxes = 4096;
  for (std::uint64_t at = 0; at < fileSize;) {
    if (fileSize - at < 8 || boxes->size() >= kMaxBoxes) return false;
    std::uint8_t h[16];
    in.seekg(std::streamoff(at));
    if (!in.read(reinterpret_cast<char*>(h), 8)) return false;
    TopBox b;
    b.offset = at;
    b.size = Be(h, 4);
    std::memcpy(b.type, h + 4, 4);
    if (b.size == 1) {
      if (fileSize - at < 16 || !in.read(reinterpret_cast<char*>(h + 8), 8)) return false;
      b.size = Be(h + 8, 8);
      b.header = 16;
    } else if (b.size == 0) {
      b.size = fileSize - at;
    }
    if (b.size < std::uint64_t(b.header) || b.size > fileSize - at) return false;
    boxes->push_back(b);
    at += b.size;
  }
  return true;
}

// Where in `moov` the chunk offsets of its tracks lie: the stco and co64 tables of each
// trak/mdia/minf/stbl. Each entry: its place in moov and its width (4 or 8).
bool ChunkOffsets(const std::vector<std::uint8_t>& moov, std::size_t begin, std::size_t end,
                  int depth, std::vector<std::pair<std::size_t, int>>* entries) {
  constexpr std::size_t kMaxEntries = 4 << 20;
  for (std::size_t at = begin; at < end;) {
    if (end - at < 8) return false;
    const std::uint64_t size = Be(&moov[at], 4);
    if (size < 8 || size > end - at) return false;
    const std::string type(reinterpret_cast<const char*>(&moov[at + 4]), 4);
    if (depth < 4 && (type == "trak" || type == "mdia" || type == "minf" || type == "stbl")) {
      if (!ChunkOffsets(moov, at + 8, at + std::size_t(size), depth + 1, entries)) return false;
    } else if (type == "stco" || type == "co64") {
      const int width = type == "stco" ? 4 : 8;
      if (size < 16) return false;
      const std::uint64_t count = Be(&moov[at + 12], 4);
      if (count > (size - 16) / std::uint64_t(width) || entries->size() + count > kMaxEntries) {
        return false;
      }
      for (std::uint64_t i = 0; i < count; ++i) {
        entries->push_back({at + 16 + std::size_t(i) * std::size_t(width), width});
      }
    }
    at += std::size_t(size);
  }
  return true;
}

// Copies bytes [from, to) of `in` to `out`.
bool CopyRange(std::ifstream& in, std::ofstream& out, std::uint64_t from, std::uint64_t to) {
  std::vector<char> buffer(1 << 20);
  in.seekg(std::streamoff(from));
  while (from < to) {
    const std::size_t n = std::size_t(std::min<std::uint64_t>(buffer.size(), to - from));
    if (!in.read(buffer.data(), std::streamsize(n))) return false;
    out.write(buffer.data(), std::streamsize(n));
    from += n;
  }
  return bool(out);
}

void Write(std::ofstream& out, const std::vector<std::uint8_t>& bytes) {
  out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

// Replaces `path` by the file written to `temporary`, or removes that on failure.
bool Replace(const std::string& temporary, const std::string& path, bool ok, std::string* error) {
  std::error_code ec;
  if (ok) {
    std::filesystem::rename(temporary, path, ec);
    if (!ec) return true;
    *error = "cannot replace " + path + ": " + ec.message();
  }
  std::filesystem::remove(temporary, ec);
  return false;
}

}  // namespace

bool AddMp4Boxes(const std::string& path, const Mp4Additions& add, std::string* error) {
  const std::string name = std::filesystem::path(path).filename().string();
  auto fail = [&](const std::string& what) {
    *error = name + ": " + what;
    return false;
  };
  std::error_code ec;
  const std::uint64_t fileSize = std::filesystem::file_size(path, ec);
  if (ec) return fail("cannot read: " + ec.message());
  std::ifstream in(path, std::ios::binary);
  std::vector<TopBox> boxes;
  if (!in || !TopBoxes(in, fileSize, &boxes)) return fail("not a whole MP4 file");
  const TopBox* mdat = nullptr;
  const TopBox* moov = nullptr;
  for (const TopBox& b : boxes) {
    if (std::strcmp(b.type, "mdat") == 0 && !mdat) mdat = &b;
    if (std::strcmp(b.type, "moov") == 0 && !moov) moov = &b;
  }
  // The index of a file as libavformat writes it: small, after the media.
  constexpr std::uint64_t kMaxMoov = 64 << 20;
  if (!mdat || !moov || moov->offset < mdat->offset || moov->size > kMaxMoov || moov->header != 8) {
    return fail("no media box followed by its index");
  }
  std::vector<std::uint8_t> index(std::size_t(moov->size));
  in.seekg(std::streamoff(moov->offset));
  if (!in.read(reinterpret_cast<char*>(index.data()), std::streamsize(index.size()))) {
    return fail("cannot read its index");
  }
  std::vector<std::pair<std::size_t, int>> entries;
  if (!ChunkOffsets(index, 8, index.size(), 0, &entries)) return fail("a broken index");

  // Where each box goes among the media: before the first chunk past its share of the media.
  const std::uint64_t mediaBegin = mdat->offset + std::uint64_t(mdat->header);
  const std::uint64_t mediaEnd = mdat->offset + mdat->size;
  std::vector<std::uint64_t> chunks;
  for (const auto& [at, width] : entries) {
    const std::uint64_t o = Be(&index[at], width);
    if (o >= mediaBegin && o < mediaEnd) chunks.push_back(o);
  }
  std::sort(chunks.begin(), chunks.end());
  const std::size_t n = add.inMedia.size();
  std::vector<std::uint64_t> places(n), newOffsets(n);
  std::uint64_t inserted = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint64_t share = mediaBegin + (mediaEnd - mediaBegin) * (i + 1) / n;
    auto next = std::lower_bound(chunks.begin(), chunks.end(), share);
    places[i] = i + 1 == n || next == chunks.end() ? mediaEnd : *next;
    newOffsets[i] = places[i] + add.beforeMedia.size() + inserted;
    inserted += add.inMedia[i].size();
  }
  const std::uint64_t newMdat = mdat->size + inserted;
  if (mdat->header == 8 && newMdat > 0xFFFFFFFFull) return fail("too large for its media box");

  // The index's chunk offsets, moved past what comes before them.
  for (const auto& [at, width] : entries) {
    const std::uint64_t o = Be(&index[at], width);
    std::uint64_t moved = o;
    if (o >= mdat->offset) moved += add.beforeMedia.size();
    for (std::size_t i = 0; i < n && places[i] <= o; ++i) moved += add.inMedia[i].size();
    if (width == 4 && moved > 0xFFFFFFFFull) return fail("too large for its index");
    SetBe(&index[at], moved, width);
  }
  if (add.moovChild) {
    // Right after the movie header, ahead of the tracks, where readers that take the box for
    // the movie's own and not a track's look for it.
    const std::size_t header = index.size() >= 16 ? std::size_t(Be(&index[8], 4)) : 0;
    if (index.size() < 16 || std::memcmp(&index[12], "mvhd", 4) != 0 || header < 8 ||
        header > index.size() - 8) {
      return fail("an index without its movie header first");
    }
    const std::vector<std::uint8_t> child = add.moovChild(newOffsets);
    index.insert(index.begin() + std::ptrdiff_t(8 + header), child.begin(), child.end());
    if (index.size() > 0xFFFFFFFFull) return fail("too large an index");
    SetBe(&index[0], index.size(), 4);
  }

  const std::string temporary = path + ".part";
  std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
  bool ok = bool(out) && CopyRange(in, out, 0, mdat->offset);
  if (ok) {
    Write(out, add.beforeMedia);
    std::vector<std::uint8_t> header(std::size_t(mdat->header));
    in.seekg(std::streamoff(mdat->offset));
    ok = bool(in.read(reinterpret_cast<char*>(header.data()), std::streamsize(header.size())));
    if (mdat->header == 16) {
      SetBe(&header[8], newMdat, 8);
    } else {
      SetBe(&header[0], newMdat, 4);
    }
    Write(out, header);
  }
  std::uint64_t at = mediaBegin;
  for (std::size_t i = 0; ok && i < n; ++i) {
    ok = CopyRange(in, out, at, places[i]);
    Write(out, add.inMedia[i]);
    at = places[i];
  }
  ok = ok && CopyRange(in, out, at, moov->offset);
  if (ok) Write(out, index);
  ok = ok && CopyRange(in, out, moov->offset + moov->size, fileSize);
  out.close();
  in.close();
  if (!ok || !out) *error = name + ": cannot write";
  return Replace(temporary, path, ok && bool(out), error);
}

bool AddTsPrivatePackets(const std::string& path, int pid, int streamId,
                         const std::vector<std::vector<std::uint8_t>>& payloads,
                         std::string* error) {
  constexpr std::size_t kPacket = 188;
  constexpr std::size_t kMaxPayload = kPacket - 4 - 6 - 2;
  const std::string name = std::filesystem::path(path).filename().string();
  std::error_code ec;
  const std::uint64_t fileSize = std::filesystem::file_size(path, ec);
  if (ec || fileSize % kPacket != 0 || fileSize == 0) {
    *error = name + ": not a whole transport stream";
    return false;
  }
  std::ifstream in(path, std::ios::binary);
  const std::uint64_t packets = fileSize / kPacket;
  // The first packet after the tables at the start (PAT, SDT and the programme's PMT).
  std::uint64_t first = 0;
  for (; first < packets && first < 64; ++first) {
    std::uint8_t h[4];
    in.seekg(std::streamoff(first * kPacket));
    if (!in.read(reinterpret_cast<char*>(h), 4) || h[0] != 0x47) {
      *error = name + ": not a transport stream";
      return false;
    }
    const int p = (h[1] & 0x1F) << 8 | h[2];
    if (p >= 0x20 && p != 0x1000) break;
  }

  const std::string temporary = path + ".part";
  std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
  bool ok = bool(out);
  std::uint64_t at = 0;
  int continuity = 0;
  const std::size_t n = payloads.size();
  for (std::size_t i = 0; ok && i < n; ++i) {
    const std::vector<std::uint8_t>& payload = payloads[i];
    if (payload.size() > kMaxPayload) {
      *error = name + ": a private stream payload too long for one packet";
      ok = false;
      break;
    }
    const std::uint64_t place = std::max(first, packets * i / n);
    ok = CopyRange(in, out, at * kPacket, place * kPacket);
    at = place;
    std::vector<std::uint8_t> packet(kPacket, 0xFF);
    packet[0] = 0x47;
    packet[1] = std::uint8_t(0x40 | ((pid >> 8) & 0x1F));
    packet[2] = std::uint8_t(pid & 0xFF);
    const std::size_t pes = 6 + payload.size();
    // An adaptation field of stuffing fills what the PES packet leaves of the packet.
    const std::size_t field = kPacket - 4 - pes;
    packet[3] = std::uint8_t((field > 0 ? 0x30 : 0x10) | continuity);
    continuity = (continuity + 1) & 0x0F;
    if (field > 0) {
      packet[4] = std::uint8_t(field - 1);
      if (field > 1) packet[5] = 0;
    }
    std::uint8_t* p = &packet[4 + field];
    p[0] = 0;
    p[1] = 0;
    p[2] = 1;
    p[3] = std::uint8_t(streamId);
    SetBe(p + 4, payload.size(), 2);
    std::memcpy(p + 6, payload.data(), payload.size());
    Write(out, packet);
  }
  ok = ok && CopyRange(in, out, at * kPacket, fileSize);
  out.close();
  in.close();
  if (ok && !out) *error = name + ": cannot write";
  return Replace(temporary, path, ok && bool(out), error);
}

}  // namespace tools
