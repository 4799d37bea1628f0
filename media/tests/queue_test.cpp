// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <thread>
#include <vector>

#include "media/CThreadQueue.h"
#include "media/MediaTypes.h"
#include "support/testing/AllocationFailure.h"

namespace {

std::vector<unsigned char> Bytes(int n, int seed) {
  std::vector<unsigned char> v(std::size_t(n > 0 ? n : 0));
  for (int i = 0; i < n; ++i) v[std::size_t(i)] = static_cast<unsigned char>(i * 13 + seed);
  return v;
}

}  // namespace

TEST(CThreadQueue, RefusesAPacketReachingTheCapacity) {
  CThreadQueue q;
  q.SetCapacity(100);
  auto a = Bytes(60, 1), b = Bytes(40, 2), c = Bytes(39, 3);
  EXPECT_TRUE(q.Push(a.data(), 60, 0));
  EXPECT_FALSE(q.Push(b.data(), 40, 1));  // 60 + 40 reaches the capacity exactly
  EXPECT_EQ(q.Count(), 1);
  EXPECT_EQ(q.StoredBytes(), 60);
  EXPECT_TRUE(q.Push(c.data(), 39, 2));  // 99 stays below it
  EXPECT_FALSE(q.Push(c.data(), 1, 3));
  EXPECT_FALSE(q.Push(nullptr, 5, 3));
  EXPECT_FALSE(q.Push(a.data(), -1, 3));
}

TEST(CThreadQueue, PopFromEmptyReportsEachAttempt) {
  CThreadQueue q;
  q.SetCapacity(1024);
  unsigned char buf[16];
  int len = -7, value = -7;
  testing::internal::CaptureStdout();
  EXPECT_FALSE(q.Pop(buf, &len, &value));
  EXPECT_FALSE(q.Pop(buf, &len, &value));
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "[CThreadQueue] Pop Empty\n[CThreadQueue] Pop Empty\n");
  EXPECT_EQ(len, -7);
}

TEST(CThreadQueue, KeepsOrderLengthsAndValuesWhenPushesAndPopsInterleave) {
  CThreadQueue q;
  q.SetCapacity(5000);
  std::vector<unsigned char> out(5000);
  int nextIn = 0, nextOut = 0;
  std::mt19937 rng(7);
  for (int round = 0; round < 2000; ++round) {
    if (rng() % 3 != 0) {
      int n = int(rng() % 900);
      auto data = Bytes(n, nextIn);
      if (q.Push(data.data(), n, nextIn * 10 + n % 10)) ++nextIn;
    } else {
      int len = 0, value = 0;
      testing::internal::CaptureStdout();
      bool got = q.Pop(out.data(), &len, &value);
      testing::internal::GetCapturedStdout();
      ASSERT_EQ(got, nextOut < nextIn);
      if (got) {
        ASSERT_EQ(value / 10, nextOut);
        ASSERT_EQ(len % 10, value % 10);
        auto want = Bytes(len, nextOut);
        ASSERT_TRUE(std::equal(want.begin(), want.end(), out.begin()));
        ++nextOut;
      }
    }
  }
  EXPECT_GT(nextOut, 100);
}

TEST(CThreadQueue, ClearDropsOnlyWhatIsQueued) {
  CThreadQueue q;
  q.SetCapacity(kPacketBufferSize);
  auto a = Bytes(10, 1), b = Bytes(20, 2);
  q.Push(a.data(), 10, 1);
  q.Clear();
  EXPECT_EQ(q.Count(), 0);
  EXPECT_EQ(q.StoredBytes(), 0);
  EXPECT_TRUE(q.Push(b.data(), 20, 2));
  std::vector<unsigned char> out(64);
  int len = 0, value = 0;
  ASSERT_TRUE(q.Pop(out.data(), &len, &value));
  EXPECT_EQ(len, 20);
  EXPECT_EQ(value, 2);
  EXPECT_TRUE(std::equal(b.begin(), b.end(), out.begin()));
}

