#include "memory_budget.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

namespace quillon {
namespace {

TEST(MemoryBudget, RefusalNamesWhatAskedAndBothSizes) {
  struct Case {
    ByteSize asked;
    const char* expected;
  };
  const Case cases[] = {
      {ByteSize{123456789},
       "not enough memory for capacity=7: 123456789 bytes asked, 1000 bytes "
       "available"},
      {ByteSize{1} << 64,
       "not enough memory for capacity=7: over 18446744073709551615 bytes asked, "
       "1000 bytes available"},
      {~ByteSize{0},
       "not enough memory for capacity=7: over 18446744073709551615 bytes asked, "
       "1000 bytes available"},
  };
  for (const Case& c : cases) {
    const MemoryRefused refused("capacity=7", c.asked, 1000);
    EXPECT_STREQ(refused.what(), c.expected);
    const std::bad_alloc& as_bad_alloc = refused;  // still caught where bad_alloc is
    EXPECT_STREQ(as_bad_alloc.what(), c.expected);
  }
}

TEST(MemoryBudget, ComparesWithTheMemoryAvailable) {
  std::ifstream meminfo("/proc/meminfo");
  std::string key;
  unsigned long long kib = 0;
  std::string unit;
  ByteSize from_file = 0;
  while (meminfo >> key >> kib >> unit) {
    if (key == "MemAvailable:") from_file = ByteSize{kib} * 1024;
  }
  if (from_file == 0) GTEST_SKIP() << "no MemAvailable";
  const ByteSize available = available_memory_bytes();
  // The figure moves while other processes run; it is the available one, not the total.
  const ByteSize slack = ByteSize{512} << 20;
  EXPECT_LT(available, from_file + slack);
  EXPECT_GT(available + slack, from_file);
  EXPECT_NO_THROW(require_memory(ByteSize{1} << 20, "small"));
  EXPECT_THROW(require_memory(available * 2 + (ByteSize{1} << 30), "large"), MemoryRefused);
}

}  // namespace
}  // namespace quillon
