// The test programs' main: a child process started by zt::Child runs its
// function instead of the tests.
#include <gtest/gtest.h>

#include "child.h"

int main(int argc, char** argv) {
  int status = 0;
  if (zt::RunChildIfAsked(argc, argv, &status)) return status;
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
