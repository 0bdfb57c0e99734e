#include "platform/resources.h"

#include <gtest/gtest.h>

#include "support/sandbox.h"

namespace platform {
namespace {

TEST(ResourcesTest, BuiltInFilesAreFoundByTypeAndId) {
  tavtest::Sandbox sandbox;
  std::string bytes;
  ASSERT_TRUE(LoadResource("XML", kResProductXml, &bytes));
  EXPECT_NE(bytes.find("<Product>"), std::string::npos);
  ASSERT_TRUE(LoadResource("XML", kResLangXml, &bytes));
  EXPECT_NE(bytes.find("<Lang>"), std::string::npos);
  ASSERT_TRUE(LoadResource("XML", kResDeployment, &bytes));
  EXPECT_NE(bytes.find("<Deployment>"), std::string::npos);
  // The type is part of the key.
  EXPECT_FALSE(LoadResource("ZIPRES", kResProductXml, &bytes));
  EXPECT_FALSE(LoadResource("XML", 999, &bytes));
}

TEST(ResourcesTest, AFileUnderTheMachineRootOverridesTheBuiltInOne) {
  tavtest::Sandbox sandbox;
  ASSERT_TRUE(tavtest::WriteFile(sandbox.Path("resources/XML/106"), "<Product>other</Product>"));
  ASSERT_TRUE(tavtest::WriteFile(sandbox.Path("resources/ZIPRES/133"), std::string("PK\0\x03", 4)));
  ASSERT_TRUE(tavtest::WriteFile(sandbox.Path("resources/XML/131"), ""));
  std::string bytes;
  ASSERT_TRUE(LoadResource("XML", kResProductXml, &bytes));
  EXPECT_EQ(bytes, "<Product>other</Product>");
  ASSERT_TRUE(LoadResource("ZIPRES", kResSkinZip, &bytes));
  EXPECT_EQ(bytes, std::string("PK\0\x03", 4));
  // An empty override is still the resource: loading it must then fail on
  // its content, not fall back to the built-in file.
  ASSERT_TRUE(LoadResource("XML", kResLangXml, &bytes));
  EXPECT_EQ(bytes, "");
}

}  // namespace
}  // namespace platform
