// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

#include "support/LumArray.h"

namespace {

// An element that counts its lives and notices being destroyed twice or used after death.
struct Tracked {
  static constexpr int kAlive = 0x5eed;
  static int live;
  static int faults;

  Tracked() { ++live; }
  Tracked(const Tracked& other) : value(other.value) {
    Check(other);
    ++live;
  }
  Tracked& operator=(const Tracked& other) {
    Check(*this);
    Check(other);
    value = other.value;
    return *this;
  }
  ~Tracked() {
    Check(*this);
    magic = 0;
    --live;
  }
  static void Check(const Tracked& t) {
    if (t.magic != kAlive) ++faults;
  }

  int magic = kAlive;
  int value = 0;
};
int Tracked::live = 0;
int Tracked::faults = 0;

class TrackedArrayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Tracked::live = 0;
    Tracked::faults = 0;
  }
  void TearDown() override {
    EXPECT_EQ(Tracked::live, 0);
    EXPECT_EQ(Tracked::faults, 0);
  }
  static Tracked Make(int v) {
    Tracked t;
    t.value = v;
    return t;
  }
};

// Reaches the block to mark it as never shared.
class UnshareableInts : public CLumArrBase<int> {
 public:
  void MakeUnshareable() { block_->refs.store(-1); }
};

std::string Text(const CLumArrBase<unsigned char>& a) {
  return std::string(reinterpret_cast<const char*>(a.GetData()), a.GetCount());
}

void AppendText(CLumArrBase<unsigned char>& a, const char* s) {
  ASSERT_TRUE(
      a.Append(reinterpret_cast<const unsigned char*>(s), static_cast<int>(std::strlen(s))));
}

TEST(LumArray, EmptyArrayHasNoStorage) {
  CLumArrBase<int> a;
  EXPECT_EQ(a.GetCount(), 0);
  EXPECT_EQ(a.GetCapacity(), 0);
  EXPECT_EQ(a.RefCount(), 0);
  EXPECT_EQ(static_cast<const CLumArrBase<int>&>(a).GetData(), nullptr);
}

TEST(LumArray, WritesAfterAssignStayInTheWrittenArray) {
  CLumArrBase<int> a;
  for (int v : {1, 2, 3}) ASSERT_TRUE(a.Add(v));
  CLumArrBase<int> b;
  ASSERT_TRUE(b.Assign(a));
  const auto& ca = a;
  const auto& cb = b;
  EXPECT_EQ(ca.GetData(), cb.GetData());
  EXPECT_EQ(a.RefCount(), 2);

  b[0] = 9;  // the copy writes
  EXPECT_NE(ca.GetData(), cb.GetData());
  EXPECT_EQ(a.RefCount(), 1);
  EXPECT_EQ(b.RefCount(), 1);
  EXPECT_EQ(ca[0], 1);
  EXPECT_EQ(cb[0], 9);
  EXPECT_EQ(cb[1], 2);
  EXPECT_EQ(b.GetCount(), 3);

  CLumArrBase<int> c(a);  // the original writes
  EXPECT_EQ(a.RefCount(), 2);
  ASSERT_TRUE(a.Add(4));
  a[1] = 7;
  const auto& cc = c;
  EXPECT_EQ(c.GetCount(), 3);
  EXPECT_EQ(cc[1], 2);
  EXPECT_EQ(ca[1], 7);
  EXPECT_EQ(ca[3], 4);
}

TEST(LumArray, AssignFromEmptyEmpties) {
  CLumArrBase<int> a;
  ASSERT_TRUE(a.Add(5));
  CLumArrBase<int> empty;
  a = empty;
  EXPECT_EQ(a.GetCount(), 0);
  EXPECT_EQ(a.RefCount(), 0);
}

TEST(LumArray, AddOnFullCapacityThreeGrowsToEight) {
  CLumArrBase<int> a;
  ASSERT_TRUE(a.Reserve(3));
  for (int v : {10, 11, 12}) ASSERT_TRUE(a.Add(v));
  ASSERT_EQ(a.GetCapacity(), 3);
  ASSERT_EQ(a.GetCount(), 3);
  ASSERT_TRUE(a.Add(13));
  EXPECT_EQ(a.GetCapacity(), 8);
  EXPECT_EQ(a.GetCount(), 4);
  const auto& ca = a;
  for (int i = 0; i < 4; ++i) EXPECT_EQ(ca[i], 10 + i);
}

TEST(LumArray, AddOfOwnElementSurvivesGrowth) {
  CLumArrBase<int> a;
  ASSERT_TRUE(a.Add(42));
  const auto& ca = a;
  ASSERT_TRUE(a.Add(ca[0]));  // capacity 1 -> 4 moves the storage
  ASSERT_TRUE(a.Add(ca[1]));
  EXPECT_EQ(a.GetCount(), 3);
  EXPECT_EQ(ca[2], 42);
}

