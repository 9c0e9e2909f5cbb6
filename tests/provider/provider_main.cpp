// Runs the library's unit start-up, points the process root at the folder of
// the provider variant under test (CRTELV_TEST_VARIANT), runs the tests and
// the unit shut-down.
#include <gtest/gtest.h>

#include <cstdlib>

#include "binding_fixture.h"
#include "library/load_units.h"
#include "support/root_path.h"

int main(int argc, char **argv) {
  ::testing::InitGoogleTest(&argc, argv);
  crtelv::LibraryAttach();
  const char *variant = std::getenv("CRTELV_TEST_VARIANT");
  // "none" is a root without a provider; the tests of that group set it.
  if (variant != nullptr && std::string(variant) != "none") {
    crtelv::SetProcessRoot(crtelv::test::SimRoot(variant));
  }
  int result = RUN_ALL_TESTS();
  crtelv::LibraryDetach();
  return result;
}
