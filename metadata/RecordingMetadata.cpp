// SPDX-License-Identifier: GPL-3.0-or-later
#include "metadata/RecordingMetadata.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <algorithm>
#include <cstring>
#include <memory>
#include <string_view>

#include "cards/CardNames.h"
#include "cards/ContainerProbe.h"
#include "metadata/BlackVue.h"
#include "metadata/CardFile.h"
#include "metadata/FreeGps.h"
#include "metadata/Garmin.h"
#include "metadata/Gpmf.h"
#include "metadata/Gpx.h"
#include "metadata/Mp4Gps.h"
#include "metadata/MpegTsGps.h"
#include "metadata/Nmea.h"
#include "metadata/TeslaSei.h"

namespace metadata {

namespace {

// The largest box, packet or file beside the recording read whole.
constexpr std::uint64_t kMaxFreeBox = 16u << 20;
constexpr int kMaxPacket = 1 << 20;
constexpr std::size_t kMaxSidecar = 16u << 20;
// Pictures looked at for Tesla's messages before the pictures are left out of the pass.
constexpr int kTeslaProbePictures = 3;

bool Cancelled(const std::atomic<bool>* cancel) {
  return cancel != nullptr && cancel->load(std::memory_order_relaxed);
}

Format ReadBoxes(CardFile* file, CameraMetadata* out, const std::atomic<bool>* cancel) {
  if (LooksLikeMpegTs(file)) return ReadMpegTsGps(file, out, cancel);
  Mp4Boxes boxes;
  if (!WalkMp4(file, &boxes)) return Format::kNone;
  for (const auto& [offset, size] : boxes.freeBoxes) {
    std::vector<std::uint8_t> payload;
    if (size > kMaxFreeBox || !file->Read(offset, std::size_t(size), &payload)) continue;
    if (ParseBlackVueFree(payload.data(), payload.size(), out)) return Format::kBlackVue;
  }
  if (boxes.hasIndex) return ReadFreeGps(file, boxes, out, cancel);
  return Format::kNone;
}

struct PacketFree {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};

enum class TrackKind { kNone, kText, kGpmf, kPictures };

TrackKind KindOf(const AVStream* s) {
  const AVCodecParameters* p = s->codecpar;
  if (p->codec_type == AVMEDIA_TYPE_SUBTITLE) return TrackKind::kText;
  if (p->codec_type == AVMEDIA_TYPE_DATA) {
    if (p->codec_tag == MKTAG('g', 'p', 'm', 'd')) return TrackKind::kGpmf;
    if (p->codec_tag == MKTAG('t', 'e', 'x', 't')) return TrackKind::kText;
  }
  return TrackKind::kNone;
}

// One pass over the file's data tracks (and its first pictures, for Tesla's messages).
Format ReadTracks(const std::string& path, CameraMetadata* out, const std::atomic<bool>* cancel) {
  cards::ContainerRef container = cards::OpenContainer(path, cancel);
  if (!container) return Format::kNone;
  AVFormatContext* f = container.get();
  std::vector<TrackKind> kinds(f->nb_streams, TrackKind::kNone);
  int video = -1;
  bool any = false;
  for (unsigned i = 0; i < f->nb_streams; ++i) {
    const AVCodecParameters* p = f->streams[i]->codecpar;
    if (p->codec_type == AVMEDIA_TYPE_VIDEO && video < 0 &&
        (p->codec_id == AV_CODEC_ID_H264 || p->codec_id == AV_CODEC_ID_HEVC)) {
      video = int(i);
      kinds[i] = TrackKind::kPictures;
    } else {
      kinds[i] = KindOf(f->streams[i]);
    }
    any = any || kinds[i] != TrackKind::kNone;
    f->streams[i]->discard = kinds[i] == TrackKind::kNone ? AVDISCARD_ALL : AVDISCARD_DEFAULT;
  }
  if (!any) return Format::kNone;
  std::int64_t startUs = 0;
  if (video >= 0 && f->streams[video]->start_time != AV_NOPTS_VALUE) {
    startUs =
        av_rescale_q(f->streams[video]->start_time, f->streams[video]->time_base, AV_TIME_BASE_Q);
  }
  const bool h265 = video >= 0 && f->streams[video]->codecpar->codec_id == AV_CODEC_ID_HEVC;

  std::unique_ptr<AVPacket, PacketFree> packet(av_packet_alloc());
  if (!packet) return Format::kNone;
  Format format = Format::kNone;
  int pictures = 0;
  bool tesla = false;
  while (!Cancelled(cancel) && av_read_frame(f, packet.get()) >= 0) {
    const int s = packet->stream_index;
    const AVPacket* p = packet.get();
    if (s >= 0 && unsigned(s) < kinds.size() && p->size > 0 && p->size <= kMaxPacket) {
      const AVStream* st = f->streams[s];
      const std::int64_t pts = p->pts != AV_NOPTS_VALUE ? p->pts : p->dts;
      int mediaMs = -1;
      if (pts != AV_NOPTS_VALUE) {
        const std::int64_t us = av_rescale_q(pts, st->time_base, AV_TIME_BASE_Q) - startUs;
        if (us > -1000000 && us < std::int64_t(kMaxFixes) * 1000000) mediaMs = int(us / 1000);
        if (mediaMs < 0 && us > -1000000) mediaMs = 0;
      }
      const int durationMs = int(av_rescale_q(p->duration, st->time_base, {1, 1000}));
      switch (kinds[std::size_t(s)]) {
        case TrackKind::kPictures:
          if (ParseTeslaPicture(p->data, std::size_t(p->size), h265, mediaMs, out)) {
            tesla = true;
            format = Format::kTesla;
          } else if (!tesla && ++pictures >= kTeslaProbePictures) {
            f->streams[s]->discard = AVDISCARD_ALL;
            kinds[std::size_t(s)] = TrackKind::kNone;
          }
          break;
        case TrackKind::kGpmf:
          if (ParseGpmfSample(p->data, std::size_t(p->size), mediaMs, durationMs, out)) {
            format = Format::kGpmf;
          }
          break;
        case TrackKind::kText: {
          const std::uint8_t* d = p->data;
          std::size_t n = std::size_t(p->size);
          if (ParseGarminSample(d, n, mediaMs, out)) {
            format = Format::kGarmin;
            break;
          }
          // A timed text sample: its length, then the text.
          if (n >= 2 && (std::size_t(d[0]) << 8 | d[1]) == n - 2) {
            d += 2;
            n -= 2;
          }
          const std::string_view text(reinterpret_cast<const char*>(d), n);
          if (ParseNmeaText(text, mediaMs, out)) {
            format = Format::kNmeaTrack;
          }
          break;
        }
        case TrackKind::kNone:
          break;
      }
    }
    av_packet_unref(packet.get());
    // Every stream the pass wanted has been given up.
    if (std::all_of(kinds.begin(), kinds.end(),
                    [](TrackKind k) { return k == TrackKind::kNone; })) {
      break;
    }
  }
  return format;
}

// The path without its extension ("/card/Record/20240612_081500_NF").
std::string BaseName(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  const std::size_t dot = path.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return path;
  return path.substr(0, dot);
}

// The first bracketed ms of a BlackVue log, its origin; -1 when it has none.
std::int64_t FirstStamp(std::string_view log) {
  const std::size_t open = log.find('[');
  if (open == std::string_view::npos) return -1;
  std::int64_t ms = 0;
  std::size_t i = open + 1;
  for (; i < log.size() && i < open + 20 && log[i] >= '0' && log[i] <= '9'; ++i) {
    ms = ms * 10 + (log[i] - '0');
  }
  return i < log.size() && log[i] == ']' && i > open + 1 ? ms : -1;
}

Format ReadSidecars(const std::string& path, CameraMetadata* out) {
  const std::string base = BaseName(path);
  std::string text;
  if (ReadSmallFile(base + ".gps", kMaxSidecar, &text)) {
    ParseNmeaLog(text, FirstStamp(text), out);
    std::string accel;
    if (ReadSmallFile(base + ".3gf", kMaxSidecar, &accel)) {
      ParseBlackVue3gf(reinterpret_cast<const std::uint8_t*>(accel.data()), accel.size(), out);
    }
    if (!out->Empty()) return Format::kBlackVueSidecar;
  }
  for (const char* ext : {".nmea", ".NMEA", ".txt", ".TXT"}) {
    if (ReadSmallFile(base + ext, kMaxSidecar, &text) && ParseNmeaLog(text, -1, out)) {
      return Format::kNmeaSidecar;
    }
  }
  for (const char* ext : {".gpx", ".GPX"}) {
    if (ReadSmallFile(base + ext, kMaxSidecar, &text) && ParseGpx(text, out)) {
      return Format::kGpxSidecar;
    }
  }
  return Format::kNone;
}

}  // namespace

std::int64_t CameraClockMs(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const std::string dir = slash == std::string::npos ? "" : path.substr(0, slash);
  // The folders above the file, nearest last, as many as a family's layout names.
  std::vector<std::string> parts;
  for (std::size_t at = 0; at <= dir.size();) {
    const std::size_t next = std::min(dir.find('/', at), dir.size());
    if (next > at) parts.push_back(dir.substr(at, next - at));
    at = next + 1;
  }
  for (std::size_t depth = std::min<std::size_t>(parts.size(), 3) + 1; depth-- > 0;) {
    std::string folder;
    for (std::size_t i = parts.size() - depth; i < parts.size(); ++i) {
      folder += (folder.empty() ? "" : "/") + parts[i];
    }
    cards::CardFile file;
    if (cards::ReadCardFileName(folder, name, &file) && file.hasClock) {
      return cards::ClockSeconds(file.clock) * 1000;
    }
  }
  const cards::ContainerInfo info = cards::ProbeContainer(path);
  return info.hasCreation ? cards::ClockSeconds(info.creation) * 1000 : -1;
}

CameraMetadata ReadCameraMetadata(const std::string& frontPath, const std::atomic<bool>* cancel) {
  CameraMetadata out;
  CardFile file(frontPath);
  if (file.Open()) {
    out.format = ReadBoxes(&file, &out, cancel);
    if (out.Empty() && !Cancelled(cancel)) {
      out = CameraMetadata();
      out.format = ReadTracks(frontPath, &out, cancel);
    }
    if (out.Empty() && !Cancelled(cancel) && !LooksLikeMpegTs(&file)) {
      out = CameraMetadata();
      out.format = ScanFreeGps(&file, &out, cancel);
    }
  }
  if (out.Empty() && !Cancelled(cancel)) {
    out = CameraMetadata();
    out.format = ReadSidecars(frontPath, &out);
  }
  if (out.Empty()) out.format = Format::kNone;
  return out;
}

RecordingMetadata ReadRecordingMetadata(const std::string& frontPath, std::int64_t nameClockMs,
                                        const std::atomic<bool>* cancel) {
  RecordingMetadata result;
  result.data = ReadCameraMetadata(frontPath, cancel);
  result.cancelled = Cancelled(cancel);
  FillSpeedFromPositions(&result.data);
  result.clock = SettleClock(&result.data, nameClockMs);
  return result;
}

}  // namespace metadata