TEST(LumArray, AppendGrowsExactlyAndLeavesSharersAlone) {
  CLumArrBase<unsigned char> a;
  AppendText(a, "abc");
  EXPECT_EQ(a.GetCapacity(), 3);
  AppendText(a, "de");
  EXPECT_EQ(a.GetCapacity(), 5);
  EXPECT_EQ(Text(a), "abcde");

  CLumArrBase<unsigned char> b = a;
  AppendText(b, "f");
  EXPECT_EQ(Text(a), "abcde");
  EXPECT_EQ(Text(b), "abcdef");
  EXPECT_EQ(b.GetCapacity(), 6);

  // A run taken from the array itself, which growing moves.
  const auto& cb = b;
  ASSERT_TRUE(b.Append(cb.GetData(), 2));
  EXPECT_EQ(Text(b), "abcdefab");
  EXPECT_EQ(Text(a), "abcde");
}

TEST(LumArray, RemoveAtMovesTheOverlappingTailDown) {
  CLumArrBase<int> a;
  for (int v = 0; v < 10; ++v) ASSERT_TRUE(a.Add(v));
  CLumArrBase<int> keep = a;
  ASSERT_TRUE(a.RemoveAt(2, 3));
  ASSERT_EQ(a.GetCount(), 7);
  const int expected[] = {0, 1, 5, 6, 7, 8, 9};
  const auto& ca = a;
  for (int i = 0; i < 7; ++i) EXPECT_EQ(ca[i], expected[i]) << i;
  EXPECT_EQ(keep.GetCount(), 10);
  EXPECT_EQ(static_cast<const CLumArrBase<int>&>(keep)[2], 2);

  EXPECT_FALSE(a.RemoveAt(5, 3));  // past the end
  EXPECT_FALSE(a.RemoveAt(-1, 1));
  EXPECT_FALSE(a.RemoveAt(0, -1));
  EXPECT_FALSE(a.RemoveAt(1, INT_MAX));
  EXPECT_EQ(a.GetCount(), 7);
  ASSERT_TRUE(a.RemoveAt(0, 7));
  EXPECT_EQ(a.GetCount(), 0);
}

TEST(LumArray, BadSizesAreRefusedWithoutHarm) {
  CLumArrBase<unsigned char> a;
  AppendText(a, "xy");
  const unsigned char byte = 1;
  EXPECT_FALSE(a.Reserve(-1));
  EXPECT_FALSE(a.Grow(-5));
  EXPECT_FALSE(a.SetCount(-1));
  EXPECT_FALSE(a.EnsureRoom(-1));
  EXPECT_FALSE(a.EnsureRoom(INT_MAX));
  EXPECT_FALSE(a.Append(&byte, -1));
  EXPECT_FALSE(a.Append(&byte, INT_MAX));
  EXPECT_FALSE(a.Append(nullptr, 3));
  EXPECT_EQ(Text(a), "xy");
  EXPECT_EQ(a.GetCapacity(), 2);
}

TEST(LumArray, SetCountClearsAndExposesZeroes) {
  CLumArrBase<int> a;
  for (int v : {4, 5, 6, 7}) ASSERT_TRUE(a.Add(v));
  const int capacity = a.GetCapacity();
  ASSERT_TRUE(a.SetCount(1));
  ASSERT_TRUE(a.SetCount(0));
  EXPECT_EQ(a.GetCount(), 0);
  EXPECT_EQ(a.GetCapacity(), capacity);  // clearing keeps the storage
  ASSERT_TRUE(a.SetCount(3));
  const auto& ca = a;
  EXPECT_EQ(ca[0], 0);
  EXPECT_EQ(ca[2], 0);
  ASSERT_TRUE(a.SetCount(capacity + 2));  // grows exactly
  EXPECT_EQ(a.GetCapacity(), capacity + 2);
}

TEST(LumArray, NeverSharedBlocksAreCopied) {
  UnshareableInts u;
  for (int v : {1, 2}) ASSERT_TRUE(u.Add(v));
  u.MakeUnshareable();

  CLumArrBase<int> b;
  ASSERT_TRUE(b.Assign(u));
  const auto& cb = b;
  const auto& cu = static_cast<const CLumArrBase<int>&>(u);
  EXPECT_NE(cb.GetData(), cu.GetData());
  EXPECT_EQ(b.RefCount(), 1);
  EXPECT_EQ(u.RefCount(), -1);
  ASSERT_EQ(b.GetCount(), 2);
  EXPECT_EQ(cb[1], 2);

  // Assigning into it copies into its own storage, and from an empty array keeps the storage.
  CLumArrBase<int> one;
  ASSERT_TRUE(one.Add(8));
  const int* storage = cu.GetData();
  ASSERT_TRUE(u.Assign(one));
  EXPECT_EQ(cu.GetData(), storage);
  EXPECT_EQ(u.GetCount(), 1);
  EXPECT_EQ(cu[0], 8);
  EXPECT_EQ(one.RefCount(), 1);
  CLumArrBase<int> empty;
  ASSERT_TRUE(u.Assign(empty));
  EXPECT_EQ(u.GetCount(), 0);
  EXPECT_EQ(cu.GetData(), storage);
}

