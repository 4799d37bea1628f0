// SPDX-License-Identifier: GPL-3.0-or-later
// A parser that passes every call to another; tests and benchmarks derive from it to watch or
// change a few calls (count the pictures handed out, change a frame rate).
#pragma once

#include "media/VMediaParser.h"

namespace roadeye_test {

class ForwardingParser : public VMediaParser {
 public:
  explicit ForwardingParser(VMediaParser* inner) : inner_(inner) {}
  bool Start() override { return inner_->Start(); }
  void Stop() override { inner_->Stop(); }
  int Open(const char* n, RecordingInfo* i) override { return inner_->Open(n, i); }
  void Close() override { inner_->Close(); }
  MediaPacketType ReadPacketDirect(void* b, int* s) override {
    return inner_->ReadPacketDirect(b, s);
  }
  int ReadPacket(char tag[8], void* b, int* s) override { return inner_->ReadPacket(tag, b, s); }
  bool OpenIndexed(const char* n, RecordingInfo* i) override { return inner_->OpenIndexed(n, i); }
  void Reserved(int v) override { inner_->Reserved(v); }
  int* GetVideoSize(int out[2], int s) override { return inner_->GetVideoSize(out, s); }
  int GetFrameRate(int s) override { return inner_->GetFrameRate(s); }
  void GetAudioFormat(int* b, int* r) override { inner_->GetAudioFormat(b, r); }
  int ReadRaw(void* b, int c) override { return inner_->ReadRaw(b, c); }
  int SeekRaw(int o, int w) override { return inner_->SeekRaw(o, w); }
  int TellRaw() override { return inner_->TellRaw(); }
  int SeekTime(float s) override { return inner_->SeekTime(s); }
  bool SeeksToWholeSeconds() override { return inner_->SeeksToWholeSeconds(); }
  int LastPacketTimeMs() override { return inner_->LastPacketTimeMs(); }
  bool ReadFailed() const override { return inner_->ReadFailed(); }
  VideoCodec GetVideoCodec(int s) override { return inner_->GetVideoCodec(s); }
  int LastPacketKey() const override { return inner_->LastPacketKey(); }
  bool TimesPictures() const override { return inner_->TimesPictures(); }
  int SeekToKeyMs(int ms) override { return inner_->SeekToKeyMs(ms); }
  bool HasSound() const override { return inner_->HasSound(); }
  bool Damaged() const override { return inner_->Damaged(); }

 protected:
  VMediaParser* inner_;
};

}  // namespace roadeye_test
