// SPDX-License-Identifier: GPL-3.0-or-later
#include "media/CThreadQueue.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstring>
#include <mutex>

#include "media/MediaTypes.h"
#include "support/Diag.h"

bool CPacketStore::Reserve(int bytes, int packets) {
  const bool reserved =
      bytes_.Reserve(bytes) && lengths_.Reserve(packets) && values_.Reserve(packets);
  Clear();
  return reserved;
}

void CPacketStore::Clear() {
  bytes_.SetCount(0);
  lengths_.SetCount(0);
  values_.SetCount(0);
  head_ = first_ = 0;
}

bool CPacketStore::Compact() {
  if (first_ == 0) return true;
  // Moving needs no memory once each store's storage is its own (it always is: the stores are
  // never copied); taking that step for all three first means no move can fail halfway.
  if (!bytes_.CopyBeforeWrite() || !lengths_.CopyBeforeWrite() || !values_.CopyBeforeWrite()) {
    return false;
  }
  bytes_.RemoveAt(0, head_);
  lengths_.RemoveAt(0, first_);
  values_.RemoveAt(0, first_);
  head_ = first_ = 0;
  return true;
}

bool CPacketStore::Push(const void* data, int length, int value) {
  if (length < 0 || (length > 0 && !data)) return false;
  // Room at the back is made by moving the unread packets to the front rather than growing. The
  // move changes no packet, so a push refused after it leaves the same packets.
  if (std::int64_t(bytes_.GetCount()) + length > bytes_.GetCapacity() && !Compact()) return false;
  // Every store gets its room before any of them takes the packet: growing is the only step that
  // can fail, and a failure then leaves all three as they were.
  if (!lengths_.EnsureRoom(1) || !values_.EnsureRoom(1)) return false;
  const std::int64_t needed = std::int64_t(bytes_.GetCount()) + length;
  if (needed > INT_MAX) return false;
  if (needed > bytes_.GetCapacity()) {
    // An unbounded queue grows by doubling, so that a run of pushes does not copy the store each
    // time.
    const std::int64_t doubled =
        std::min<std::int64_t>(2 * std::int64_t(bytes_.GetCapacity()), INT_MAX);
    if (!bytes_.Grow(int(std::max(needed, doubled)))) return false;
  }
  const int bytesBefore = bytes_.GetCount();
  const int packetsBefore = lengths_.GetCount();
  if (bytes_.Append(static_cast<const unsigned char*>(data), length) && lengths_.Add(length) &&
      values_.Add(value)) {
    return true;
  }
  // Not reached with the room made above; should it happen, the stores are put back as they were
  // (shrinking needs no memory).
  bytes_.SetCount(bytesBefore);
  lengths_.SetCount(packetsBefore);
  values_.SetCount(packetsBefore);
  return false;
}

bool CPacketStore::Pop(void* destination, int* length, int* value) {
  if (Count() == 0) return false;
  int n = lengths_[first_];
  if (n > 0) std::memcpy(destination, bytes_.GetData() + head_, std::size_t(n));
  *length = n;
  *value = values_[first_];
  head_ += n;
  ++first_;
  if (Count() == 0) {
    Clear();
  } else if (head_ >= StoredBytes()) {
    // Moves no more bytes than were popped since the last move; when it cannot, the popped bytes
    // stay in front a while longer.
    Compact();
  }
  return true;
}

bool CPacketStore::Peek(int index, const void** data, int* length, int* value) const {
  if (index < 0 || index >= Count()) return false;
  std::int64_t offset = head_;
  for (int i = first_; i < first_ + index; ++i) offset += lengths_[i];
  const int n = lengths_[first_ + index];
  *data = n > 0 ? bytes_.GetData() + offset : nullptr;
  *length = n;
  *value = values_[first_ + index];
  return true;
}

int CPacketStore::Erase(const std::function<bool(int index, int value)>& drop) {
  if (Count() == 0) return 0;
  if (!bytes_.CopyBeforeWrite() || !lengths_.CopyBeforeWrite() || !values_.CopyBeforeWrite()) {
    return 0;
  }
  unsigned char* bytes = bytes_.GetData();
  int from = head_, to = 0, kept = 0, removed = 0;
  for (int i = first_; i < lengths_.GetCount(); ++i) {
    const int n = lengths_[i];
    const int v = values_[i];
    if (drop(i - first_, v)) {
      ++removed;
    } else {
      if (n > 0 && from != to) std::memmove(bytes + to, bytes + from, std::size_t(n));
      lengths_[kept] = n;
      values_[kept] = v;
      to += n;
      ++kept;
    }
    from += n;
  }
  bytes_.SetCount(to);
  lengths_.SetCount(kept);
  values_.SetCount(kept);
  head_ = first_ = 0;
  return removed;
}

