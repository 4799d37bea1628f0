// SPDX-License-Identifier: GPL-3.0-or-later
#include "export/RemuxClip.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/bsf.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/error.h>
#include <libavutil/mathematics.h>
}

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <limits>
#include <memory>

#include "media/CContainerParser.h"

namespace {

// The container formats cameras write; libavformat refuses any other (as cards/ContainerProbe).
constexpr char kFormats[] = "mov,mp4,m4a,3gp,3g2,mj2,mpegts,matroska,webm,avi";
// The most bytes read to find the streams of a container that needs a look at its packets.
constexpr std::int64_t kProbeBytes = 4 << 20;
// More streams than a camera's file holds (pictures, sound, a metadata track or two); a file with
// more is not a camera's.
constexpr unsigned kMaxStreams = 16;
// More cameras than any camera has (Tesla's six).
constexpr std::size_t kMaxSources = 8;
// A packet larger than this is no camera's picture (an 8K key picture is a few MB): taken as the
// file's damage, ending its part of the clip.
constexpr int kMaxPacketBytes = 64 << 20;
constexpr std::int64_t kNoTime = std::numeric_limits<std::int64_t>::min();

struct InputClose {
  void operator()(AVFormatContext* c) const { avformat_close_input(&c); }
};
struct OutputFree {
  void operator()(AVFormatContext* c) const {
    if (c->pb) avio_closep(&c->pb);
    avformat_free_context(c);
  }
};
struct PacketFree {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct FilterFree {
  void operator()(AVBSFContext* b) const { av_bsf_free(&b); }
};
struct DictFree {
  void operator()(AVDictionary* d) const { av_dict_free(&d); }
};

int Interrupted(void* busy) {
  return busy && static_cast<const std::atomic<int>*>(busy)->load() == 0 ? 1 : 0;
}

// One camera's file while the clip is made.
struct Input {
  std::unique_ptr<AVFormatContext, InputClose> context;
  std::string camera;
  bool mov = false;
  std::int64_t startUs = 0;  // the container's first time: the recording's 0
  int video = -1, audio = -1;
  int outVideo = -1, outAudio = -1;
  std::unique_ptr<AVBSFContext, FilterFree> adts;  // the sound's filter, when it needs one
  std::int64_t keyUs = kNoTime;                    // the key picture the camera's part starts at
  bool videoEnded = false, audioEnded = false, audioStarted = false, videoStarted = false;
  std::unique_ptr<AVPacket, PacketFree> next{av_packet_alloc()};
  bool hasNext = false;
  std::int64_t nextUs = 0;  // next's time in the recording

