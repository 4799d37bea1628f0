// SPDX-License-Identifier: GPL-3.0-or-later
// First-in, first-out packet queues that copy payload bytes in and out. Each packet carries one
// producer-chosen value (a MediaPacketType code).
//
// CThreadQueue is bounded: it sits between a parser's reader thread (Push) and the consumer (Pop),
// and a third thread may Clear it. DecodeQueue is the engine's unbounded queue between reading a
// packet and presenting it. Every operation but SetCapacity holds the queue's lock for its whole
// run, copies included; nothing waits for room or data.
#pragma once

#include <condition_variable>
#include <functional>

#include "platform/Threads.h"
#include "support/LumArray.h"

// The three stores both queues keep: payloads back to back (oldest first), one length and one
// value per packet. Callers hold the owning queue's lock.
class CPacketStore {
 public:
  // Empties the store and reserves room; false when the memory could not all be had (the store
  // then grows as packets come).
  bool Reserve(int bytes, int packets);
  void Clear();
  // Appends a packet; false, with the store as it was, when memory for it cannot be had or the
  // bytes would pass INT_MAX.
  bool Push(const void* data, int length, int value);
  // Copies the oldest packet out and removes it; false when empty.
  bool Pop(void* destination, int* length, int* value);
  // Where packet `index` after the oldest lies; false past the newest.
  bool Peek(int index, const void** data, int* length, int* value) const;
  // Removes the packets for which drop(index after the oldest, value) is true, the others keeping
  // their order; how many went. Needs no memory.
  int Erase(const std::function<bool(int index, int value)>& drop);
  int StoredBytes() const { return bytes_.GetCount() - head_; }
  int Count() const { return lengths_.GetCount() - first_; }

 private:
  // Moves the unread packets to the front of the stores; false (nothing moved) when it cannot.
  bool Compact();

  CLumArrBase<unsigned char> bytes_;
  CLumArrBase<int> lengths_;
  CLumArrBase<int> values_;
  // Packets already popped but not yet moved out of the stores. Moving the remaining bytes to the
  // front on every pop costs up to a whole queue of copying per small packet; moving them once
  // the popped part outgrows the rest (or a push finds no room behind them) keeps the same order
  // and copies each byte at most once more.
  int head_ = 0;   // bytes
  int first_ = 0;  // packets
};

class CThreadQueue {
 public:
  CThreadQueue() = default;
  virtual ~CThreadQueue() = default;
  CThreadQueue(const CThreadQueue&) = delete;
  CThreadQueue& operator=(const CThreadQueue&) = delete;

  // Reserves the byte store up front so that the queue never reallocates while it runs, empties
  // it and records the capacity. False when the reservation failed; the queue then still works,
  // growing as it goes. Not locked: called once before the queue is shared.
  bool SetCapacity(int bytes);
  void Clear();
  // Refuses (false, nothing stored) a packet that would bring the stored bytes to the capacity or
  // beyond, except that an empty queue takes a packet of up to the whole capacity; also when
  // memory for the packet cannot be had.
  bool Push(const void* data, int length, int value);
  // Prints "[CThreadQueue] Pop Empty" and returns false when empty. The destination must hold the
  // largest packet; no packet of a queue sized for the callers' buffers is larger.
  bool Pop(void* destination, int* length, int* value);
  // Pop without the message: for a consumer to whom an empty queue is the ordinary moment to
  // wait, where a line written and flushed per packet would cost more than the packet.
  bool TryPop(void* destination, int* length, int* value);

  int StoredBytes();
  int Count();

  // Pause for up to timeoutMs. WaitForData ends early once kWakeCount packets or an eighth of the
  // capacity are queued; WaitForRoom once the queue has drained to half its capacity and Push
  // would take a packet of `length` bytes. Handing packets over in batches costs one wake-up per
  // many packets, where waking for each one would cost a thread switch per packet. Neither takes or
  // gives packets: the caller retries its Pop or Push, as it would after a plain pause.
  void WaitForData(unsigned timeoutMs);
  void WaitForRoom(int length, unsigned timeoutMs);
  // Ends every WaitForData now: the producer has pushed its last packet or stopped, and a
  // consumer should not wait for a batch that will not come.
  void WakeConsumers();
  // Ends every WaitForRoom now: the producer is to stop pushing (its reader is being parked), and
  // should not wait for room that may never come while nobody reads.
  void WakeProducers();

 private:
  // Whether Push takes a packet of `length` bytes now; RoomFor also wants the queue half drained.
  bool Fits(int length) const;
  bool RoomFor(int length) const;
  bool DataReady() const;

  bool wakeAll_ = false;        // WakeConsumers was called; cleared by the next Push or Clear
  bool wakeProducers_ = false;  // WakeProducers was called; cleared by the next Push or Clear
  static constexpr int kWakeCount = 32;

  CSync lock_{"none"};
  // Threads pausing in the waits, counted under the lock so that Push and Pop notify only when
  // somebody listens.
  std::condition_variable_any dataArrived_;
  std::condition_variable_any roomMade_;
  int dataWaiters_ = 0;
  int roomWaiters_ = 0;
  int capacity_ = 0;
  CPacketStore store_;
};

class DecodeQueue {
 public:
  DecodeQueue() = default;
  DecodeQueue(const DecodeQueue&) = delete;
  DecodeQueue& operator=(const DecodeQueue&) = delete;

  void Clear();
  // Appends; the stores grow as needed. A packet larger than the consumers' 1,048,576-byte
  // buffers (or of negative length) is refused, since popping it would overrun them, and so is one
  // the stores cannot grow for (the queue stays as it was).
  bool Push(int value, const void* data, int length);
  // false when empty, without a message.
  bool Pop(void* destination, int* length, int* value);
  // The packet `index` places after the oldest (0: the oldest), without taking it; false past the
  // newest. The bytes stay where they are only until the queue next changes: for a queue whose
  // pushes and pops all happen on the caller's thread.
  bool Peek(int index, const void** data, int* length, int* value);
  // As CPacketStore::Erase.
  int Erase(const std::function<bool(int index, int value)>& drop);
  int Count();

 private:
  CSync lock_{"none"};
  CPacketStore store_;
};
