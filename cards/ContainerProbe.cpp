// SPDX-License-Identifier: GPL-3.0-or-later
#include "cards/ContainerProbe.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
}

#include <cmath>
#include <cstring>
#include <memory>

namespace cards {

namespace {

// The container formats cameras write; libavformat refuses any other.
constexpr char kFormats[] = "mov,mp4,m4a,3gp,3g2,mj2,mpegts,matroska,webm,avi";
// The most bytes read to find the streams of a container that needs a look at its packets.
constexpr std::int64_t kProbeBytes = 4 << 20;

struct DictFree {
  void operator()(AVDictionary* d) const { av_dict_free(&d); }
};

int Interrupted(void* cancel) {
  return cancel && static_cast<const std::atomic<bool>*>(cancel)->load() ? 1 : 0;
}

double Seconds(std::int64_t value, AVRational base) {
  if (value == AV_NOPTS_VALUE || value <= 0 || base.num <= 0 || base.den <= 0) return 0;
  const double s = double(value) * base.num / base.den;
  return std::isfinite(s) && s <= kMaxRecordingSeconds ? s : 0;
}

}  // namespace

void ContainerClose::operator()(AVFormatContext* c) const { avformat_close_input(&c); }

ContainerRef OpenContainer(const std::string& path, const std::atomic<bool>* cancel) {
  AVFormatContext* raw = avformat_alloc_context();
  if (!raw) return nullptr;
  raw->probesize = kProbeBytes;
  raw->max_analyze_duration = 2 * AV_TIME_BASE;
  raw->interrupt_callback.callback = Interrupted;
  raw->interrupt_callback.opaque = const_cast<std::atomic<bool>*>(cancel);
  AVDictionary* options = nullptr;
  av_dict_set(&options, "protocol_whitelist", "file", 0);
  av_dict_set(&options, "format_whitelist", kFormats, 0);
  av_dict_set(&options, "enable_drefs", "0", 0);
  std::unique_ptr<AVDictionary, DictFree> keep(options);
  // "file:" in front, so that a name holding a colon is never taken for another protocol.
  const std::string url = "file:" + path;
  AVDictionary* pass = keep.release();
  const int opened = avformat_open_input(&raw, url.c_str(), nullptr, &pass);
  keep.reset(pass);
  if (opened < 0) return nullptr;  // avformat_open_input freed the context
  ContainerRef input(raw);
  const std::string format = input->iformat && input->iformat->name ? input->iformat->name : "";
  // An MP4 or MOV file's index says everything; other containers are looked into.
  if (format.rfind("mov", 0) != 0 && avformat_find_stream_info(input.get(), nullptr) < 0) {
    return nullptr;
  }
  if (Interrupted(raw->interrupt_callback.opaque)) return nullptr;
  return input;
}

ContainerInfo ProbeContainer(const std::string& path, const std::atomic<bool>* cancel) {
  ContainerInfo info;
  ContainerRef input = OpenContainer(path, cancel);
  if (!input) return info;
  info.opened = true;
  info.format = input->iformat && input->iformat->name ? input->iformat->name : "";
  const bool mov = info.format.rfind("mov", 0) == 0;

  for (unsigned i = 0; i < input->nb_streams; ++i) {
    const AVStream* s = input->streams[i];
    const AVCodecParameters* p = s->codecpar;
    if (p->codec_type == AVMEDIA_TYPE_AUDIO) info.sound = true;
    if (p->codec_type != AVMEDIA_TYPE_VIDEO || info.pictures) continue;
    if (s->disposition & AV_DISPOSITION_ATTACHED_PIC) continue;  // a cover picture
    const bool framesKnown = !mov || s->nb_frames > 0;
    if (p->width <= 0 || p->height <= 0 || !framesKnown) continue;
    info.pictures = true;
    info.width = p->width;
    info.height = p->height;
    const char* codec = avcodec_get_name(p->codec_id);
    info.codec = codec ? codec : "";
    info.seconds = Seconds(s->duration, s->time_base);
  }
  if (info.seconds == 0) info.seconds = Seconds(input->duration, AVRational{1, AV_TIME_BASE});

  if (const AVDictionaryEntry* e = av_dict_get(input->metadata, "creation_time", nullptr, 0)) {
    Clock c;
    // Cameras that never set their clock write 0 (1904 or 1970): no clock at all.
    if (e->value && ParseClockText(e->value, &c) && c.year >= 1990) {
      info.hasCreation = true;
      info.creation = c;
    }
  }
  return info;
}

}  // namespace cards
