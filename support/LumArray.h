// SPDX-License-Identifier: GPL-3.0-or-later
// Reference-counted, copy-on-write arrays.
//
// CLumArrBase<T> holds plain records (bytes, integers, small structs) and copies them bytewise.
// CLumArray<T> holds objects: it constructs, destructs and assigns them, so an array of arrays
// shares the inner arrays' blocks when it is copied.
//
// Copies share one block of storage and its reference count; every writer first calls
// CopyBeforeWrite, which gives the array a block of its own when the block is shared. The
// non-const accessors (GetData, operator[]) do that themselves, the const ones never copy.
//
// Every slot of the storage, in use or not, holds a constructed element: allocation constructs all
// of them, Release destructs all of them. Slots past the count hold default (zeroed) elements.
//
// Only the reference count is atomic. One array object is not safe for concurrent use: its owner
// locks around every operation. Sizes that are negative or would overflow are refused (false),
// and an allocation that fails leaves the array unchanged (false); nothing throws.
#pragma once

#include <atomic>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

// The block that copies of an array share: the element storage and how many arrays use it. A
// negative count marks a block that is never shared (Assign copies from it instead).
template <class T>
struct tLumArrayData {
  T* storage = nullptr;
  std::atomic<int> refs{1};
};

template <class T>
class CLumArrBase {
 public:
  CLumArrBase() { InitEmpty(); }
  CLumArrBase(const CLumArrBase& other) {
    InitEmpty();
    Assign(other);
  }
  CLumArrBase(CLumArrBase&& other) noexcept { TakeFrom(other); }
  CLumArrBase& operator=(const CLumArrBase& other) {
    Assign(other);
    return *this;
  }
  CLumArrBase& operator=(CLumArrBase&& other) noexcept {
    if (this != &other) {
      Release();
      TakeFrom(other);
    }
    return *this;
  }

  // The element hooks, in this order (derived arrays of objects override them).
 protected:
  // Puts n fresh elements into raw, zeroed memory. Plain records need nothing.
  virtual void ConstructElements(T* p, int n) {
    (void)p;
    (void)n;
  }
  // Ends the life of n elements. Plain records need nothing.
  virtual void DestructElements(T* p, int n) {
    (void)p;
    (void)n;
  }

 public:
  // A derived class must Release in its own destructor: from here on its hooks are gone.
  virtual ~CLumArrBase() { Release(); }

 protected:
  // Copies n elements from src into slots dstIndex.. of this array (constructed slots).
  virtual void CopyElements(const T* src, int dstIndex, int n) {
    if (n > 0) {
      std::memmove(static_cast<void*>(elements_ + dstIndex), static_cast<const void*>(src),
                   static_cast<std::size_t>(n) * sizeof(T));
    }
  }

 public:
  int GetCount() const { return count_; }
  int GetCapacity() const { return capacity_; }
  // How many arrays share the storage; 0 when the array has none.
  int RefCount() const { return block_ ? block_->refs.load(std::memory_order_acquire) : 0; }

  const T* GetData() const { return elements_; }
  // Detaches shared storage first, so writes through the pointer stay in this array.
  T* GetData() {
    CopyBeforeWrite();
    return elements_;
  }
  const T& operator[](int index) const { return elements_[index]; }
  T& operator[](int index) {
    CopyBeforeWrite();
    return elements_[index];
  }

  // Gives up this array's share of its storage, freeing it when this was the last user. The
  // array is empty afterwards.
  void Release() {
    if (elements_ != nullptr) ReleaseBlock(block_, elements_, capacity_);
    InitEmpty();
  }

  // Makes room for at least n elements. When the storage is too small it is replaced and the
  // contents are discarded (count 0).
  bool Reserve(int n) {
    if (n < 0 || n > MaxElements()) return false;
    if (capacity_ >= n) return true;
    tLumArrayData<T>* block = nullptr;
    T* storage = nullptr;
    if (!NewBlock(n, &block, &storage)) return false;
    Release();
    Adopt(block, storage, n);
    return true;
  }

  // Grows the storage to exactly n elements, keeping the contents. Never shrinks.
  bool Grow(int n) {
    if (n < 0 || n > MaxElements()) return false;
    if (elements_ == nullptr) {
      if (n == 0) return true;
      return Reserve(n);
    }
    if (capacity_ >= n) return true;
    // Growing replaces the block's storage, which must not pull it from under other users.
    if (!CopyBeforeWrite()) return false;
    T* storage = AllocStorage(n);
    if (storage == nullptr) return false;
    // The elements move bytewise: their old places are freed without destructing them.
    std::memcpy(static_cast<void*>(storage), static_cast<const void*>(elements_),
                static_cast<std::size_t>(capacity_) * sizeof(T));
    ConstructElements(storage + capacity_, n - capacity_);
    std::free(static_cast<void*>(elements_));
    block_->storage = storage;
    elements_ = storage;
    capacity_ = n;
    return true;
  }