bool CThreadQueue::SetCapacity(int bytes) {
  if (bytes < 0) bytes = 0;
  // Twice the capacity: popped bytes stay in front until they outweigh the queued ones, so the
  // store holds up to twice what is queued without growing.
  const bool reserved = store_.Reserve(bytes > 0x3FFFFFFF ? bytes : 2 * bytes, 100);
  capacity_ = bytes;
  return reserved;
}

void CThreadQueue::Clear() {
  bool notify;
  {
    std::lock_guard<CSync> hold(lock_);
    store_.Clear();
    wakeAll_ = false;
    wakeProducers_ = false;
    notify = roomWaiters_ > 0;
  }
  if (notify) roomMade_.notify_all();
}

bool CThreadQueue::Push(const void* data, int length, int value) {
  if (length < 0 || (length > 0 && !data)) return false;
  bool notify;
  {
    std::lock_guard<CSync> hold(lock_);
    if (!Fits(length) || !store_.Push(data, length, value)) return false;
    wakeAll_ = false;
    wakeProducers_ = false;
    notify = dataWaiters_ > 0 && DataReady();
  }
  if (notify) dataArrived_.notify_all();
  return true;
}

bool CThreadQueue::Pop(void* destination, int* length, int* value) {
  if (TryPop(destination, length, value)) return true;
  DiagPrintf("[CThreadQueue] Pop Empty\n");
  return false;
}

bool CThreadQueue::TryPop(void* destination, int* length, int* value) {
  bool notify;
  {
    std::lock_guard<CSync> hold(lock_);
    if (!store_.Pop(destination, length, value)) return false;
    notify = roomWaiters_ > 0 && store_.StoredBytes() <= capacity_ / 2;
  }
  if (notify) roomMade_.notify_all();
  return true;
}

bool CThreadQueue::Fits(int length) const {
  // The stored bytes stay below the capacity; only an empty queue takes a packet that reaches it,
  // since a packet as large as the capacity would otherwise never be taken.
  return store_.StoredBytes() + static_cast<long long>(length) < capacity_ ||
         (store_.Count() == 0 && length <= capacity_);
}

bool CThreadQueue::RoomFor(int length) const {
  return store_.StoredBytes() <= capacity_ / 2 && Fits(length);
}

bool CThreadQueue::DataReady() const {
  return wakeAll_ || store_.Count() >= kWakeCount || store_.StoredBytes() >= capacity_ / 8;
}

void CThreadQueue::WakeConsumers() {
  {
    std::lock_guard<CSync> hold(lock_);
    wakeAll_ = true;
  }
  dataArrived_.notify_all();
}

void CThreadQueue::WaitForData(unsigned timeoutMs) {
  std::unique_lock<CSync> hold(lock_);
  ++dataWaiters_;
  dataArrived_.wait_for(hold, std::chrono::milliseconds(timeoutMs), [&] { return DataReady(); });
  --dataWaiters_;
}

void CThreadQueue::WakeProducers() {
  {
    std::lock_guard<CSync> hold(lock_);
    wakeProducers_ = true;
  }
  roomMade_.notify_all();
}

void CThreadQueue::WaitForRoom(int length, unsigned timeoutMs) {
  std::unique_lock<CSync> hold(lock_);
  ++roomWaiters_;
  roomMade_.wait_for(hold, std::chrono::milliseconds(timeoutMs),
                     [&] { return wakeProducers_ || RoomFor(length); });
  --roomWaiters_;
}

int CThreadQueue::StoredBytes() {
  std::lock_guard<CSync> hold(lock_);
  return store_.StoredBytes();
}

int CThreadQueue::Count() {
  std::lock_guard<CSync> hold(lock_);
  return store_.Count();
}

void DecodeQueue::Clear() {
  std::lock_guard<CSync> hold(lock_);
  store_.Clear();
}

bool DecodeQueue::Push(int value, const void* data, int length) {
  if (length < 0 || length > kPacketBufferSize || (length > 0 && !data)) return false;
  std::lock_guard<CSync> hold(lock_);
  return store_.Push(data, length, value);
}

bool DecodeQueue::Pop(void* destination, int* length, int* value) {
  std::lock_guard<CSync> hold(lock_);
  return store_.Pop(destination, length, value);
}

bool DecodeQueue::Peek(int index, const void** data, int* length, int* value) {
  std::lock_guard<CSync> hold(lock_);
  return store_.Peek(index, data, length, value);
}

int DecodeQueue::Erase(const std::function<bool(int index, int value)>& drop) {
  std::lock_guard<CSync> hold(lock_);
  return store_.Erase(drop);
}

int DecodeQueue::Count() {
  std::lock_guard<CSync> hold(lock_);
  return store_.Count();
}