  // The time of ts (in stream s's base) in the recording, in µs.
  std::int64_t Us(int s, std::int64_t ts) const {
    return av_rescale_q(ts, context->streams[s]->time_base, AV_TIME_BASE_Q) - startUs;
  }
};

std::int64_t PacketTime(const AVPacket* p) { return p->dts != AV_NOPTS_VALUE ? p->dts : p->pts; }

// Opens a camera file with the cards library's care; null when it cannot be read.
std::unique_ptr<AVFormatContext, InputClose> OpenCameraFile(const std::string& path,
                                                            std::atomic<int>* busy, bool* mov) {
  AVFormatContext* raw = avformat_alloc_context();
  if (!raw) return nullptr;
  raw->probesize = kProbeBytes;
  raw->max_analyze_duration = 2 * AV_TIME_BASE;
  raw->interrupt_callback.callback = Interrupted;
  raw->interrupt_callback.opaque = busy;
  AVDictionary* options = nullptr;
  av_dict_set(&options, "protocol_whitelist", "file", 0);
  av_dict_set(&options, "format_whitelist", kFormats, 0);
  av_dict_set(&options, "enable_drefs", "0", 0);
  // "file:" in front, so that a name holding a colon is never taken for another protocol.
  const std::string url = "file:" + path;
  const int opened = avformat_open_input(&raw, url.c_str(), nullptr, &options);
  std::unique_ptr<AVDictionary, DictFree> left(options);
  if (opened < 0) return nullptr;  // avformat_open_input freed the context
  std::unique_ptr<AVFormatContext, InputClose> input(raw);
  if (input->nb_streams == 0 || input->nb_streams > kMaxStreams) return nullptr;
  const char* name = input->iformat && input->iformat->name ? input->iformat->name : "";
  *mov = std::string(name).rfind("mov", 0) == 0;
  // An MP4 or MOV file's index says everything; other containers are looked into.
  if (!*mov && avformat_find_stream_info(input.get(), nullptr) < 0) return nullptr;
  return input;
}

// Finds the last key picture of the input's pictures at or before fromUs (the first one after it
// when the file has none before), into keyUs. False when the pictures end before fromUs.
bool FindStartKey(Input* in, std::int64_t fromUs) {
  AVFormatContext* c = in->context.get();
  const AVStream* st = c->streams[in->video];
  // An MP4 index seeks to the key picture itself; other containers are read from their start.
  if (in->mov) {
    const std::int64_t ts = av_rescale_q(fromUs + in->startUs, AV_TIME_BASE_Q, st->time_base);
    if (av_seek_frame(c, in->video, ts, AVSEEK_FLAG_BACKWARD) < 0 &&
        av_seek_frame(c, in->video, st->start_time != AV_NOPTS_VALUE ? st->start_time : 0,
                      AVSEEK_FLAG_BACKWARD) < 0) {
      return false;
    }
  } else if (av_seek_frame(c, -1, 0, AVSEEK_FLAG_BYTE) < 0) {
    return false;
  }
  std::unique_ptr<AVPacket, PacketFree> p(av_packet_alloc());
  if (!p) return false;
  std::int64_t before = kNoTime, after = kNoTime;
  bool reached = false;
  while (av_read_frame(c, p.get()) >= 0) {
    const bool picture = p->stream_index == in->video && p->size <= kMaxPacketBytes;
    const std::int64_t ts = p->pts != AV_NOPTS_VALUE ? p->pts : p->dts;
    const bool key = (p->flags & AV_PKT_FLAG_KEY) != 0;
    av_packet_unref(p.get());
    if (!picture || ts == AV_NOPTS_VALUE) continue;
    const std::int64_t us = in->Us(in->video, ts);
    if (us >= fromUs) reached = true;
    if (key && us <= fromUs) before = us;
    if (key && us > fromUs && after == kNoTime) after = us;
    if (us > fromUs && (before != kNoTime || after != kNoTime)) break;
  }
  in->keyUs = before != kNoTime ? before : after;
  return reached && in->keyUs != kNoTime;
}

// Reads the input's next packet that the clip takes into in->next; false at its end.
bool ReadNext(Input* in, std::int64_t startUs, std::int64_t toUs) {
  AVPacket* p = in->next.get();
  while (!(in->videoEnded && (in->audio < 0 || in->audioEnded))) {
    av_packet_unref(p);
    if (av_read_frame(in->context.get(), p) < 0) break;  // the end, or the file's damage
    if (p->size > kMaxPacketBytes) break;
    const int s = p->stream_index;
    const bool video = s == in->video && !in->videoEnded;
    const bool audio = s == in->audio && in->audio >= 0 && !in->audioEnded;
    if (!video && !audio) continue;
    if (p->pts == AV_NOPTS_VALUE) p->pts = p->dts;
    if (p->dts == AV_NOPTS_VALUE) p->dts = p->pts;
    if (p->pts == AV_NOPTS_VALUE) continue;  // no time at all: nowhere to put it
    const std::int64_t us = in->Us(s, PacketTime(p));
    const std::int64_t shown = in->Us(s, p->pts);
    if (video) {
      if (us >= toUs) {
        in->videoEnded = true;
        continue;
      }
      // The camera's part starts at its own key picture (a microsecond's rounding allowed).
      if (!in->videoStarted) {
        if (!(p->flags & AV_PKT_FLAG_KEY) || shown < in->keyUs - 1) continue;
        in->videoStarted = true;
      }
    } else {
      if (us >= toUs) {
        in->audioEnded = true;
        continue;
      }
      if (!in->audioStarted) {
        if (shown < startUs) continue;
        in->audioStarted = true;
      }
    }
    in->nextUs = us;
    in->hasNext = true;
    return true;
  }
  in->hasNext = false;
  in->videoEnded = in->audioEnded = true;
  return false;
}

RemuxOutcome& Fail(RemuxOutcome& outcome, RemuxResult result, int averror = 0) {
  outcome.result = result;
  if (averror < 0) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(averror, text, sizeof text);
    outcome.detail = text;
    // libavformat's errors of the file system are errno values.
    if (averror > -4096 && averror != AVERROR_EOF) outcome.systemError = AVUNERROR(averror);
  }
  return outcome;
}

// More recordings than a clip across a trip's joins takes (a day of one-minute recordings).
constexpr std::size_t kMaxParts = 1440;

// Opens a part's camera files, picks their pictures and (the first camera's that has any) the
// sound, and finds each camera's key picture at or before the part's start; startUs is the
// earliest of them, the part's 0 in the file.
RemuxResult OpenPart(const RemuxPart& part, std::atomic<int>* busy, std::vector<Input>* inputs,
                     std::int64_t* startUs) {
  inputs->clear();
  inputs->resize(part.sources.size());
  bool soundTaken = false;
  for (std::size_t i = 0; i < part.sources.size(); ++i) {
    Input& in = (*inputs)[i];
    in.camera = part.sources[i].camera;
    in.context = OpenCameraFile(part.sources[i].path, busy, &in.mov);
    if (busy->load() == 0) return RemuxResult::kStopped;
    if (!in.context || !in.next) return RemuxResult::kOpenFailed;
    for (unsigned s = 0; s < in.context->nb_streams; ++s) {
      const AVStream* st = in.context->streams[s];
      const AVCodecParameters* par = st->codecpar;
      if (st->time_base.num <= 0 || st->time_base.den <= 0) continue;
      if (par->codec_type == AVMEDIA_TYPE_VIDEO && in.video < 0 &&
          !(st->disposition & AV_DISPOSITION_ATTACHED_PIC) && par->width > 0 && par->height > 0) {
        in.video = int(s);
      } else if (par->codec_type == AVMEDIA_TYPE_AUDIO && in.audio < 0 && !soundTaken &&
                 par->codec_id != AV_CODEC_ID_NONE) {
        in.audio = int(s);
      }
    }
    if (in.video < 0) return RemuxResult::kOpenFailed;
    // The cameras' first pictures are the recording's start (a transport stream's sound may come
    // a little before its pictures).
    const AVStream* pictures = in.context->streams[in.video];
    in.startUs = pictures->start_time != AV_NOPTS_VALUE
                     ? av_rescale_q(pictures->start_time, pictures->time_base, AV_TIME_BASE_Q)
                 : in.context->start_time != AV_NOPTS_VALUE ? in.context->start_time
                                                            : 0;
    soundTaken = soundTaken || in.audio >= 0;
  }
  for (std::size_t i = 1; i < inputs->size(); ++i) {
    Input& in = (*inputs)[i];
    if (TimedFromFrontStart(inputs->front().startUs / 1000, in.startUs / 1000)) {
      in.startUs = inputs->front().startUs;
    }
  }

  // Each camera at its key picture at or before `from`; time 0 the earliest of them.
  const std::int64_t fromUs = std::int64_t(part.fromMs) * 1000;
  *startUs = std::numeric_limits<std::int64_t>::max();
  for (std::size_t i = 0; i < inputs->size(); ++i) {
    Input& in = (*inputs)[i];
    if (!FindStartKey(&in, fromUs)) {
      if (busy->load() == 0) return RemuxResult::kStopped;
      // The front camera's pictures end before the span; another camera's part is just left out.
      if (i == 0) return RemuxResult::kBadSpan;
      in.videoEnded = true;
      in.keyUs = kNoTime;
      continue;
    }
    *startUs = std::min(*startUs, in.keyUs);
  }
  return RemuxResult::kDone;
}

// MPEG-TS carries AAC with an ADTS header on every packet; MP4 keeps the configuration once: the
// input's sound goes through aac_adtstoasc. True when none is needed or it is ready.
bool AddSoundFilter(Input* in) {
  const AVStream* st = in->context->streams[in->audio];
  const AVCodecParameters* par = st->codecpar;
  if (par->codec_id != AV_CODEC_ID_AAC || in->mov) return true;
  const AVBitStreamFilter* filter = av_bsf_get_by_name("aac_adtstoasc");
  AVBSFContext* raw = nullptr;
  if (!filter || av_bsf_alloc(filter, &raw) < 0) return false;
  in->adts.reset(raw);
  if (avcodec_parameters_copy(raw->par_in, par) < 0) return false;
  raw->time_base_in = st->time_base;
  return av_bsf_init(raw) >= 0;
}

// A later part's cameras written into the first part's streams, camera by camera: false when a
// camera codes its pictures or sound otherwise than in the first part (one MP4 stream holds one
// coding). A camera or sound the first part did not have is left out.
bool TakeStreams(const std::vector<Input>& first, std::vector<Input>* later) {
  if (later->size() != first.size()) return false;
  for (std::size_t i = 0; i < first.size(); ++i) {
    const Input& a = first[i];
    Input& b = (*later)[i];
    if (a.outVideo < 0) {
      b.videoEnded = true;
    } else if (b.keyUs != kNoTime) {
      const AVCodecParameters* pa = a.context->streams[a.video]->codecpar;
      const AVCodecParameters* pb = b.context->streams[b.video]->codecpar;
      if (pa->codec_id != pb->codec_id || pa->width != pb->width || pa->height != pb->height)
        return false;
    }
    b.outVideo = a.outVideo;
    if (a.outAudio < 0 || b.audio < 0) {
      b.audio = -1;
      continue;
    }
    const AVCodecParameters* pa = a.context->streams[a.audio]->codecpar;
    const AVCodecParameters* pb = b.context->streams[b.audio]->codecpar;
    if (pa->codec_id != pb->codec_id || pa->sample_rate != pb->sample_rate ||
        pa->ch_layout.nb_channels != pb->ch_layout.nb_channels || !AddSoundFilter(&b)) {
      return false;
    }
    b.outAudio = a.outAudio;
  }
  return true;
}

// The file being written, with each stream's last time (its times must rise across parts).
struct Writer {
  AVFormatContext* out;
  std::vector<std::int64_t> lastDts;
  std::unique_ptr<AVPacket, PacketFree> filtered;
};

// Writes a part's packets in time order, one waiting from each camera's file, from startUs (its 0)
// to before toUs of its recording, placed offsetUs into the file. progress is told the ms of the
// part written before each front picture, and returning false stops the clip. endUs: the end of
// the part's last front picture, in its recording. A negative libavformat error when a packet could
// not be written.
template <typename Progress>
int WritePart(Writer* writer, std::vector<Input>* inputs, std::int64_t startUs, std::int64_t toUs,
              std::int64_t offsetUs, Progress progress, std::atomic<int>* busy,
              std::int64_t* endUs) {
  // Each camera read from the part's start: an MP4 file seeks there, others are read from theirs.
  for (Input& in : *inputs) {
    AVFormatContext* c = in.context.get();
    if (in.keyUs == kNoTime) {
      in.videoEnded = true;
    } else if (in.mov) {
      av_seek_frame(c, -1, startUs + in.startUs, AVSEEK_FLAG_BACKWARD);
    } else {
      av_seek_frame(c, -1, 0, AVSEEK_FLAG_BYTE);
    }
    if (in.audio < 0) in.audioEnded = true;
    ReadNext(&in, startUs, toUs);
  }
  AVFormatContext* out = writer->out;
  auto write = [&](Input& in, AVPacket* p, int s, int os) -> int {
    const AVRational inBase = in.context->streams[s]->time_base;
    const std::int64_t shift =
        av_rescale_q_rnd(startUs + in.startUs, AV_TIME_BASE_Q, inBase, AV_ROUND_DOWN) -
        av_rescale_q(offsetUs, AV_TIME_BASE_Q, inBase);
    const std::int64_t end = in.Us(s, p->pts + std::max<std::int64_t>(p->duration, 0));
    p->pts = std::max<std::int64_t>(0, p->pts - shift);
    p->dts -= shift;
    // The part lasts as long as the front camera's pictures (the sound's last packet, and a
    // camera that started late, may reach a little past).
    if (s == in.video && &in == &inputs->front()) *endUs = std::max(*endUs, end);
    av_packet_rescale_ts(p, inBase, out->streams[os]->time_base);
    // Each stream's times must rise: a camera that repeats one is moved on by a tick.
    std::int64_t& last = writer->lastDts[std::size_t(os)];
    if (last != kNoTime && p->dts <= last) p->dts = last + 1;
    if (p->pts < p->dts) p->pts = p->dts;
    last = p->dts;
    p->stream_index = os;
    p->pos = -1;
    return av_interleaved_write_frame(out, p);
  };
  for (;;) {
    if (busy->load() == 0) return 0;
    Input* first = nullptr;
    for (Input& in : *inputs) {
      if (in.hasNext && (!first || in.nextUs < first->nextUs)) first = &in;
    }
    if (!first) return 0;
    AVPacket* p = first->next.get();
    const int s = p->stream_index;
    int r = 0;
    if (s == first->video) {
      if (first == &inputs->front() && !progress((first->nextUs - startUs) / 1000)) busy->store(0);
      r = write(*first, p, s, first->outVideo);
    } else if (first->adts) {
      r = av_bsf_send_packet(first->adts.get(), p);
      AVPacket* filtered = writer->filtered.get();
      while (r >= 0 && av_bsf_receive_packet(first->adts.get(), filtered) == 0) {
        r = write(*first, filtered, s, first->outAudio);
        av_packet_unref(filtered);
      }
      // A packet the filter refuses (no ADTS header) is the file's damage: left out.
      if (r == AVERROR_INVALIDDATA) r = 0;
    } else {
      r = write(*first, p, s, first->outAudio);
    }
    if (r < 0) return r;
    ReadNext(first, startUs, toUs);
  }
}

}  // namespace

