// SPDX-License-Identifier: GPL-3.0-or-later
#include "media/CContainerParser.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/bsf.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "metadata/RecordingMetadata.h"

namespace {

constexpr char kNamePrefix[] = "files:";
// The longest recording believed, in pictures at the highest rate.
constexpr long long kMaxFrames = 24LL * 3600 * CContainerParser::kMaxFrameRate;
// Packets read while looking for a key picture after a seek, at most (a minute of pictures and
// sound at 60 a second).
constexpr int kMaxPacketsToKey = 8000;
// How far before a time a seek in a file without an index tries, at most.
constexpr long long kSeekBackMs = 16000;
// Packets of one file read ahead, at most, to put its sound and pictures in the order of their
// times.
constexpr std::size_t kMaxQueuedPackets = 512;
// Sound frames longer than this, or with more channels, are not believed.
constexpr int kMaxSoundFrameSamples = 1 << 16;
constexpr int kMaxSoundChannels = 16;
// A sound frame this far from where the samples before it end starts the count of times anew.
constexpr long long kSoundGapMs = 100;
constexpr int kBlockSamples = CContainerParser::kSoundBlockBytes / 2;

long long ToMs(std::int64_t value, AVRational base) {
  if (value == AV_NOPTS_VALUE || base.den <= 0 || base.num <= 0) return AV_NOPTS_VALUE;
  return av_rescale_q(value, base, AVRational{1, 1000});
}

int Interrupt(void* stop) {
  return static_cast<const std::atomic<bool>*>(stop)->load(std::memory_order_acquire) ? 1 : 0;
}

}  // namespace

std::string ContainerRecordingName(const std::vector<std::string>& paths) {
  if (paths.empty()) return {};
  std::string name = kNamePrefix;
  int n = 0;
  for (const std::string& path : paths) {
    if (path.empty() || path.find('\n') != std::string::npos) return {};
    if (n++ > 0) name += '\n';
    name += path;
  }
  return name;
}

bool IsContainerRecordingName(const char* name) {
  return name != nullptr && std::strncmp(name, kNamePrefix, sizeof kNamePrefix - 1) == 0;
}

std::vector<std::string> ContainerRecordingFiles(const char* name) {
  std::vector<std::string> files;
  if (!IsContainerRecordingName(name)) return files;
  const char* p = name + sizeof kNamePrefix - 1;
  while (*p != '\0' && int(files.size()) < kMaxContainerFiles) {
    const char* end = std::strchr(p, '\n');
    const std::size_t n = end ? std::size_t(end - p) : std::strlen(p);
    if (n > 0) files.emplace_back(p, n);
    if (!end) break;
    p = end + 1;
  }
  return files;
}

void CContainerParser::PacketFree::operator()(AVPacket* p) const { av_packet_free(&p); }
void CContainerParser::FrameFree::operator()(AVFrame* f) const { av_frame_free(&f); }
void CContainerParser::BsfFree::operator()(AVBSFContext* b) const { av_bsf_free(&b); }
void CContainerParser::CodecFree::operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
void CContainerParser::SwrFree::operator()(SwrContext* s) const { swr_free(&s); }

CContainerParser::CContainerParser() = default;
CContainerParser::~CContainerParser() { CloseAll(); }

bool CContainerParser::Start() {
  stop_.store(false, std::memory_order_release);
  return true;
}

void CContainerParser::Stop() {
  stop_.store(true, std::memory_order_release);
  CloseAll();
}

int CContainerParser::Cameras() const { return cameras_.load(std::memory_order_acquire); }

void CContainerParser::CloseAll() {
  for (Source& s : sources_) s = Source();
  texts_.clear();
  textNext_ = 0;
  {
    std::lock_guard<std::mutex> hold(clockLock_);
    clockText_.clear();
  }
  sourceCount_ = 0;
  audio_ = Sound();
  soundSource_ = -1;
  blocks_.clear();
  open_ = false;
  cameras_.store(0, std::memory_order_release);
}

void CContainerParser::Close() { CloseAll(); }

