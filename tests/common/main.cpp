#include <gtest/gtest.h>

int main(int argc, char** argv) {
  // The emulator runs threads of its own; a forked death test must not inherit them.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
