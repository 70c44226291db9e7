// The launcher tests' own main: child mode when started as a child, else the tests.
#include <gtest/gtest.h>

#include "tests/support/child/RunnerChild.h"

int main(int argc, char** argv) {
  int exitCode = 0;
  if (nolt::test::RunAsChild(argc, argv, &exitCode)) return exitCode;
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
