// SPDX-License-Identifier: GPL-3.0-or-later
// Makes allocations fail on request, as they do when memory has run out, so that a test can see
// what the code under test does then.
//
// A test program that uses it links support/testing/AllocationFailure.cpp and is linked with
// -Wl,--wrap=calloc -Wl,--wrap=_Znwm. The linker then sends every call to calloc and to the
// throwing operator new made by the code linked into the program (our libraries and the tests, not
// the shared libraries) through this file. While an AllocationFailure lives, those calls on its
// thread succeed `allowed` more times and then fail: calloc gives null and operator new throws
// std::bad_alloc. Other threads, and every call outside its life, go through untouched.
//
// Keep its scope to the call being tested: the test's own checks allocate too.
#pragma once

namespace roadeye_test {

class AllocationFailure {
 public:
  explicit AllocationFailure(int allowed = 0);
  ~AllocationFailure();
  AllocationFailure(const AllocationFailure&) = delete;
  AllocationFailure& operator=(const AllocationFailure&) = delete;

  // The allocations refused so far.
  int refused() const;
};

}  // namespace roadeye_test