// One producer retrying on a full queue, one consumer on another thread: every packet arrives
// whole and in order, and the producer never gets past the capacity.
TEST(CThreadQueue, ProducerAndConsumerThreads) {
  CThreadQueue q;
  q.SetCapacity(64 * 1024);
  constexpr int kPackets = 3000;
  std::thread producer([&] {
    std::mt19937 rng(3);
    for (int i = 0; i < kPackets; ++i) {
      auto data = Bytes(int(rng() % 20000), i);
      while (!q.Push(data.data(), int(data.size()), i)) std::this_thread::yield();
    }
  });
  std::vector<unsigned char> out(kPacketBufferSize);
  std::mt19937 rng(3);
  int received = 0;
  testing::internal::CaptureStdout();
  while (received < kPackets) {
    int len = 0, value = 0;
    if (!q.Pop(out.data(), &len, &value)) {
      std::this_thread::yield();
      continue;
    }
    auto want = Bytes(int(rng() % 20000), received);
    ASSERT_EQ(value, received);
    ASSERT_EQ(len, int(want.size()));
    ASSERT_TRUE(std::equal(want.begin(), want.end(), out.begin()));
    ++received;
  }
  testing::internal::GetCapturedStdout();
  producer.join();
  EXPECT_EQ(q.Count(), 0);
}

TEST(DecodeQueue, GrowsWithoutLimitAndPopsInOrderSilently) {
  DecodeQueue q;
  constexpr int kPackets = 300;
  for (int i = 0; i < kPackets; ++i) {
    auto data = Bytes(10000 + i, i);
    ASSERT_TRUE(q.Push(i % 4, data.data(), int(data.size())));
  }
  EXPECT_EQ(q.Count(), kPackets);
  std::vector<unsigned char> out(kPacketBufferSize);
  testing::internal::CaptureStdout();
  for (int i = 0; i < kPackets; ++i) {
    int len = 0, value = -1;
    ASSERT_TRUE(q.Pop(out.data(), &len, &value));
    ASSERT_EQ(value, i % 4);
    auto want = Bytes(10000 + i, i);
    ASSERT_EQ(len, int(want.size()));
    ASSERT_TRUE(std::equal(want.begin(), want.end(), out.begin()));
  }
  int len = 0, value = 0;
  EXPECT_FALSE(q.Pop(out.data(), &len, &value));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

  // A packet the consumers' buffers could not hold never enters.
  std::vector<unsigned char> huge(kPacketBufferSize + 1);
  EXPECT_FALSE(q.Push(0, huge.data(), int(huge.size())));
  EXPECT_TRUE(q.Push(0, huge.data(), kPacketBufferSize));
  q.Clear();
  EXPECT_EQ(q.Count(), 0);
}

// Erasing some packets (also after some were popped) leaves the others whole and in order.
TEST(DecodeQueue, EraseKeepsTheOtherPacketsInOrder) {
  DecodeQueue q;
  for (int i = 0; i < 12; ++i) {
    auto data = Bytes(100 + i * 7, i);
    ASSERT_TRUE(q.Push(i, data.data(), int(data.size())));
  }
  std::vector<unsigned char> out(kPacketBufferSize);
  int len = 0, value = -1;
  ASSERT_TRUE(q.Pop(out.data(), &len, &value));
  // Index 0 is now packet 1: drop every odd packet, and packet 2.
  EXPECT_EQ(q.Erase([](int index, int v) { return v % 2 == 1 || index == 1; }), 7);
  for (int want : {4, 6, 8, 10}) {
    ASSERT_TRUE(q.Pop(out.data(), &len, &value));
    ASSERT_EQ(value, want);
    const auto bytes = Bytes(100 + want * 7, want);
    ASSERT_EQ(len, int(bytes.size()));
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), out.begin())) << want;
  }
  EXPECT_EQ(q.Count(), 0);
  EXPECT_EQ(q.Erase([](int, int) { return true; }), 0);
}

