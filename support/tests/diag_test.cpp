// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/Diag.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace {
std::string Contents(std::FILE* f) {
  std::fflush(f);
  std::rewind(f);
  std::string s;
  char buf[256];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
  return s;
}
}  // namespace

TEST(Diag, LinesGoToStandardOutputElsewhereOrNowhere) {
  testing::internal::CaptureStdout();
  DiagPrintf("Press Button => %d\n", 7);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Press Button => 7\n");

  std::FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  DiagSetOutput(file);
  // Lines from several threads stay whole.
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 200; ++i) DiagPrintf("[T%d] line %03d of the diagnostics\n", t, i);
    });
  }
  for (auto& th : threads) th.join();
  DiagSetOutput(nullptr);
  DiagPrintf("dropped\n");
  DiagSetOutput(stdout);

  std::string text = Contents(file);
  std::fclose(file);
  int lines = 0;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find('\n', at);
    ASSERT_NE(end, std::string::npos);
    std::string line = text.substr(at, end - at);
    ASSERT_EQ(line.size(), std::string("[T0] line 000 of the diagnostics").size()) << line;
    ASSERT_EQ(line.compare(4, 6, " line "), 0) << line;
    ++lines;
    at = end + 1;
  }
  EXPECT_EQ(lines, 800);
  EXPECT_EQ(text.find("dropped"), std::string::npos);
}
