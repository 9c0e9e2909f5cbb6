// Start-up and shut-down order of the units.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "library/load_units.h"
#include "support/root_path.h"

namespace crtelv {
namespace {

const std::vector<std::string> kOrder = {"rootpath", "telv_h", "ce_telv"};

std::vector<std::string> Steps(const char *prefix, bool reverse) {
  std::vector<std::string> steps;
  for (const std::string &unit : kOrder) steps.push_back(prefix + unit);
  if (reverse) std::reverse(steps.begin(), steps.end());
  return steps;
}

std::vector<std::string> Tail(const std::vector<std::string> &trace, std::size_t count) {
  if (trace.size() < count) return trace;
  return std::vector<std::string>(trace.end() - static_cast<std::ptrdiff_t>(count), trace.end());
}

TEST(LibraryUnits, FixedOrder) {
  std::vector<std::string> names;
  for (const Unit &unit : LibraryUnits()) names.push_back(unit.name);
  EXPECT_EQ(names, kOrder);
}

TEST(LibraryUnits, StartInOrderStopInReverseOnce) {
  // The test program attached the library before the tests.
  std::vector<std::string> trace = UnitTrace();
  ASSERT_GE(trace.size(), kOrder.size());
  EXPECT_EQ(Tail(trace, kOrder.size()), Steps("init:", false));

  LibraryAttach();  // already attached: nothing runs
  EXPECT_EQ(UnitTrace().size(), trace.size());

  LibraryDetach();
  trace = UnitTrace();
  EXPECT_EQ(Tail(trace, kOrder.size()), Steps("done:", true));
  LibraryDetach();  // already detached: nothing runs
  EXPECT_EQ(UnitTrace().size(), trace.size());

  LibraryAttach();
  EXPECT_EQ(Tail(UnitTrace(), kOrder.size()), Steps("init:", false));
}

TEST(LibraryUnits, DetachReleasesTheProcessRoot) {
  SetProcessRoot("C:\\UnitRoot");
  ASSERT_EQ(ProcessRoot(), "C:\\UnitRoot\\");
  LibraryDetach();
  LibraryAttach();
  EXPECT_EQ(ProcessRoot(), "");
  EXPECT_TRUE(LibraryFolders().empty());
}

}  // namespace
}  // namespace crtelv

namespace crtelv {
namespace {

// A unit that cannot start: the load entry reports it instead of letting the
// failure out of the library, and the units before it are stopped again.
TEST(LibraryUnits, AUnitThatFailsToStartStopsThoseBeforeItAndNothingEscapes) {
  static int started = 0;
  const std::vector<Unit> units = {
      {"first", [] { ++started; }, [] { --started; }},
      {"broken", [] { throw std::runtime_error("no memory"); }, nullptr},
  };
  LibraryDetach();
  ReplaceLibraryUnits(&units);
  EXPECT_FALSE(LibraryAttachNoThrow());
  EXPECT_EQ(started, 0);
  LibraryDetachNoThrow();  // not attached: nothing runs
  EXPECT_EQ(Tail(UnitTrace(), 2), (std::vector<std::string>{"init:first", "done:first"}));
  ReplaceLibraryUnits(nullptr);
  EXPECT_TRUE(LibraryAttachNoThrow());
}

}  // namespace
}  // namespace crtelv
