#include "support/uuid.h"

#include <set>
#include <string>

#include <gtest/gtest.h>

namespace {

TEST(UuidTest, HasTheVersionFourForm) {
  for (int i = 0; i < 200; ++i) {
    const std::string uuid = MakeUuid();
    SCOPED_TRACE(uuid);
    ASSERT_EQ(uuid.size(), 36u);
    for (std::size_t at = 0; at < uuid.size(); ++at) {
      if (at == 8 || at == 13 || at == 18 || at == 23) {
        EXPECT_EQ(uuid[at], '-');
      } else {
        EXPECT_NE(std::string("0123456789abcdef").find(uuid[at]), std::string::npos);
      }
    }
    EXPECT_EQ(uuid[14], '4');
    EXPECT_NE(std::string("89ab").find(uuid[19]), std::string::npos);
  }
}

TEST(UuidTest, CallsGiveDifferentIdentifiers) {
  std::set<std::string> seen;
  for (int i = 0; i < 1000; ++i)
    seen.insert(MakeUuid());
  EXPECT_EQ(seen.size(), 1000u);
  // Every variant digit shows up over many draws.
  std::set<char> variants;
  for (int i = 0; i < 400; ++i)
    variants.insert(MakeUuid()[19]);
  EXPECT_EQ(variants, (std::set<char>{'8', '9', 'a', 'b'}));
}

}  // namespace