TEST(LumArray, MoveLeavesTheSourceEmpty) {
  CLumArrBase<int> a;
  ASSERT_TRUE(a.Add(3));
  CLumArrBase<int> b(std::move(a));
  EXPECT_EQ(a.GetCount(), 0);
  EXPECT_EQ(a.RefCount(), 0);
  EXPECT_EQ(b.GetCount(), 1);
  EXPECT_EQ(b.RefCount(), 1);
}

TEST_F(TrackedArrayTest, LastReleaseFreesTheSharedBlockOnce) {
  {
    CLumArray<Tracked> a;
    for (int v = 0; v < 5; ++v) ASSERT_TRUE(a.Add(Make(v)));
    const int held = Tracked::live;  // every slot of the storage is a live element
    EXPECT_EQ(held, a.GetCapacity());

    CLumArray<Tracked> b = a;
    CLumArray<Tracked> c;
    c = b;
    EXPECT_EQ(a.RefCount(), 3);
    EXPECT_EQ(Tracked::live, held);  // sharing makes no elements

    a.Release();
    b.Release();
    EXPECT_EQ(Tracked::live, held);  // c still holds the block
    EXPECT_EQ(c.RefCount(), 1);
    EXPECT_EQ(static_cast<const CLumArray<Tracked>&>(c)[4].value, 4);
    c.Release();
    EXPECT_EQ(Tracked::live, 0);
    c.Release();  // a second release of an empty array does nothing
  }
}

TEST_F(TrackedArrayTest, CopyBeforeWriteCopiesElementsByAssignment) {
  CLumArray<Tracked> a;
  for (int v = 0; v < 3; ++v) ASSERT_TRUE(a.Add(Make(v)));
  CLumArray<Tracked> b = a;
  b[1].value = 50;
  const auto& ca = a;
  const auto& cb = b;
  EXPECT_EQ(ca[1].value, 1);
  EXPECT_EQ(cb[1].value, 50);
  EXPECT_EQ(cb[2].value, 2);
  EXPECT_EQ(Tracked::live, a.GetCapacity() + b.GetCapacity());
}

TEST_F(TrackedArrayTest, RemoveAtAndSetCountKeepEveryElementAlive) {
  CLumArray<Tracked> a;
  for (int v = 0; v < 6; ++v) ASSERT_TRUE(a.Add(Make(v)));
  ASSERT_TRUE(a.RemoveAt(1, 2));
  const auto& ca = a;
  ASSERT_EQ(a.GetCount(), 4);
  EXPECT_EQ(ca[0].value, 0);
  EXPECT_EQ(ca[1].value, 3);
  EXPECT_EQ(ca[3].value, 5);
  EXPECT_EQ(Tracked::live, a.GetCapacity());
  ASSERT_TRUE(a.SetCount(1));
  EXPECT_EQ(Tracked::live, a.GetCapacity());
  ASSERT_TRUE(a.SetCount(4));
  EXPECT_EQ(ca[3].value, 0);  // dropped slots come back fresh
}

TEST(LumArrayOfArrays, CopiesShareTheInnerBlocks) {
  using Bytes = CLumArrBase<unsigned char>;
  CLumArray<Bytes> outer;
  for (const char* s : {"one", "two"}) {
    Bytes inner;
    AppendText(inner, s);
    ASSERT_TRUE(outer.Add(inner));
  }
  const auto& co = outer;
  EXPECT_EQ(co[0].RefCount(), 1);  // the local inner arrays are gone

  CLumArray<Bytes> copy = outer;
  EXPECT_EQ(outer.RefCount(), 2);
  AppendText(copy[0], "!");  // detaches the outer block, then the inner one
  EXPECT_EQ(outer.RefCount(), 1);
  EXPECT_EQ(co[1].RefCount(), 2);  // the untouched inner block is shared by both
  const auto& cc = copy;
  EXPECT_EQ(Text(co[0]), "one");
  EXPECT_EQ(Text(cc[0]), "one!");
  EXPECT_EQ(Text(cc[1]), "two");

  ASSERT_TRUE(outer.RemoveAt(0, 1));
  EXPECT_EQ(Text(co[0]), "two");
  EXPECT_EQ(co[0].RefCount(), 2);
  copy.Release();
  EXPECT_EQ(co[0].RefCount(), 1);
}

}  // namespace
