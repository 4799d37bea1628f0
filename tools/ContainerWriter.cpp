// SPDX-License-Identifier: GPL-3.0-or-later
#include "tools/ContainerWriter.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/error.h>
}

#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
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
                           std::string* error) {
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
  // The muxers' defaults: MP4 and MOV write their index after the media, at the end.
  rc = avformat_write_header(f, nullptr);
  if (rc < 0) return Fail("cannot write the container's header", rc, error);
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
  const AVRational given = stream == soundStream_ ? AVRational{1, soundRate_} : AVRational{1, fps_};
  av_packet_rescale_ts(p, given, format_->streams[stream]->time_base);
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

}  // namespace tools
