// Reading distinguished names at attribute boundaries.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/dn_text.h"

namespace crtelv {
namespace {

TEST(DnText, ValuesEndAtUnescapedSeparatorsOnly) {
  const struct {
    const char *dn;
    bool readable;
    const char *cn;  // the CN value, or nullptr when there is none
  } cases[] = {
      {"CN=a\\2Cb,O=x", true, "a,b"},
      {"CN=\"x,y+z\" , O=x", true, "x,y+z"},
      {"OU=CN\\=x,O=y", true, nullptr},
      {"OU=CN=x+CN=y ,O=z", true, "y"},
      {"cn = Bob\\ ,O=x", true, "Bob "},
      {"CN=a\\", false, nullptr},
      {"CN=a\\2", false, nullptr},
      {"=x,CN=a", false, nullptr},
      {"CN=a,junk", false, nullptr},
      {"CN=\"open", false, nullptr},
  };
  for (const auto &c : cases) {
    std::vector<DnAttribute> attributes;
    EXPECT_EQ(ReadDnText(c.dn, attributes), c.readable) << c.dn;
    std::string cn;
    EXPECT_EQ(DnAttributeValue(c.dn, "CN", cn), c.cn != nullptr) << c.dn;
    if (c.cn != nullptr) {
      EXPECT_EQ(cn, c.cn) << c.dn;
    }
  }
  EXPECT_EQ(DnAttributeLines("CN=a\\,b , O=x", "I"), "ICN=a\\,b\r\nIO=x\r\n");
  EXPECT_EQ(DnAttributeLines("CN=a,junk", "I"), "ICN=a,junk\r\n");
  EXPECT_EQ(DnAttributeLines("", "I"), "");
  // Control bytes never reach a line unescaped.
  EXPECT_EQ(DnAttributeLines("CN=a\r\nSN=1,O=x", ""), "CN=a\\0D\\0ASN=1\r\nO=x\r\n");
}

TEST(DnText, SameNamesAttributeByAttributeInEitherOrder) {
  EXPECT_TRUE(SameDnText("CN=Test CA,O=Example", "cn = Test CA , o=Example"));
  EXPECT_TRUE(SameDnText("CN=Test CA,O=Example", "O=Example, CN=Test CA"));
  EXPECT_TRUE(SameDnText("CN=a\\2Cb,O=x", "CN=\"a,b\",O=x"));
  EXPECT_FALSE(SameDnText("CN=Test CA,O=Example", "CN=Test CA"));
  EXPECT_FALSE(SameDnText("CN=Test CA,O=Example", "CN=Test CA,O=Example,C=RU"));
  EXPECT_FALSE(SameDnText("CN=Test CA,O=Example", "CN=test ca,O=Example"));
  EXPECT_FALSE(SameDnText("CN=Test CA,O=Example", "OU=Test CA,O=Example"));
  EXPECT_FALSE(SameDnText("CN=Test CA,O=Example,C=RU", "O=Example,CN=Test CA,C=RU"));
  EXPECT_FALSE(SameDnText("", ""));
  EXPECT_FALSE(SameDnText("CN=a,junk", "CN=a,junk"));
}

}  // namespace
}  // namespace crtelv
