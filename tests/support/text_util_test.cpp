#include "support/text_util.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

namespace {

const std::string kFffd = "\xEF\xBF\xBD";

TEST(TextUtilTest, ConversionsKeepValidTextAndRepairInvalidBytes) {
  const struct {
    std::string in;
    std::string out;
  } cases[] = {
      {"", ""},
      {"plain ASCII", "plain ASCII"},
      {"Caff\xC3\xA8 \xE2\x82\xAC \xF0\x9F\x98\x80", "Caff\xC3\xA8 \xE2\x82\xAC \xF0\x9F\x98\x80"},
      {"a\xFF"
       "b",
       "a" + kFffd + "b"},
      {"\xE2\x82", kFffd},                                  // cut short: one replacement
      {"\xC0\xAF", kFffd + kFffd},                          // overlong
      {"\xED\xA0\x80", kFffd + kFffd + kFffd},              // surrogate
      {"\xF4\x90\x80\x80", kFffd + kFffd + kFffd + kFffd},  // above U+10FFFF
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(AnsiToWide(c.in), c.out);
    EXPECT_EQ(WideToAnsi(c.in), c.out);
    EXPECT_EQ(Utf8ToWide(c.in), c.out);
    EXPECT_EQ(WideToUtf8(c.in), c.out);
  }
}

TEST(TextUtilTest, LengthsCountUtf16Units) {
  const struct {
    std::string text;
    size_t units;
  } cases[] = {
      {"", 0},     {"abc", 3}, {"\xC3\xA8", 1}, {"\xE2\x82\xAC", 1}, {"\xF0\x9F\x98\x80", 2},
      {"\xFF", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(Utf16Length(c.text), c.units);
  }
  const std::string mixed =
      "a\xF0\x9F\x98\x80"
      "b";
  const struct {
    size_t max;
    std::string out;
  } cuts[] = {{0, ""}, {1, "a"}, {2, "a"}, {3, "a\xF0\x9F\x98\x80"}, {4, mixed}, {99, mixed}};
  for (const auto& c : cuts) {
    SCOPED_TRACE(c.max);
    EXPECT_EQ(CutToUtf16Length(mixed, c.max), c.out);
  }
}

TEST(TextUtilTest, NumbersAsText) {
  EXPECT_EQ(UnsignedToText(0), "0");
  EXPECT_EQ(UnsignedToText(4294967295u), "4294967295");
  const struct {
    int32_t value;
    const char* decimal;
    const char* hex;
  } cases[] = {
      {0, "0", "0"},
      {42, "42", "2A"},
      {0x1A2B, "6699", "1A2B"},
      {-1, "-1", "FFFFFFFF"},
      {INT32_MIN, "-2147483648", "80000000"},
      {INT32_MAX, "2147483647", "7FFFFFFF"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.decimal);
    EXPECT_EQ(IntToWide(c.value), c.decimal);
    EXPECT_EQ(IntToHexWide(c.value), c.hex);
  }
}

TEST(TextUtilTest, TrimRemovesBlanksAtBothEnds) {
  const struct {
    const char* in;
    const char* out;
  } cases[] = {
      {"", ""},           {"   ", ""},        {"abc", "abc"},
      {"  a b  ", "a b"}, {"\t\r\nx\n", "x"}, {" \xC3\xA8 ", "\xC3\xA8"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(Trim(c.in), c.out);
  }
}

TEST(TextUtilTest, SplitTrimmedKeepsNonEmptyPiecesInOrder) {
  const struct {
    const char* text;
    const char* separator;
    std::vector<std::string> pieces;
  } cases[] = {
      {"a,b,c", ",", {"a", "b", "c"}},
      {" a , , b ,", ",", {"a", "b"}},
      {"", ",", {}},
      {",,,", ",", {}},
      {"one", ",", {"one"}},
      {"x||y|| z ||", "||", {"x", "y", "z"}},
      {"a|b", "||", {"a|b"}},
      {" whole text ", "", {"whole text"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.text) + " / " + c.separator);
    std::vector<std::string> pieces = {"stale"};
    EXPECT_EQ(SplitTrimmed(c.text, c.separator, &pieces), static_cast<int>(c.pieces.size()));
    EXPECT_EQ(pieces, c.pieces);
  }
}

TEST(TextUtilTest, RemoveAllRemovesEveryOccurrence) {
  const struct {
    const char* text;
    const char* what;
    const char* out;
  } cases[] = {
      {"C:\\Program Files (x86)\\", " (x86)", "C:\\Program Files\\"},
      {"aaaa", "aa", ""},
      {"abcabc", "b", "acac"},
      {"abc", "", "abc"},
      {"abc", "x", "abc"},
      {"", "x", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.text) + " - " + c.what);
    EXPECT_EQ(RemoveAll(c.text, c.what), c.out);
  }
}

TEST(TextUtilTest, IsHttpUrlNeedsAHostAfterTheScheme) {
  const struct {
    const char* text;
    bool url;
  } cases[] = {
      {"http://a", true},  {"https://a", true},        {"  http://example.com/x ", true},
      {"http://", false},  {"https://", false},        {" https:// ", false},
      {"HTTP://a", false}, {"ftp://a", false},         {"", false},
      {"http:/a", false},  {"www.example.com", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(IsHttpUrl(c.text), c.url);
  }
}

TEST(TextUtilTest, AddTimeParameterAppendsTheCurrentSeconds) {
  const struct {
    const char* url;
    const char* prefix;
  } cases[] = {
      {"http://h/x", "http://h/x?_t="},
      {"http://h/x?a=1", "http://h/x?a=1&_t="},
      {"http://h/x?", "http://h/x?&_t="},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url);
    const uint64_t before = static_cast<uint64_t>(std::time(nullptr));
    const std::string out = AddTimeParameter(c.url);
    const uint64_t after = static_cast<uint64_t>(std::time(nullptr));
    const std::string prefix = c.prefix;
    ASSERT_EQ(out.compare(0, prefix.size(), prefix), 0) << out;
    const std::string digits = out.substr(prefix.size());
    ASSERT_FALSE(digits.empty());
    ASSERT_EQ(digits.find_first_not_of("0123456789"), std::string::npos) << digits;
    const uint64_t seconds = std::stoull(digits);
    EXPECT_GE(seconds, before);
    EXPECT_LE(seconds, after);
  }
}

std::string StampOf(std::time_t when) {
  std::tm local{};
  localtime_r(&when, &local);
  char text[32];
  return std::string(text, std::strftime(text, sizeof(text), "%Y%m%d%H%M%S", &local));
}

TEST(TextUtilTest, LocalTimeStampIsFourteenDigitsOfNow) {
  const std::string before = StampOf(std::time(nullptr));
  const std::string stamp = LocalTimeStamp();
  const std::string after = StampOf(std::time(nullptr));
  ASSERT_EQ(stamp.size(), 14u);
  EXPECT_EQ(stamp.find_first_not_of("0123456789"), std::string::npos);
  EXPECT_GE(stamp, before);
  EXPECT_LE(stamp, after);
}

}  // namespace
