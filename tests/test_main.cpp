// Runs the library's unit start-up before the tests and its shut-down after,
// as loading and unloading the library would.
#include <gtest/gtest.h>

#include "library/load_units.h"

int main(int argc, char **argv) {
  ::testing::InitGoogleTest(&argc, argv);
  crtelv::LibraryAttach();
  int result = RUN_ALL_TESTS();
  crtelv::LibraryDetach();
  return result;
}