  // Gives the array storage of its own when it shares it. Every writer calls this first.
  bool CopyBeforeWrite() {
    if (block_ == nullptr || block_->refs.load(std::memory_order_acquire) < 2) return true;
    tLumArrayData<T>* oldBlock = block_;
    T* oldElements = elements_;
    const int oldCapacity = capacity_;
    const int oldCount = count_;
    tLumArrayData<T>* block = nullptr;
    T* storage = nullptr;
    if (!NewBlock(oldCapacity, &block, &storage)) return false;
    // Copy first, then let go of the old block: it stays valid while we read from it.
    Adopt(block, storage, oldCapacity);
    CopyElements(oldElements, 0, oldCount);
    count_ = oldCount;
    ReleaseBlock(oldBlock, oldElements, oldCapacity);
    return true;
  }

  // Makes room for k more elements, doubling the needed size when it has to grow.
  bool EnsureRoom(int k) {
    if (k < 0) return false;
    const std::int64_t need = static_cast<std::int64_t>(count_) + k;
    if (need > MaxElements()) return false;
    if (capacity_ >= need) return true;
    const std::int64_t doubled = need * 2 > MaxElements() ? MaxElements() : need * 2;
    return Grow(static_cast<int>(doubled));
  }

  bool Add(const T& value) {
    // The value may live in this array's own storage, which the steps below can move.
    const std::ptrdiff_t inside = IndexOf(&value);
    if (!CopyBeforeWrite() || !EnsureRoom(1)) return false;
    CopyElements(inside >= 0 ? elements_ + inside : &value, count_, 1);
    ++count_;
    return true;
  }

  // Appends a run of n elements, growing the storage to exactly the new count.
  bool Append(const T* p, int n) {
    if (n < 0 || (n > 0 && p == nullptr)) return false;
    if (n == 0) return true;
    const std::int64_t need = static_cast<std::int64_t>(count_) + n;
    if (need > MaxElements()) return false;
    const std::ptrdiff_t inside = IndexOf(p);
    if (!CopyBeforeWrite() || !Grow(static_cast<int>(need))) return false;
    const int at = count_;
    count_ = static_cast<int>(need);
    if (!CopyBeforeWrite()) return false;
    CopyElements(inside >= 0 ? elements_ + inside : p, at, n);
    return true;
  }

  // Removes k elements from index on; the elements after them move down.
  bool RemoveAt(int index, int k) {
    if (index < 0 || k < 0 || static_cast<std::int64_t>(index) + k > count_) return false;
    if (k == 0) return true;
    if (!CopyBeforeWrite()) return false;
    DestructElements(elements_ + index, k);
    const int tail = count_ - index - k;
    std::memmove(static_cast<void*>(elements_ + index),
                 static_cast<const void*>(elements_ + index + k),
                 static_cast<std::size_t>(tail) * sizeof(T));
    // The vacated slots hold stale bytes of elements that now live lower down: overwrite, not
    // destruct.
    FreshSlots(count_ - k, k);
    count_ -= k;
    return true;
  }

  // Sets the count. Dropped elements are reset to fresh ones; growing exposes fresh elements and
  // grows the storage to exactly n when needed.
  bool SetCount(int n) {
    if (n < 0 || n > MaxElements()) return false;
    if (n == count_) return true;
    if (!CopyBeforeWrite()) return false;
    if (n < count_) {
      ResetSlots(n, count_ - n);
    } else if (!Grow(n)) {
      return false;
    }
    count_ = n;
    return true;
  }

  // Makes this array equal to other: shares other's block, or copies its elements when either
  // block must not be shared.
  bool Assign(const CLumArrBase& other) {
    if (other.block_ == block_) return true;
    const bool mineUnshareable =
        elements_ != nullptr && block_->refs.load(std::memory_order_acquire) < 0;
    const bool otherUnshareable =
        other.block_ != nullptr && other.block_->refs.load(std::memory_order_acquire) < 0;
    if (mineUnshareable || otherUnshareable) {
      // Copying into storage that others share would change them too.
      if (RefCount() >= 2) Release();
      if (!Reserve(other.count_)) return false;
      CopyElements(other.elements_, 0, other.count_);
      if (count_ > other.count_) ResetSlots(other.count_, count_ - other.count_);
      count_ = other.count_;
      return true;
    }
    Release();
    if (other.elements_ != nullptr) {
      block_ = other.block_;
      elements_ = other.elements_;
      capacity_ = other.capacity_;
      count_ = other.count_;
      block_->refs.fetch_add(1, std::memory_order_relaxed);
    }
    return true;
  }

 protected:
  // The most elements an array holds: int-sized, and within the address space.
  static constexpr int MaxElements() {
    return static_cast<std::size_t>(INT_MAX) < PTRDIFF_MAX / sizeof(T)
               ? INT_MAX
               : static_cast<int>(PTRDIFF_MAX / sizeof(T));
  }