bool CContainerParser::OpenSource(const std::string& path, Source* source, bool wantSound) {
  Source s;
  s.input = cards::OpenContainer(path, &stop_);
  if (!s.input) return false;
  AVFormatContext* in = s.input.get();
  in->interrupt_callback.callback = Interrupt;
  in->interrupt_callback.opaque = &stop_;
  for (unsigned i = 0; i < in->nb_streams; ++i) {
    const AVStream* st = in->streams[i];
    const AVCodecParameters* p = st->codecpar;
    if (p->codec_type != AVMEDIA_TYPE_VIDEO || (st->disposition & AV_DISPOSITION_ATTACHED_PIC)) {
      continue;
    }
    if (p->codec_id != AV_CODEC_ID_H264 && p->codec_id != AV_CODEC_ID_HEVC) continue;
    if (p->width <= 0 || p->height <= 0 || p->width > 16384 || p->height > 16384) continue;
    s.video = int(i);
    break;
  }
  if (s.video < 0) return false;
  AVStream* st = in->streams[s.video];
  const AVCodecParameters* p = st->codecpar;
  s.codec = p->codec_id == AV_CODEC_ID_HEVC ? VideoCodec::kH265 : VideoCodec::kH264;
  s.width = p->width;
  s.height = p->height;
  const AVRational guess = av_guess_frame_rate(in, st, nullptr);
  const int rate = guess.den > 0 ? int(std::lround(av_q2d(guess))) : 0;
  s.rate = rate >= kMinFrameRate && rate <= kMaxFrameRate ? rate : 30;
  long long frames = st->nb_frames;
  if (frames <= 0) {
    long long ms = ToMs(st->duration, st->time_base);
    if (ms == AV_NOPTS_VALUE || ms <= 0) ms = ToMs(in->duration, AVRational{1, AV_TIME_BASE});
    frames = ms != AV_NOPTS_VALUE && ms > 0 ? ms * s.rate / 1000 : 0;
  }
  s.frames = int(std::clamp<long long>(frames, 0, kMaxFrames));
  // The file's time starts with its first picture; sound before it (an encoder's priming) is
  // not played.
  long long start = ToMs(st->start_time, st->time_base);
  if (start == AV_NOPTS_VALUE) start = ToMs(in->start_time, AVRational{1, AV_TIME_BASE});
  s.startMs = start == AV_NOPTS_VALUE ? 0 : start;
  s.indexed = in->iformat && in->iformat->name && std::strncmp(in->iformat->name, "mov", 3) == 0;

  // Pictures in an MP4 or Matroska file carry their lengths and keep their parameter sets apart:
  // the decoder takes start codes with the parameter sets in the key pictures.
  if (p->extradata_size > 0 && p->extradata[0] == 1) {
    const char* filter = s.codec == VideoCodec::kH265 ? "hevc_mp4toannexb" : "h264_mp4toannexb";
    const AVBitStreamFilter* f = av_bsf_get_by_name(filter);
    AVBSFContext* raw = nullptr;
    if (!f || av_bsf_alloc(f, &raw) < 0) return false;
    s.annexB.reset(raw);
    if (avcodec_parameters_copy(raw->par_in, p) < 0) return false;
    raw->time_base_in = st->time_base;
    if (av_bsf_init(raw) < 0) return false;
  }

  if (wantSound) {
    const int a = av_find_best_stream(in, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    const AVCodec* codec =
        a >= 0 ? avcodec_find_decoder(in->streams[a]->codecpar->codec_id) : nullptr;
    const AVCodecParameters* ap = a >= 0 ? in->streams[a]->codecpar : nullptr;
    if (codec && ap->sample_rate > 0 && ap->sample_rate <= 384000 &&
        ap->ch_layout.nb_channels > 0 && ap->ch_layout.nb_channels <= kMaxSoundChannels) {
      std::unique_ptr<AVCodecContext, CodecFree> decoder(avcodec_alloc_context3(codec));
      std::unique_ptr<AVFrame, FrameFree> frame(av_frame_alloc());
      if (decoder && frame && avcodec_parameters_to_context(decoder.get(), ap) >= 0) {
        decoder->pkt_timebase = in->streams[a]->time_base;
        decoder->thread_count = 1;
        if (avcodec_open2(decoder.get(), codec, nullptr) >= 0) {
          audio_ = Sound();
          audio_.decoder = std::move(decoder);
          audio_.frame = std::move(frame);
          audio_.outRate = std::clamp(ap->sample_rate, kMinSoundRate, kMaxSoundRate);
          s.audio = a;
        }
      }
    }
  }
  // Only the streams read are demuxed.
  for (unsigned i = 0; i < in->nb_streams; ++i) {
    if (int(i) != s.video && int(i) != s.audio) in->streams[i]->discard = AVDISCARD_ALL;
  }
  *source = std::move(s);
  return true;
}

void CContainerParser::AlignCameraClocks() {
  for (int i = 1; i < sourceCount_; ++i) {
    if (TimedFromFrontStart(sources_[0].startMs, sources_[i].startMs)) {
      sources_[i].startMs = sources_[0].startMs;
    }
  }
}

int CContainerParser::Open(const char* name, RecordingInfo* info) {
  CloseAll();
  damaged_.store(false, std::memory_order_release);
  readFailed_.store(false, std::memory_order_release);
  lastTimeMs_ = -1;
  lastKey_ = -1;
  soundFromMs_ = 0;
  const std::vector<std::string> files = ContainerRecordingFiles(name);
  bool frontOpen = false;
  for (const std::string& path : files) {
    Source& s = sources_[sourceCount_];
    // The sound comes from the front camera's file, else from the other's.
    if (OpenSource(path, &s, audio_.decoder == nullptr)) {
      if (&path == &files.front()) frontOpen = true;
      if (s.audio >= 0) soundSource_ = sourceCount_;
      ++sourceCount_;
    } else {
      // A camera whose file does not open (no index, not a video file) is left out; the others
      // play, and the recording says it is damaged.
      damaged_.store(true, std::memory_order_release);
    }
  }
  if (frontOpen) AlignCameraClocks();
  // The camera's data comes from the front camera's file even when its pictures cannot play (a
  // file cut short keeps the blocks written as it went), or from the files beside it.
  if (!files.empty()) {
    metadata::RecordingMetadata read = metadata::ReadRecordingMetadata(
        files.front(), metadata::CameraClockMs(files.front()), &stop_);
    texts_ = metadata::ToTextRecords(read.data);
    std::lock_guard<std::mutex> hold(clockLock_);
    clockText_ = read.data.fixes.empty() ? "" : read.clock.Describe();
  }
  if (sourceCount_ == 0) return 0;
  open_ = true;
  cameras_.store(sourceCount_, std::memory_order_release);
  if (info) {
    *info = RecordingInfo();
    info->frontFrameRate = sources_[0].rate;
    info->frontFrameCount = sources_[0].frames;
    if (sourceCount_ > 1) {
      info->rearFrameRate = sources_[1].rate;
      info->rearFrameCount = sources_[1].frames;
    }
  }
  return 1;
}

int CContainerParser::PacketMs(const Source& source, const AVPacket* packet) const {
  const AVRational base = source.input->streams[packet->stream_index]->time_base;
  long long ms = ToMs(packet->dts != AV_NOPTS_VALUE ? packet->dts : packet->pts, base);
  if (ms == AV_NOPTS_VALUE) {
    if (packet->stream_index != source.video || source.lastVideoMs < 0) return -1;
    return source.lastVideoMs + 1000 / source.rate;
  }
  ms -= source.startMs;
  return int(std::clamp<long long>(ms, 0, 0x7FFFFFFF));
}

bool CContainerParser::ReadOne(Source& source) {
  PacketRef packet(av_packet_alloc());
  if (!packet) {
    source.ended = true;
    return false;
  }
  for (;;) {
    const int rc = av_read_frame(source.input.get(), packet.get());
    if (rc < 0) {
      if (rc != AVERROR_EOF) {
        // Cut short, unreadable or given up: what came before it plays.
        damaged_.store(true, std::memory_order_release);
        if (rc == AVERROR(EIO)) readFailed_.store(true, std::memory_order_release);
      }
      source.ended = true;
      return false;
    }
    if (packet->stream_index == source.video || packet->stream_index == source.audio) break;
    av_packet_unref(packet.get());
  }
  if (packet->flags & AV_PKT_FLAG_CORRUPT) damaged_.store(true, std::memory_order_release);
  const bool video = packet->stream_index == source.video;
  int ms = PacketMs(source, packet.get());
  if (ms < 0) ms = source.lastReadMs;
  source.lastReadMs = ms;
  (video ? source.videoQueue : source.audioQueue).push_back({std::move(packet), ms});
  return true;
}

void CContainerParser::ClearQueued(Source& source) {
  source.head.reset();
  source.videoQueue.clear();
  source.audioQueue.clear();
  source.ended = false;
  source.lastVideoMs = -1;
  source.lastReadMs = 0;
}

bool CContainerParser::FillHead(Source& source) {
  if (source.head) return true;
  // A file keeps its sound and pictures near each other, not in the order of their times (MPEG-TS
  // puts the sound ahead): both streams are read ahead until each has a packet, or a bound of
  // packets is queued, and the earlier of the two comes first.
  auto wanted = [&] {
    const std::size_t queued = source.videoQueue.size() + source.audioQueue.size();
    return queued < kMaxQueuedPackets &&
           (source.videoQueue.empty() || (source.audio >= 0 && source.audioQueue.empty()));
  };
  while (!source.ended && wanted()) ReadOne(source);
  std::deque<Queued>* from = nullptr;
  if (!source.videoQueue.empty()) from = &source.videoQueue;
  if (!source.audioQueue.empty() &&
      (from == nullptr || source.audioQueue.front().ms < from->front().ms)) {
    from = &source.audioQueue;
  }
  if (from == nullptr) return false;
  source.head = std::move(from->front().packet);
  source.headMs = from->front().ms;
  from->pop_front();
  return true;
}

bool CContainerParser::TakePicture(Source& source, void* buffer, int* size) {
  PacketRef packet = std::move(source.head);
  const int capacity = *size;
  source.lastVideoMs = source.headMs;
  AVPacket* out = packet.get();
  PacketRef filtered;
  if (source.annexB) {
    if (av_bsf_send_packet(source.annexB.get(), packet.get()) < 0) return false;
    filtered.reset(av_packet_alloc());
    if (!filtered || av_bsf_receive_packet(source.annexB.get(), filtered.get()) < 0) {
      return false;
    }
    out = filtered.get();
  }
  if (out->size <= 0 || out->size > capacity) {
    damaged_.store(true, std::memory_order_release);
    return false;
  }
  std::memcpy(buffer, out->data, std::size_t(out->size));
  *size = out->size;
  lastKey_ = IsKeyPicture(buffer, out->size, source.codec) ? 1 : 0;
  return true;
}

void CContainerParser::TakeSamples(const std::int16_t* samples, int count, int timeMs) {
  const int rate = audio_.outRate;
  for (int done = 0; done < count;) {
    if (audio_.building.empty()) {
      audio_.buildingMs = timeMs + int(static_cast<long long>(done) * 1000 / rate);
    }
    const int n = std::min<int>(count - done, kBlockSamples - int(audio_.building.size()));
    audio_.building.insert(audio_.building.end(), samples + done, samples + done + n);
    done += n;
    if (int(audio_.building.size()) >= kBlockSamples) FinishBlock();
  }
}

void CContainerParser::FinishBlock() {
  if (audio_.building.empty()) return;
  Block b;
  b.samples.swap(audio_.building);
  b.timeMs = audio_.buildingMs;
  blocks_.push_back(std::move(b));
  audio_.building.reserve(kBlockSamples);
}

void CContainerParser::DecodeSound(const AVPacket* packet, std::int64_t fileStartMs,
                                   int streamIndex, Source& source) {
  Sound& a = audio_;
  if (!a.decoder) return;
  if (avcodec_send_packet(a.decoder.get(), packet) < 0) {
    damaged_.store(true, std::memory_order_release);
    return;
  }
  const AVRational base = source.input->streams[streamIndex]->time_base;
  while (avcodec_receive_frame(a.decoder.get(), a.frame.get()) >= 0) {
    AVFrame* f = a.frame.get();
    const int channels = f->ch_layout.nb_channels;
    if (f->nb_samples <= 0 || f->nb_samples > kMaxSoundFrameSamples || channels <= 0 ||
        channels > kMaxSoundChannels || f->sample_rate <= 0 || f->sample_rate > 384000) {
      av_frame_unref(f);
      continue;
    }
    if (!a.resampler || a.inRate != f->sample_rate || a.inFormat != f->format ||
        a.inChannels != channels) {
      SwrContext* raw = nullptr;
      AVChannelLayout mono = AV_CHANNEL_LAYOUT_MONO;
      if (swr_alloc_set_opts2(&raw, &mono, AV_SAMPLE_FMT_S16, a.outRate, &f->ch_layout,
                              static_cast<AVSampleFormat>(f->format), f->sample_rate, 0,
                              nullptr) < 0 ||
          swr_init(raw) < 0) {
        swr_free(&raw);
        a.resampler.reset();
        av_frame_unref(f);
        continue;
      }
      a.resampler.reset(raw);
      a.inRate = f->sample_rate;
      a.inFormat = f->format;
      a.inChannels = channels;
    }
    // Where these samples stand: counted on from the samples before, unless the frame's own time
    // says otherwise by more than a gap.
    long long frameMs = ToMs(f->pts, base);
    if (frameMs != AV_NOPTS_VALUE) frameMs -= fileStartMs;
    const long long expected =
        a.anchorMs < 0 ? -1 : a.anchorMs + a.samplesSinceAnchor * 1000 / a.outRate;
    if (frameMs != AV_NOPTS_VALUE &&
        (a.anchorMs < 0 || std::llabs(frameMs - expected) > kSoundGapMs)) {
      FinishBlock();
      a.anchorMs = int(std::clamp<long long>(frameMs, -100000, 0x7FFFFFFF));
      a.samplesSinceAnchor = 0;
    } else if (a.anchorMs < 0) {
      a.anchorMs = 0;
      a.samplesSinceAnchor = 0;
    }
    const int room = swr_get_out_samples(a.resampler.get(), f->nb_samples);
    if (room <= 0 || room > 4 * kMaxSoundFrameSamples) {
      av_frame_unref(f);
      continue;
    }
    std::vector<std::int16_t> out(static_cast<std::size_t>(room));
    auto* dst = reinterpret_cast<std::uint8_t*>(out.data());
    const int made = swr_convert(a.resampler.get(), &dst, room,
                                 const_cast<const std::uint8_t**>(f->extended_data), f->nb_samples);
    av_frame_unref(f);
    if (made <= 0) continue;
    long long atMs = a.anchorMs + a.samplesSinceAnchor * 1000 / a.outRate;
    a.samplesSinceAnchor += made;
    int skip = 0;
    // Samples before the recording's start (an encoder's priming), or before the picture a seek
    // landed on, are not played.
    if (atMs < soundFromMs_) {
      skip = int(std::min<long long>(made, (soundFromMs_ - atMs) * a.outRate / 1000));
      atMs = soundFromMs_;
    }
    if (skip < made) TakeSamples(out.data() + skip, made - skip, int(atMs));
  }
}

void CContainerParser::FlushSound() {
  blocks_.clear();
  if (!audio_.decoder) return;
  avcodec_flush_buffers(audio_.decoder.get());
  audio_.resampler.reset();
  audio_.inRate = 0;
  audio_.building.clear();
  audio_.anchorMs = -1;
  audio_.samplesSinceAnchor = 0;
}

int CContainerParser::ReadPacket(char tag[8], void* buffer, int* size) {
  if (!open_ || buffer == nullptr || size == nullptr) return -1;
  for (int turns = 0; turns < kMaxPacketsToKey; ++turns) {
    if (stop_.load(std::memory_order_acquire)) return -1;
    // The source whose next packet is the earliest.
    int next = -1;
    for (int i = 0; i < sourceCount_; ++i) {
      if (!FillHead(sources_[i])) continue;
      if (next < 0 || sources_[i].headMs < sources_[next].headMs) next = i;
    }
    // The camera's records of a time go out before its pictures and sound.
    const int headMs = next >= 0 ? sources_[next].headMs : std::numeric_limits<int>::max();
    const int soundMs = blocks_.empty() ? headMs : std::min(headMs, blocks_.front().timeMs);
    if (TakeText(next < 0 && blocks_.empty() ? std::numeric_limits<int>::max() : soundMs, tag,
                 buffer, size)) {
      return 1;
    }
    // Sound whose time has come goes first; at the end what is left of it.
    if (!blocks_.empty() && (next < 0 || blocks_.front().timeMs <= sources_[next].headMs)) {
      Block& b = blocks_.front();
      const int bytes = int(b.samples.size() * 2);
      if (bytes > *size) {
        blocks_.pop_front();
        continue;
      }
      std::memcpy(buffer, b.samples.data(), std::size_t(bytes));
      *size = bytes;
      std::memcpy(tag, kTagAudio2Cam, 4);
      lastTimeMs_ = b.timeMs;
      blocks_.pop_front();
      return 1;
    }
    if (next < 0) {
      if (!audio_.building.empty()) {
        FinishBlock();
        continue;
      }
      return -1;
    }
    Source& s = sources_[next];
    if (s.head->stream_index == s.audio) {
      PacketRef packet = std::move(s.head);
      DecodeSound(packet.get(), s.startMs, s.audio, s);
      continue;
    }
    const int ms = s.headMs;
    int length = *size;
    if (!TakePicture(s, buffer, &length)) continue;
    *size = length;
    std::memcpy(tag, next == 0 ? kTagFront : kTagRear, 4);
    lastTimeMs_ = ms;
    return 1;
  }
  return 1;  // nothing yet: a long run of packets of no interest
}

MediaPacketType CContainerParser::ReadPacketDirect(void* buffer, int* size) {
  char tag[8] = {};
  const int r = ReadPacket(tag, buffer, size);
  if (r < 0) return kPacketEnd;
  switch (ClassifyChunkTag(tag)) {
    case ChunkKind::kFrontVideo:
      return kPacketFront;
    case ChunkKind::kRearVideo:
      return kPacketRear;
    case ChunkKind::kAudio:
      return kPacketAudio;
    default:
      return kPacketNotYet;
  }
}

bool CContainerParser::FindKeyPicture(Source& s) {
  for (int n = 0; n < kMaxPacketsToKey; ++n) {
    if (!FillHead(s)) return false;
    if (s.head->stream_index == s.video && (s.head->flags & AV_PKT_FLAG_KEY)) return true;
    // Sound before the key picture and pictures that need the ones before it are passed over.
    s.head.reset();
  }
  return false;
}

bool CContainerParser::SeekSource(Source& s, int target) {
  AVStream* st = s.input->streams[s.video];
  auto seekTo = [&](long long ms) {
    const std::int64_t ts = av_rescale_q(ms + s.startMs, AVRational{1, 1000}, st->time_base);
    ClearQueued(s);
    const bool moved = av_seek_frame(s.input.get(), s.video, ts, AVSEEK_FLAG_BACKWARD) >= 0 ||
                       avformat_seek_file(s.input.get(), s.video, INT64_MIN, ts, ts, 0) >= 0;
    if (s.annexB) av_bsf_flush(s.annexB.get());
    return moved && FindKeyPicture(s);
  };
  if (s.indexed) return seekTo(target);
  // Without an index (MPEG-TS) libavformat lands near the time, before or after it: earlier and
  // earlier until a key picture at or before it, then on to the last key picture before it.
  bool found = false;
  for (long long back = 0; back <= kSeekBackMs; back = back == 0 ? 1000 : back * 2) {
    if (!seekTo(std::max<long long>(0, target - back))) continue;
    found = true;
    if (s.headMs <= target || target - back <= 0) break;
  }
  if (!found || s.headMs >= target) return found;
  std::int64_t lastKeyPos = s.head->pos;
  for (int n = 0; n < kMaxPacketsToKey; ++n) {
    s.head.reset();
    if (!FillHead(s)) break;
    if (s.head->stream_index != s.video) continue;
    if (s.headMs > target) break;
    if ((s.head->flags & AV_PKT_FLAG_KEY) && s.head->pos >= 0) lastKeyPos = s.head->pos;
  }
  ClearQueued(s);
  if (lastKeyPos < 0 || av_seek_frame(s.input.get(), s.video, lastKeyPos, AVSEEK_FLAG_BYTE) < 0) {
    return seekTo(std::max(0, target - int(kSeekBackMs)));
  }
  if (s.annexB) av_bsf_flush(s.annexB.get());
  return FindKeyPicture(s);
}

int CContainerParser::SeekToKeyMs(int ms) {
  if (!open_) return -1;
  FlushSound();
  int landed = -1;
  for (int i = 0; i < sourceCount_; ++i) {
    Source& s = sources_[i];
    const int target = i == 0 ? std::max(0, ms) : std::max(0, landed);
    if (!SeekSource(s, target)) {
      if (i == 0) return -1;
      ClearQueued(s);
      s.ended = true;  // the second camera stops here; the front one plays on
      continue;
    }
    if (i == 0) landed = s.headMs;
  }
  lastTimeMs_ = landed;
  soundFromMs_ = std::max(0, landed);
  // The records from the landed picture on.
  textNext_ = std::size_t(
      std::lower_bound(texts_.begin(), texts_.end(), std::max(0, landed),
                       [](const metadata::TextRecord& r, int t) { return r.mediaMs < t; }) -
      texts_.begin());
  return landed;
}

bool CContainerParser::TakeText(int beforeMs, char tag[8], void* buffer, int* size) {
  while (textNext_ < texts_.size() && texts_[textNext_].mediaMs <= beforeMs) {
    const metadata::TextRecord& r = texts_[textNext_++];
    // The engine ends a record with a zero in the byte after it.
    const int bytes = int(r.bytes.size());
    if (bytes + 1 > *size) continue;
    std::memcpy(buffer, r.bytes.data(), r.bytes.size());
    *size = bytes;
    std::memcpy(tag, kTagText2Cam, 4);
    lastTimeMs_ = r.mediaMs;
    return true;
  }
  return false;
}

std::string CContainerParser::ClockText() const {
  std::lock_guard<std::mutex> hold(clockLock_);
  return clockText_;
}

int CContainerParser::SeekTime(float seconds) {
  if (!std::isfinite(seconds)) return -1;
  const double ms = std::clamp(double(seconds) * 1000.0, 0.0, 2e9);
  return SeekToKeyMs(int(ms)) >= 0 ? 0 : -1;
}

int* CContainerParser::GetVideoSize(int out[2], int stream) {
  out[0] = out[1] = 0;
  if (stream >= 0 && stream < sourceCount_) {
    out[0] = sources_[stream].width;
    out[1] = sources_[stream].height;
  }
  return out;
}

int CContainerParser::GetFrameRate(int stream) {
  return stream >= 0 && stream < sourceCount_ ? sources_[stream].rate : 0;
}

VideoCodec CContainerParser::GetVideoCodec(int stream) {
  return stream >= 0 && stream < sourceCount_ ? sources_[stream].codec : VideoCodec::kH264;
}

void CContainerParser::GetAudioFormat(int* bitsPerSample, int* samplesPerSecond) {
  *bitsPerSample = 16;
  *samplesPerSecond = audio_.decoder ? audio_.outRate : 0;
}
