// SPDX-License-Identifier: GPL-3.0-or-later
// The reader the player engine is given: a recording of the VEX card is read by the VEX parser,
// one of another camera's files (a name of ContainerRecordingName's form) by the container
// parser. Each Open picks the reader; every later call goes to it until the next Open. Both
// readers stay their owner's.
#pragma once

#include <atomic>

#include "media/VMediaParser.h"

class CRecordingParser final : public VMediaParser {
 public:
  CRecordingParser(VMediaParser* vex, VMediaParser* container)
      : vex_(vex), container_(container), active_(vex) {}

  bool Start() override;
  void Stop() override;
  int Open(const char* name, RecordingInfo* info) override;
  void Close() override { Active()->Close(); }
  MediaPacketType ReadPacketDirect(void* buffer, int* size) override {
    return Active()->ReadPacketDirect(buffer, size);
  }
  int ReadPacket(char tag[8], void* buffer, int* size) override {
    return Active()->ReadPacket(tag, buffer, size);
  }
  bool OpenIndexed(const char* name, RecordingInfo* info) override;
  void Reserved(int value) override { Active()->Reserved(value); }
  int* GetVideoSize(int out[2], int stream) override { return Active()->GetVideoSize(out, stream); }
  int GetFrameRate(int stream) override { return Active()->GetFrameRate(stream); }
  void GetAudioFormat(int* bits, int* rate) override { Active()->GetAudioFormat(bits, rate); }
  int ReadRaw(void* buffer, int count) override { return Active()->ReadRaw(buffer, count); }
  int SeekRaw(int offset, int origin) override { return Active()->SeekRaw(offset, origin); }
  int TellRaw() override { return Active()->TellRaw(); }
  int SeekTime(float seconds) override { return Active()->SeekTime(seconds); }
  bool SeeksToWholeSeconds() override { return Active()->SeeksToWholeSeconds(); }
  int LastPacketTimeMs() override { return Active()->LastPacketTimeMs(); }
  bool ReadFailed() const override { return Active()->ReadFailed(); }
  VideoCodec GetVideoCodec(int stream) override { return Active()->GetVideoCodec(stream); }
  int LastPacketKey() const override { return Active()->LastPacketKey(); }
  bool TimesPictures() const override { return Active()->TimesPictures(); }
  int SeekToKeyMs(int ms) override { return Active()->SeekToKeyMs(ms); }
  bool HasSound() const override { return Active()->HasSound(); }
  bool Damaged() const override { return Active()->Damaged(); }

 private:
  VMediaParser* Active() const { return active_.load(std::memory_order_acquire); }
  VMediaParser* For(const char* name) const;

  VMediaParser* vex_;
  VMediaParser* container_;
  std::atomic<VMediaParser*> active_;
};