  void InitEmpty() {
    block_ = nullptr;
    capacity_ = 0;
    count_ = 0;
    elements_ = nullptr;
  }

  // A new block with storage for n fresh elements, count 0, used by this array alone.
  bool AllocBlock(int n) {
    if (n < 0 || n > MaxElements()) return false;
    if (n == 0) {
      InitEmpty();
      return true;
    }
    tLumArrayData<T>* block = nullptr;
    T* storage = nullptr;
    if (!NewBlock(n, &block, &storage)) return false;
    Adopt(block, storage, n);
    return true;
  }

  // Destructs slots [from, from + n) and puts fresh elements there.
  void ResetSlots(int from, int n) {
    if (n <= 0) return;
    DestructElements(elements_ + from, n);
    FreshSlots(from, n);
  }

  tLumArrayData<T>* block_;  // shared with the copies; null when there is no storage
  int capacity_;             // elements allocated
  int count_;                // elements in use
  T* elements_;              // the block's storage; null when there is none

 private:
  static T* AllocStorage(int n) {
    static_assert(alignof(T) <= alignof(std::max_align_t),
                  "over-aligned elements are not supported");
    // Zeroed, so plain records start as zeros and objects are built on clean memory.
    return static_cast<T*>(std::calloc(static_cast<std::size_t>(n), sizeof(T)));
  }

  // Allocates a block and its storage and constructs the elements; nothing is kept on failure.
  bool NewBlock(int n, tLumArrayData<T>** block, T** storage) {
    *block = new (std::nothrow) tLumArrayData<T>;
    *storage = AllocStorage(n);
    if (*block == nullptr || *storage == nullptr) {
      delete *block;
      std::free(static_cast<void*>(*storage));
      return false;
    }
    (*block)->storage = *storage;
    ConstructElements(*storage, n);
    return true;
  }

  void Adopt(tLumArrayData<T>* block, T* storage, int n) {
    block_ = block;
    elements_ = storage;
    capacity_ = n;
    count_ = 0;
  }

  // Drops one use of a block; the last user destructs every slot and frees it.
  void ReleaseBlock(tLumArrayData<T>* block, T* elements, int capacity) {
    if (block->refs.fetch_sub(1, std::memory_order_acq_rel) - 1 <= 0) {
      DestructElements(elements, capacity);
      std::free(static_cast<void*>(elements));
      delete block;
    }
  }

  // Overwrites slots [from, from + n), whose elements are already gone, with fresh ones.
  void FreshSlots(int from, int n) {
    std::memset(static_cast<void*>(elements_ + from), 0, static_cast<std::size_t>(n) * sizeof(T));
    ConstructElements(elements_ + from, n);
  }

  // The index of p in this array's storage, or -1 when it points elsewhere.
  std::ptrdiff_t IndexOf(const T* p) const {
    if (elements_ == nullptr) return -1;
    const auto at = reinterpret_cast<std::uintptr_t>(p);
    const auto begin = reinterpret_cast<std::uintptr_t>(elements_);
    const auto end = reinterpret_cast<std::uintptr_t>(elements_ + capacity_);
    if (at < begin || at >= end) return -1;
    return static_cast<std::ptrdiff_t>((at - begin) / sizeof(T));
  }

  void TakeFrom(CLumArrBase& other) {
    block_ = other.block_;
    capacity_ = other.capacity_;
    count_ = other.count_;
    elements_ = other.elements_;
    other.InitEmpty();
  }
};

// An array of objects: elements are constructed in place, destructed, and copied by assignment.
template <class T>
class CLumArray : public CLumArrBase<T> {
 public:
  CLumArray() = default;
  CLumArray(const CLumArray& other) : CLumArrBase<T>() { this->Assign(other); }
  CLumArray(CLumArray&& other) noexcept : CLumArrBase<T>(std::move(other)) {}
  CLumArray& operator=(const CLumArray& other) {
    this->Assign(other);
    return *this;
  }
  CLumArray& operator=(CLumArray&& other) noexcept {
    CLumArrBase<T>::operator=(std::move(other));
    return *this;
  }

 protected:
  void ConstructElements(T* p, int n) override {
    if (n <= 0) return;
    std::memset(static_cast<void*>(p), 0, static_cast<std::size_t>(n) * sizeof(T));
    for (int i = 0; i < n; ++i) new (static_cast<void*>(p + i)) T();
  }
  void DestructElements(T* p, int n) override {
    for (int i = 0; i < n; ++i) p[i].~T();
  }

 public:
  // The base destructor can no longer reach DestructElements above, so release here.
  ~CLumArray() override { this->Release(); }

 protected:
  void CopyElements(const T* src, int dstIndex, int n) override {
    for (int i = 0; i < n; ++i) this->elements_[dstIndex + i] = src[i];
  }
};