const char* RemuxResultText(RemuxResult result) {
  switch (result) {
    case RemuxResult::kDone:
      return "done";
    case RemuxResult::kStopped:
      return "stopped";
    case RemuxResult::kBadSpan:
      return "the span is not a part of the recording";
    case RemuxResult::kOpenFailed:
      return "a camera's file cannot be opened or holds no pictures";
    case RemuxResult::kCreateFailed:
      return "the MP4 file cannot be created";
    case RemuxResult::kWriteFailed:
      return "the MP4 file could not be written";
  }
  return "unknown result";
}

RemuxOutcome RemuxToMp4(const std::vector<RemuxSource>& sources, int fromMs, int toMs,
                        const std::string& destination, ConvertProgressFn progress, void* arg,
                        std::atomic<int>* busy) {
  return RemuxPartsToMp4({RemuxPart{sources, fromMs, toMs}}, destination, progress, arg, busy);
}

RemuxOutcome RemuxPartsToMp4(const std::vector<RemuxPart>& parts, const std::string& destination,
                             ConvertProgressFn progress, void* arg, std::atomic<int>* busy) {
  RemuxOutcome outcome;
  std::atomic<int> ownFlag{1};
  if (!busy) busy = &ownFlag;
  if (parts.empty() || parts.size() > kMaxParts) return Fail(outcome, RemuxResult::kBadSpan);
  std::int64_t spanMs = 0;  // the progress's whole: the spans asked for
  for (const RemuxPart& part : parts) {
    if (part.fromMs < 0 || part.toMs <= part.fromMs) return Fail(outcome, RemuxResult::kBadSpan);
    if (part.sources.empty() || part.sources.size() > kMaxSources)
      return Fail(outcome, RemuxResult::kOpenFailed);
    spanMs += part.toMs - part.fromMs;
  }

  // The first part's cameras make the file's streams.
  std::vector<Input> first;
  std::int64_t startUs = 0;
  if (const RemuxResult r = OpenPart(parts[0], busy, &first, &startUs); r != RemuxResult::kDone) {
    return Fail(outcome, r);
  }
  outcome.startMs = int(startUs / 1000);

  // The file and its streams, in camera order, the sound last.
  AVFormatContext* rawOut = nullptr;
  if (avformat_alloc_output_context2(&rawOut, nullptr, "mp4", nullptr) < 0 || !rawOut) {
    return Fail(outcome, RemuxResult::kCreateFailed);
  }
  std::unique_ptr<AVFormatContext, OutputFree> out(rawOut);
  auto addStream = [&](Input& in, int s, const AVCodecParameters* par) -> int {
    AVStream* os = avformat_new_stream(out.get(), nullptr);
    if (!os || avcodec_parameters_copy(os->codecpar, par) < 0) return -1;
    os->codecpar->codec_tag = par->codec_id == AV_CODEC_ID_HEVC ? MKTAG('h', 'v', 'c', '1') : 0;
    os->time_base = in.context->streams[s]->time_base;
    av_dict_set(&os->metadata, "handler_name", in.camera.c_str(), 0);
    return os->index;
  };
  for (Input& in : first) {
    if (in.keyUs == kNoTime) continue;
    in.outVideo = addStream(in, in.video, in.context->streams[in.video]->codecpar);
    if (in.outVideo < 0) return Fail(outcome, RemuxResult::kCreateFailed);
    ++outcome.videoStreams;
  }
  for (Input& in : first) {
    if (in.audio < 0) continue;
    if (!AddSoundFilter(&in)) return Fail(outcome, RemuxResult::kCreateFailed);
    in.outAudio = addStream(in, in.audio,
                            in.adts ? in.adts->par_out : in.context->streams[in.audio]->codecpar);
    if (in.outAudio < 0) return Fail(outcome, RemuxResult::kCreateFailed);
    // An MP4 index read without a decoder leaves AAC's frame size unsaid: 1024 samples always.
    AVCodecParameters* written = out->streams[in.outAudio]->codecpar;
    if (written->codec_id == AV_CODEC_ID_AAC && written->frame_size <= 0)
      written->frame_size = 1024;
    outcome.sound = true;
  }

  AVDictionary* options = nullptr;
  av_dict_set(&options, "protocol_whitelist", "file", 0);
  std::unique_ptr<AVDictionary, DictFree> keepOptions(options);
  AVIOInterruptCB interrupt{Interrupted, busy};
  const std::string url = "file:" + destination;
  options = keepOptions.release();
  int r = avio_open2(&out->pb, url.c_str(), AVIO_FLAG_WRITE, &interrupt, &options);
  keepOptions.reset(options);
  if (r < 0) return Fail(outcome, RemuxResult::kCreateFailed, r);
  if ((r = avformat_write_header(out.get(), nullptr)) < 0) {
    return Fail(outcome, RemuxResult::kWriteFailed, r);
  }

  // Each part in turn, from where the last one's pictures ended in the file.
  Writer writer{out.get(), std::vector<std::int64_t>(out->nb_streams, kNoTime), nullptr};
  writer.filtered.reset(av_packet_alloc());
  if (!writer.filtered) return Fail(outcome, RemuxResult::kWriteFailed);
  std::int64_t offsetUs = 0, doneMs = 0;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    std::vector<Input> later;
    std::vector<Input>* inputs = &first;
    if (i > 0) {
      if (const RemuxResult opened = OpenPart(parts[i], busy, &later, &startUs);
          opened != RemuxResult::kDone) {
        return Fail(outcome, opened);
      }
      if (!TakeStreams(first, &later)) {
        Fail(outcome, RemuxResult::kOpenFailed);
        outcome.detail = "the recordings' cameras do not code alike";
        return outcome;
      }
      inputs = &later;
    }
    std::int64_t endUs = startUs;
    r = WritePart(
        &writer, inputs, startUs, std::int64_t(parts[i].toMs) * 1000, offsetUs,
        [&](std::int64_t ms) {
          return !progress ||
                 progress(arg, int(std::clamp<std::int64_t>(doneMs + ms, 0, spanMs)), int(spanMs));
        },
        busy, &endUs);
    if (busy->load() == 0) return Fail(outcome, RemuxResult::kStopped);
    if (r < 0) return Fail(outcome, RemuxResult::kWriteFailed, r);
    outcome.parts.push_back({int(startUs / 1000), int(endUs / 1000)});
    outcome.endMs = int(endUs / 1000);
    offsetUs += endUs - startUs;
    doneMs += parts[i].toMs - parts[i].fromMs;
  }
  if ((r = av_write_trailer(out.get())) < 0) return Fail(outcome, RemuxResult::kWriteFailed, r);
  if ((r = avio_closep(&out->pb)) < 0) return Fail(outcome, RemuxResult::kWriteFailed, r);
  outcome.result = RemuxResult::kDone;
  return outcome;
}
