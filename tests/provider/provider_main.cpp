// Runs the library's unit start-up, points the process root at the folder of
// the provider variant under test (CRTELV_TEST_VARIANT), runs the test suites
// of that variant and the unit shut-down.
//
// Every suite belongs to one variant ("complete" unless it registers another
// with CRTELV_PROVIDER_VARIANT); a run leaves out the suites of the other
// variants. A suite whose variant has no run (CRTELV_PROVIDER_VARIANTS, from
// suite.cmake) fails every run, so no written test goes unrun.
#include <gtest/gtest.h>

#include <cstdlib>
#include <iostream>
#include <set>
#include <sstream>
#include <string>

#include "binding_fixture.h"
#include "library/load_units.h"
#include "support/root_path.h"

namespace {

std::set<std::string> KnownVariants() {
  std::set<std::string> variants;
  std::istringstream list(CRTELV_PROVIDER_VARIANTS);
  for (std::string variant; std::getline(list, variant, ',');) variants.insert(variant);
  return variants;
}

// Adds the suites of other variants to the negative part of the filter;
// false (with a message) when a suite's variant has no run.
bool SelectVariant(const std::string &variant) {
  const std::set<std::string> known = KnownVariants();
  const ::testing::UnitTest &tests = *::testing::UnitTest::GetInstance();
  std::string excluded;
  bool sound = true;
  for (int i = 0; i < tests.total_test_suite_count(); ++i) {
    const std::string suite = tests.GetTestSuite(i)->name();
    const std::string own = crtelv::test::VariantOf(suite);
    if (known.count(own) == 0) {
      std::cerr << "provider_tests: suite " << suite << " is registered for variant \"" << own
                << "\", which has no run in tests/provider/suite.cmake\n";
      sound = false;
    }
    if (own != variant) excluded += (excluded.empty() ? "" : ":") + suite + ".*";
  }
  if (excluded.empty()) return sound;
  std::string filter = GTEST_FLAG_GET(filter);
  filter += filter.find('-') == std::string::npos ? "-" : ":";
  GTEST_FLAG_SET(filter, filter + excluded);
  return sound;
}

}  // namespace

int main(int argc, char **argv) {
  ::testing::InitGoogleTest(&argc, argv);
  const char *variant = std::getenv("CRTELV_TEST_VARIANT");
  if (variant != nullptr && !SelectVariant(variant)) return 1;
  crtelv::LibraryAttach();
  // "none" is a root without a provider; the tests of that group set it.
  if (variant != nullptr && std::string(variant) != "none") {
    crtelv::SetProcessRoot(crtelv::test::SimRoot(variant));
  }
  int result = RUN_ALL_TESTS();
  crtelv::LibraryDetach();
  if (result == 0 && variant != nullptr && ::testing::UnitTest::GetInstance()->test_to_run_count() == 0) {
    std::cerr << "provider_tests: no test suite runs with variant " << variant << "\n";
    return 1;
  }
  return result;
}
