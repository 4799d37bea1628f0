// SPDX-License-Identifier: GPL-3.0-or-later
// The interface every reader of recordings offers to its consumers (the player engine, the file
// download). Calling order: Start once; per recording Open, any number of ReadPacket and SeekTime,
// Close; Stop once before destruction.
#pragma once

#include "media/MediaTypes.h"

class VMediaParser {
 public:
  // Threaded readers allocate their work buffer, size their queue and start their reader thread.
  virtual bool Start() = 0;
  // Stops the reader thread and frees the work buffer.
  virtual void Stop() = 0;
  // Opens a recording and fills info; nonzero on success.
  virtual int Open(const char* name, RecordingInfo* info) = 0;
  // Releases the source; the reader thread goes idle.
  virtual void Close() = 0;
  // Reads the next packet straight from the source. *size: capacity in, payload length out.
  virtual MediaPacketType ReadPacketDirect(void* buffer, int* size) = 0;
  // Fills tag (8 bytes, zeroed by the caller), payload and length. > 0: a packet, or with the tag
  // left empty nothing available yet; < 0: end of the recording.
  virtual int ReadPacket(char tag[8], void* buffer, int* size) = 0;
  // Opens and builds the table of front pictures.
  virtual bool OpenIndexed(const char* name, RecordingInfo* info) = 0;
  // Unused slot kept for the interface's shape; every reader ignores it.
  virtual void Reserved(int value) = 0;
  // {width, height} of video stream 0 (front) or 1 (rear), written into out and returned.
  virtual int* GetVideoSize(int out[2], int stream) = 0;
  virtual int GetFrameRate(int stream) = 0;
  virtual void GetAudioFormat(int* bitsPerSample, int* samplesPerSecond) = 0;
  virtual int ReadRaw(void* buffer, int count) = 0;
  // stdio-style origin: 0 start, 1 current.
  virtual int SeekRaw(int offset, int origin) = 0;
  virtual int TellRaw() = 0;
  // Moves the read position to a time; see SeeksToWholeSeconds for what the result means.
  virtual int SeekTime(float seconds) = 0;
  // True: SeekTime returns the whole second reached. False: it returns 0 on success, -1 on failure.
  virtual bool SeeksToWholeSeconds() = 0;
  // The time of the packet the last ReadPacket delivered, in ms from the recording's start; -1
  // when the reader does not know it. The player paces its pictures by the sound's times.
  virtual int LastPacketTimeMs() { return -1; }
  // True when the recording's end came from a read that failed (the card gone or unreadable),
  // not from its last packet; until the next Open.
  virtual bool ReadFailed() const { return false; }

  // ---- Readers of timed containers (other cameras' MP4, MOV and MPEG-TS files) ----
  // The coding of video stream 0 (front) or 1 (the second camera shown).
  virtual VideoCodec GetVideoCodec(int stream) {
    (void)stream;
    return VideoCodec::kH264;
  }
  // Whether the picture ReadPacket delivered last is a key picture, as the container marks it:
  // 1 yes, 0 no, -1 the reader cannot tell (the picture's bytes then say).
  virtual int LastPacketKey() const { return -1; }
  // True when LastPacketTimeMs gives every picture's own time (its place in decoding order), so
  // that the player paces pictures by their times rather than by their count.
  virtual bool TimesPictures() const { return false; }
  // Moves every camera to its key picture at or before ms: returns the front camera's key
  // picture's time (ms from the start), or -1 when the seek failed. -2: the reader does not seek
  // this way (the player then uses SeekTime).
  virtual int SeekToKeyMs(int ms) {
    (void)ms;
    return -2;
  }
  // Whether the recording has sound: a reader of a recording without any plays its pictures on
  // their own times.
  virtual bool HasSound() const { return true; }
  // True once a part of the recording could not be read (a broken index, a packet cut short or
  // too large) and was passed over; until the next Open.
  virtual bool Damaged() const { return false; }
  virtual ~VMediaParser() = default;
};