namespace {

// Runs a wait on another thread and tells whether it has returned, looking for up to 30 s (a
// guard against a hang, not a measurement).
class Waiter {
 public:
  template <class F>
  explicit Waiter(F wait)
      : thread_([this, wait] {
          wait();
          done_ = true;
        }) {}
  ~Waiter() { thread_.join(); }
  bool Returned() {
    for (int i = 0; i < 3000 && !done_; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return done_;
  }
  bool ReturnedAlready() const { return done_; }

 private:
  std::atomic<bool> done_{false};
  std::thread thread_;
};

constexpr unsigned kLongWaitMs = 60000;

}  // namespace

TEST(CThreadQueue, WaitsEndWhenTheOtherSideHandsOverABatch) {
  CThreadQueue q;
  q.SetCapacity(1000);
  std::vector<unsigned char> out(1000);
  int len = 0, value = 0;

  {
    // A consumer waiting for data wakes for a batch of packets, not for the first one.
    Waiter consumer([&] { q.WaitForData(kLongWaitMs); });
    auto one = Bytes(1, 0);
    for (int i = 0; i < 31; ++i) q.Push(one.data(), 1, i);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(consumer.ReturnedAlready());
    q.Push(one.data(), 1, 31);
    EXPECT_TRUE(consumer.Returned());
  }
  q.Clear();

  {
    // A producer waiting for room wakes once the queue has drained to half.
    auto big = Bytes(300, 1);
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(q.Push(big.data(), 300, i));
    Waiter producer([&] { q.WaitForRoom(300, kLongWaitMs); });
    ASSERT_TRUE(q.Pop(out.data(), &len, &value));  // 600 left: a packet fits, but not yet half
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(producer.ReturnedAlready());
    ASSERT_TRUE(q.Pop(out.data(), &len, &value));  // 300 left
    EXPECT_TRUE(producer.Returned());
  }
  q.Clear();

  {
    // The producer's last word releases a waiting consumer with whatever is there.
    Waiter consumer([&] { q.WaitForData(kLongWaitMs); });
    q.WakeConsumers();
    EXPECT_TRUE(consumer.Returned());
  }
}

// A packet may be as large as the whole capacity (the parser's queue and its packets are both
// 1 MiB). An empty queue takes it, and a producer waiting for room for it is let go once the
// queue has drained; while anything is queued it is refused, so the bytes never pass the capacity.
TEST(CThreadQueue, AnEmptyQueueTakesAPacketOfItsWholeCapacity) {
  CThreadQueue q;
  q.SetCapacity(kPacketBufferSize);
  auto whole = Bytes(kPacketBufferSize, 5), one = Bytes(1, 6);
  std::vector<unsigned char> out(kPacketBufferSize);
  int len = 0, value = 0;

  EXPECT_FALSE(q.Push(whole.data(), kPacketBufferSize + 1, 0));
  {
    Waiter producer([&] { q.WaitForRoom(kPacketBufferSize, kLongWaitMs); });
    EXPECT_TRUE(producer.Returned());
  }
  ASSERT_TRUE(q.Push(whole.data(), kPacketBufferSize, 1));
  EXPECT_EQ(q.StoredBytes(), kPacketBufferSize);
  EXPECT_FALSE(q.Push(one.data(), 1, 2));
  EXPECT_FALSE(q.Push(nullptr, 0, 2));  // not even an empty packet fits beside it
  ASSERT_TRUE(q.Pop(out.data(), &len, &value));
  EXPECT_EQ(len, kPacketBufferSize);
  EXPECT_EQ(value, 1);
  EXPECT_TRUE(out == whole);

  // Behind one queued byte the whole-capacity packet waits until the queue has drained.
  ASSERT_TRUE(q.Push(one.data(), 1, 3));
  EXPECT_FALSE(q.Push(whole.data(), kPacketBufferSize, 4));
  {
    Waiter producer([&] { q.WaitForRoom(kPacketBufferSize, kLongWaitMs); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(producer.ReturnedAlready());
    ASSERT_TRUE(q.Pop(out.data(), &len, &value));
    EXPECT_EQ(value, 3);
    EXPECT_TRUE(producer.Returned());
  }
  ASSERT_TRUE(q.Push(whole.data(), kPacketBufferSize, 4));
  ASSERT_TRUE(q.Pop(out.data(), &len, &value));
  EXPECT_EQ(value, 4);
  EXPECT_TRUE(out == whole);
}

// Memory running out in the middle of a push. The bytes, the lengths and the values are three
// stores that each grow on their own; a push refused because any one of them could not grow leaves
// the queue as it was: the packets before it pop whole and in order with their values, nothing
// else pops, and once memory is there again the same push goes through. The parameter is how many
// allocations succeed before they start failing, so that each of the push's allocations is the
// first one to fail in turn.
class DecodeQueueOutOfMemory : public testing::TestWithParam<int> {};

TEST_P(DecodeQueueOutOfMemory, ARefusedPushLeavesTheQueueAsItWas) {
  DecodeQueue q;
  auto a = Bytes(100, 1), b = Bytes(100, 2), c = Bytes(1000, 3);
  ASSERT_TRUE(q.Push(10, a.data(), 100));
  ASSERT_TRUE(q.Push(20, b.data(), 100));
  // Two packets fill what the stores have; the third needs every one of them to grow.
  bool pushed = true;
  int refused = 0;
  {
    roadeye_test::AllocationFailure fail(GetParam());
    pushed = q.Push(30, c.data(), 1000);
    refused = fail.refused();
  }
  ASSERT_GT(refused, 0) << "the push made no allocation number " << GetParam() + 1;
  EXPECT_FALSE(pushed);
  EXPECT_EQ(q.Count(), 2);

  std::vector<unsigned char> out(kPacketBufferSize);
  int len = 0, value = 0;
  for (const auto& [want, wantValue] : {std::pair{&a, 10}, std::pair{&b, 20}}) {
    ASSERT_TRUE(q.Pop(out.data(), &len, &value));
    EXPECT_EQ(value, wantValue);
    ASSERT_EQ(len, int(want->size()));
    EXPECT_TRUE(std::equal(want->begin(), want->end(), out.begin()));
  }
  EXPECT_FALSE(q.Pop(out.data(), &len, &value));

  ASSERT_TRUE(q.Push(30, c.data(), 1000));
  ASSERT_TRUE(q.Pop(out.data(), &len, &value));
  EXPECT_EQ(value, 30);
  ASSERT_EQ(len, 1000);
  EXPECT_TRUE(std::equal(c.begin(), c.end(), out.begin()));
}

INSTANTIATE_TEST_SUITE_P(EachGrowth, DecodeQueueOutOfMemory, testing::Values(0, 1, 2));

// The bounded queue reserves its bytes and room for 100 packets up front; the 101st packet needs
// the lengths and the values to grow.
class CThreadQueueOutOfMemory : public testing::TestWithParam<int> {};

TEST_P(CThreadQueueOutOfMemory, ARefusedPushLeavesTheQueueAsItWas) {
  CThreadQueue q;
  ASSERT_TRUE(q.SetCapacity(10000));
  for (int i = 0; i < 100; ++i) {
    auto data = Bytes(10, i);
    ASSERT_TRUE(q.Push(data.data(), 10, i));
  }
  auto last = Bytes(10, 100);
  bool pushed = true;
  int refused = 0;
  {
    roadeye_test::AllocationFailure fail(GetParam());
    pushed = q.Push(last.data(), 10, 100);
    refused = fail.refused();
  }
  ASSERT_GT(refused, 0) << "the push made no allocation number " << GetParam() + 1;
  EXPECT_FALSE(pushed);
  EXPECT_EQ(q.Count(), 100);
  EXPECT_EQ(q.StoredBytes(), 1000);

  std::vector<unsigned char> out(10000);
  int len = 0, value = 0;
  for (int i = 0; i < 100; ++i) {
    ASSERT_TRUE(q.Pop(out.data(), &len, &value));
    ASSERT_EQ(value, i);
    ASSERT_EQ(len, 10);
    auto want = Bytes(10, i);
    ASSERT_TRUE(std::equal(want.begin(), want.end(), out.begin())) << i;
  }
  testing::internal::CaptureStdout();
  EXPECT_FALSE(q.Pop(out.data(), &len, &value));
  testing::internal::GetCapturedStdout();
  ASSERT_TRUE(q.Push(last.data(), 10, 100));
  ASSERT_TRUE(q.Pop(out.data(), &len, &value));
  EXPECT_EQ(value, 100);
  EXPECT_TRUE(std::equal(last.begin(), last.end(), out.begin()));
}

INSTANTIATE_TEST_SUITE_P(EachGrowth, CThreadQueueOutOfMemory, testing::Values(0, 1));

// A capacity whose storage cannot be had is reported; the queue still works, growing as it goes.
TEST(CThreadQueue, SetCapacityReportsStorageItCouldNotReserve) {
  CThreadQueue q;
  bool reserved = true;
  {
    roadeye_test::AllocationFailure fail;
    reserved = q.SetCapacity(1000);
  }
  EXPECT_FALSE(reserved);
  auto a = Bytes(500, 1);
  ASSERT_TRUE(q.Push(a.data(), 500, 7));
  std::vector<unsigned char> out(1000);
  int len = 0, value = 0;
  ASSERT_TRUE(q.Pop(out.data(), &len, &value));
  EXPECT_EQ(len, 500);
  EXPECT_EQ(value, 7);
  EXPECT_TRUE(std::equal(a.begin(), a.end(), out.begin()));
}
