// Test entry: the library's expected failures write reports to the host log;
// keep them out of the test output (LogCapture still records them).
#include <gtest/gtest.h>

#include "rbo/host/ReferenceHost.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  refhost::SetLogEcho(false);
  return RUN_ALL_TESTS();
}
