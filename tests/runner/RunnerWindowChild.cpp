// A child program of the Windows GUI subsystem (an ordinary program on Linux), for the
// tests that need a window: Windows reports only such a program idle for input; a
// console program, like the test program itself, never is.
#include "tests/support/child/RunnerChild.h"

int main(int argc, char** argv) {
  int exitCode = 0;
  return nolt::test::RunAsChild(argc, argv, &exitCode) ? exitCode : 2;
}
