// The variants export what they promise and carry their version in the file
// name behind the link.
#include <climits>
#include <cstdlib>

#include "sim_support.h"

namespace simtest {
namespace {

std::vector<std::string> Missing(const Provider &p) {
  std::vector<std::string> missing;
#define SIMTEST_MISSING(name, type, required) \
  if (!p.name) missing.push_back(#name);
  CPKI1_ENTRY_POINTS(SIMTEST_MISSING)
#undef SIMTEST_MISSING
#define SIMTEST_MISSING_CONTROL(name) \
  if (!p.name) missing.push_back(#name);
  SIM_CONTROL_FUNCTIONS(SIMTEST_MISSING_CONTROL)
#undef SIMTEST_MISSING_CONTROL
  return missing;
}

std::string RealName(const std::string &path) {
  char buffer[PATH_MAX];
  if (!realpath(path.c_str(), buffer)) return "";
  std::string real = buffer;
  return real.substr(real.rfind('/') + 1);
}

TEST(SimVariants, EachLacksExactlyWhatItShould) {
  Provider complete("complete"), noOptional("nooptional"), noRequired("norequired"), v149("v149"), v150("v150");
  EXPECT_TRUE(Missing(complete).empty());
  EXPECT_EQ(Missing(noOptional), (std::vector<std::string>{"VCERT_SignHashMem", "VCERT_VerifyHashMem"}));
  EXPECT_EQ(Missing(noRequired), (std::vector<std::string>{"VCERT_Match"}));
  EXPECT_TRUE(Missing(v149).empty());
  EXPECT_TRUE(Missing(v150).empty());
}

TEST(SimVariants, VersionsAreInTheRealFileName) {
  EXPECT_EQ(RealName(VariantFile("complete")), "libcpki1.so");
  EXPECT_EQ(RealName(VariantFile("v149")), "libcpki1.so.3.1.149.9");
  EXPECT_EQ(RealName(VariantFile("v150")), "libcpki1.so.3.1.150.0");
}

TEST(SimVariants, EachVariantKeepsItsOwnRecord) {
  Provider complete("complete"), v150("v150");
  ASSERT_NE(complete.handle, v150.handle);
  complete.SimReset();
  v150.SimReset();
  char text[32];
  complete.VCERT_GetErrorText(1, text, sizeof text);
  EXPECT_EQ(complete.SimCallCount(), 1);
  EXPECT_EQ(v150.SimCallCount(), 0);
  // Loading the same file again gives the same instance.
  Provider again("complete");
  EXPECT_EQ(again.SimCallCount(), 1);
}

}  // namespace
}  // namespace simtest
