#include "media/CThreadQueue.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "media/MediaTypes.h"
#include "support/Diag.h"

void CPacketStore::Reserve(int bytes, int packets) {
  bytes_.Reserve(bytes);
  lengths_.Reserve(packets);
  values_.Reserve(packets);
  Clear();
}

void CPacketStore::Clear() {
  bytes_.SetCount(0);
  lengths_.SetCount(0);
  values_.SetCount(0);
  head_ = first_ = 0;
}

void CPacketStore::Compact() {
  if (first_ == 0) return;
  bytes_.RemoveAt(0, head_);
  lengths_.RemoveAt(0, first_);
  values_.RemoveAt(0, first_);
  head_ = first_ = 0;
}

void CPacketStore::Push(const void* data, int length, int value) {
  // Room at the back is made by moving the unread packets to the front rather than growing.
  if (bytes_.GetCount() + length > bytes_.GetCapacity()) Compact();
  // An unbounded queue grows by doubling, so that a run of pushes does not copy the store each
  // time.
  int needed = bytes_.GetCount() + length;
  if (needed > bytes_.GetCapacity()) bytes_.Grow(std::max(needed, bytes_.GetCapacity() * 2));
  bytes_.Append(static_cast<const unsigned char*>(data), length);
  lengths_.Add(length);
  values_.Add(value);
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
  } else if (head_ >= StoredBytes() || first_ >= 64) {
    Compact();
  }
  return true;
}

bool CThreadQueue::SetCapacity(int bytes) {
  if (bytes < 0) bytes = 0;
  store_.Reserve(bytes, 100);
  capacity_ = bytes;
  return true;
}

void CThreadQueue::Clear() {
  std::lock_guard<CSync> hold(lock_);
  store_.Clear();
}

bool CThreadQueue::Push(const void* data, int length, int value) {
  if (length < 0 || (length > 0 && !data)) return false;
  std::lock_guard<CSync> hold(lock_);
  if (store_.StoredBytes() + static_cast<long long>(length) >= capacity_) return false;
  store_.Push(data, length, value);
  return true;
}

bool CThreadQueue::Pop(void* destination, int* length, int* value) {
  std::lock_guard<CSync> hold(lock_);
  if (!store_.Pop(destination, length, value)) {
    DiagPrintf("[CThreadQueue] Pop Empty\n");
    return false;
  }
  return true;
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
  store_.Push(data, length, value);
  return true;
}

bool DecodeQueue::Pop(void* destination, int* length, int* value) {
  std::lock_guard<CSync> hold(lock_);
  return store_.Pop(destination, length, value);
}

int DecodeQueue::Count() {
  std::lock_guard<CSync> hold(lock_);
  return store_.Count();
}
