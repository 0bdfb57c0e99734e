#include "support/json_object.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <thread>
#include <vector>

namespace {

using neb::CJsonObject;

const std::string kParseError = "prase json string error at ";

// Every getter fails on an object that holds nothing readable under `key`.
void ExpectNothingUnder(const CJsonObject& json, const std::string& key) {
  std::string text = "untouched";
  int32_t number = 12345;
  CJsonObject object("{\"keep\":1}");
  EXPECT_FALSE(json.Get(key, text));
  EXPECT_FALSE(json.Get(key, number));
  EXPECT_FALSE(json.Get(key, object));
  EXPECT_EQ(text, "untouched");
  EXPECT_EQ(number, 12345);
  EXPECT_EQ(object.ToString(), "{\"keep\":1}");
}

// The cases the callers rely on most, one row each.
TEST(JsonObject, EdgeCases) {
  struct Row {
    const char* name;
    std::function<void()> check;
  };
  const std::vector<Row> rows = {
      {"new object prints nothing",
       [] {
         CJsonObject json;
         EXPECT_EQ(json.ToString(), "");
         EXPECT_EQ(json.LastError(), "");
       }},
      {"members in order without white space",
       [] {
         CJsonObject json;
         EXPECT_TRUE(json.Add("a", std::string("x")));
         EXPECT_TRUE(json.Add("b", 1));
         EXPECT_EQ(json.ToString(), "{\"a\":\"x\",\"b\":1}");
       }},
      {"key differing only in case exists",
       [] {
         CJsonObject json;
         ASSERT_TRUE(json.Add("a", std::string("x")));
         EXPECT_FALSE(json.Add("A", std::string("y")));
         EXPECT_EQ(json.LastError(), "key exists!");
         EXPECT_EQ(json.ToString(), "{\"a\":\"x\"}");
       }},
      {"14-digit form identifier exact",
       [] {
         CJsonObject json;
         EXPECT_TRUE(json.Add("form", int64_t{10310875932697}));
         EXPECT_EQ(json.ToString(), "{\"form\":10310875932697}");
       }},
      {"code lookups",
       [] {
         int32_t code = -1;
         EXPECT_FALSE(CJsonObject("{\"code\":\"0\"}").Get("code", code));
         EXPECT_EQ(code, -1);
         EXPECT_TRUE(CJsonObject("{\"code\":2.9}").Get("code", code));
         EXPECT_EQ(code, 2);
         EXPECT_TRUE(CJsonObject("{\"Code\":7}").Get("code", code));
         EXPECT_EQ(code, 7);
       }},
      {"trailing letters ignored, missing colon reported",
       [] {
         CJsonObject json;
         EXPECT_TRUE(json.Parse("{\"a\":1}abc"));
         EXPECT_EQ(json.ToString(), "{\"a\":1}");
         EXPECT_FALSE(json.Parse("{\"key\" \t 42}"));
         EXPECT_EQ(json.LastError(), kParseError + "42}");
         EXPECT_EQ(json.ToString(), "");
       }},
      {"member of a missing key",
       [] {
         CJsonObject json("{\"a\":1}");
         CJsonObject& first = json.Member("missing");
         EXPECT_EQ(first.ToString(), "");
         EXPECT_EQ(&json.Member("missing"), &first);
         EXPECT_TRUE(first.Add("k", std::string("v")));
         EXPECT_EQ(first.ToString(), "{\"k\":\"v\"}");
         EXPECT_EQ(json.ToString(), "{\"a\":1}");
       }},
      {"appending makes an array",
       [] {
         CJsonObject json;
         EXPECT_TRUE(json.Add(CJsonObject("{\"a\":1}")));
         std::string text = json.ToString();
         ASSERT_FALSE(text.empty());
         EXPECT_EQ(text.front(), '[');
         EXPECT_EQ(text.back(), ']');
       }},
      {"line break and quotation mark escaped",
       [] {
         CJsonObject json;
         EXPECT_TRUE(json.Add("t", std::string("a\n\"b")));
         EXPECT_EQ(json.ToString(), "{\"t\":\"a\\n\\\"b\"}");
       }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    row.check();
  }
}

TEST(JsonObject, ParsesFirstValueOrReportsTheRest) {
  struct Row {
    std::string input;
    bool ok;
    std::string expected;  // the text when ok, else what follows the error message
  };
  const std::vector<Row> rows = {
      {"{}", true, "{}"},
      {" \t\r\n{ \"a\" : 1 , \"b\" : [ true , false , null ] }", true,
       "{\"a\":1,\"b\":[true,false,null]}"},
      {"{\"a\":1}trailing letters", true, "{\"a\":1}"},
      {"[1,2] [3]", true, "[1,2]"},
      {"\"text\"", true, "\"text\""},
      {"-7xyz", true, "-7"},
      {"{\"id\":9007199254740993}", true, "{\"id\":9007199254740993}"},
      {"[9223372036854775807,-9223372036854775808]", true,
       "[9223372036854775807,-9223372036854775808]"},
      {"[1.5,-2.25]", true, "[1.5,-2.25]"},
      {"[-0,-0.0,0]", true, "[-0,-0,0]"},
      {"{\"a\":\"x\\u00e8\\/\"}", true, "{\"a\":\"x\xc3\xa8/\"}"},
      {"{\"a\":1,\"A\":2}", true, "{\"a\":1,\"A\":2}"},
      {"{\"key\"  42}", false, "42}"},
      {"", false, ""},
      {"   ", false, ""},
      {"{", false, ""},
      {"[1,2", false, ""},
      {"nul", false, "nul"},
      {"{\"a\":tru}", false, "tru}"},
      {"[1 2]", false, "2]"},
      {"{\"a\":1 \"b\":2}", false, "\"b\":2}"},
      {"[1-2]", false, "-2]"},
      {"{\"a\":[1,2}", false, "}"},
      {"{1:2}", false, ":2}"},
      {"}", false, "}"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE("input: " + row.input);
    CJsonObject json;
    EXPECT_EQ(json.Parse(row.input), row.ok);
    if (row.ok) {
      EXPECT_EQ(json.ToString(), row.expected);
      EXPECT_EQ(json.LastError(), "");
    } else {
      EXPECT_EQ(json.ToString(), "");
      EXPECT_EQ(json.LastError(), kParseError + row.expected);
      ExpectNothingUnder(json, "a");
    }
    CJsonObject constructed(row.input);
    EXPECT_EQ(constructed.ToString(), row.ok ? row.expected : "");
    EXPECT_EQ(constructed.LastError(), json.LastError());
  }
}

TEST(JsonObject, FailedParseEmptiesAndErrorOutlivesSuccessAndClear) {
  CJsonObject json("{\"a\":1}");
  CJsonObject& view = json.Member("a");
  EXPECT_EQ(view.ToString(), "1");
  EXPECT_FALSE(json.Parse("[oops]"));
  EXPECT_EQ(json.ToString(), "");
  EXPECT_EQ(json.LastError(), kParseError + "oops]");

  EXPECT_TRUE(json.Parse("{\"b\":2}"));
  EXPECT_EQ(json.LastError(), kParseError + "oops]");
  EXPECT_EQ(json.Member("b").ToString(), "2");
  EXPECT_EQ(json.Member("a").ToString(), "");

  json.Clear();
  EXPECT_EQ(json.ToString(), "");
  EXPECT_EQ(json.LastError(), kParseError + "oops]");
  ExpectNothingUnder(json, "b");
}

TEST(JsonObject, EscapesTextsAndReadsThemBack) {
  struct Row {
    std::string value;
    std::string printed;
  };
  const std::vector<Row> rows = {
      {"line\nbreak \"q\"", "line\\nbreak \\\"q\\\""},
      {"back\\slash", "back\\\\slash"},
      {"\b\f\n\r\t", "\\b\\f\\n\\r\\t"},
      {"\x01\x0b\x1f", "\\u0001\\u000b\\u001f"},
      {"a/b", "a/b"},
      {" \x7f", " \x7f"},
      {"\xc3\xa8\xe2\x82\xac\xf0\x9f\x98\x80", "\xc3\xa8\xe2\x82\xac\xf0\x9f\x98\x80"},
      {"\xff\xfe\x80", "\xff\xfe\x80"},
      {"", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE("printed: " + row.printed);
    CJsonObject json;
    ASSERT_TRUE(json.Add("k", row.value));
    const std::string text = "{\"k\":\"" + row.printed + "\"}";
    EXPECT_EQ(json.ToString(), text);
    std::string back;
    EXPECT_TRUE(CJsonObject(text).Get("k", back));
    EXPECT_EQ(back, row.value);
  }
}

TEST(JsonObject, WritesIntegersExactlyAndReadsLow32Bits) {
  struct Row {
    int64_t value;
    std::string digits;
    int32_t low;
  };
  const std::vector<Row> rows = {
      {0, "0", 0},
      {-1, "-1", -1},
      {10310875932697, "10310875932697", -1340544999},
      {9007199254740993, "9007199254740993", 1},
      {4294967298, "4294967298", 2},
      {2147483648, "2147483648", std::numeric_limits<int32_t>::min()},
      {std::numeric_limits<int64_t>::max(), "9223372036854775807", -1},
      {std::numeric_limits<int64_t>::min(), "-9223372036854775808", 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE("digits: " + row.digits);
    CJsonObject json;
    ASSERT_TRUE(json.Add("n", row.value));
    const std::string text = "{\"n\":" + row.digits + "}";
    EXPECT_EQ(json.ToString(), text);
    int32_t low = 7;
    EXPECT_TRUE(json.Get("n", low));
    EXPECT_EQ(low, row.low);
    CJsonObject parsed(text);
    EXPECT_EQ(parsed.ToString(), text);
    low = 7;
    EXPECT_TRUE(parsed.Get("n", low));
    EXPECT_EQ(low, row.low);
  }

  CJsonObject narrow;
  EXPECT_TRUE(narrow.Add("max", std::numeric_limits<int32_t>::max()));
  EXPECT_TRUE(narrow.Add("min", std::numeric_limits<int32_t>::min()));
  EXPECT_EQ(narrow.ToString(), "{\"max\":2147483647,\"min\":-2147483648}");
}

TEST(JsonObject, GetsIntegers) {
  struct Row {
    std::string json;
    std::string key;
    bool found;
    int32_t value;
  };
  const std::vector<Row> rows = {
      {"{\"code\":0}", "code", true, 0},
      {"{\"code\":-0}", "code", true, 0},
      {"{\"code\":2.9}", "code", true, 2},
      {"{\"code\":-2.9}", "code", true, -2},
      {"{\"code\":3e2}", "code", true, 300},
      {"{\"code\":1e20}", "code", true, std::numeric_limits<int32_t>::max()},
      {"{\"code\":-1e20}", "code", true, std::numeric_limits<int32_t>::min()},
      {"{\"code\":99999999999999999999}", "code", true, std::numeric_limits<int32_t>::max()},
      {"{\"Code\":5}", "code", true, 5},
      {"{\"code\":5}", "CODE", true, 5},
      {"{\"a\":1,\"A\":2}", "A", true, 1},
      {"{\"x\":{\"code\":9},\"code\":4}", "code", true, 4},
      {"{\"code\":\"0\"}", "code", false, 0},
      {"{\"code\":true}", "code", false, 0},
      {"{\"code\":null}", "code", false, 0},
      {"{\"code\":[1]}", "code", false, 0},
      {"{\"code\":{}}", "code", false, 0},
      {"{\"codes\":1}", "code", false, 0},
      {"{\"\xc3\x89\":1}", "\xc3\xa9", false, 0},
      {"[{\"code\":1}]", "code", false, 0},
      {"1", "code", false, 0},
      {"", "code", false, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.json + " / " + row.key);
    CJsonObject json(row.json);
    int32_t value = 12345;
    EXPECT_EQ(json.Get(row.key, value), row.found);
    EXPECT_EQ(value, row.found ? row.value : 12345);
  }
}

TEST(JsonObject, GetsTextsOnly) {
  struct Row {
    std::string json;
    std::string key;
    bool found;
    std::string value;
  };
  const std::vector<Row> rows = {
      {"{\"s\":\"x\"}", "s", true, "x"},
      {"{\"S\":\"y\"}", "s", true, "y"},
      {"{\"s\":\"\"}", "s", true, ""},
      {"{\"s\":\"a\\nb\\u00e8\\\"\"}", "s", true, "a\nb\xc3\xa8\""},
      {"{\"s\":1}", "s", false, ""},
      {"{\"s\":null}", "s", false, ""},
      {"{\"s\":[\"x\"]}", "s", false, ""},
      {"{\"s\":{\"s\":\"x\"}}", "s", false, ""},
      {"{\"t\":\"x\"}", "s", false, ""},
      {"[\"s\"]", "s", false, ""},
      {"\"s\"", "s", false, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.json + " / " + row.key);
    CJsonObject json(row.json);
    std::string value = "untouched";
    EXPECT_EQ(json.Get(row.key, value), row.found);
    EXPECT_EQ(value, row.found ? row.value : "untouched");
  }
}

TEST(JsonObject, GetsAnyMemberAsObject) {
  struct Row {
    std::string json;
    std::string key;
    bool found;
    std::string value;
  };
  const std::vector<Row> rows = {
      {"{\"data\":{\"id\":1,\"name\":\"f\"}}", "data", true, "{\"id\":1,\"name\":\"f\"}"},
      {"{\"Data\":[1,{\"a\":[]}]}", "data", true, "[1,{\"a\":[]}]"},
      {"{\"data\":\"x\"}", "data", true, "\"x\""},
      {"{\"data\":12345678901234567}", "data", true, "12345678901234567"},
      {"{\"data\":null}", "data", true, "null"},
      {"{\"other\":1}", "data", false, ""},
      {"[{\"data\":1}]", "data", false, ""},
      {"", "data", false, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.json + " / " + row.key);
    CJsonObject json(row.json);
    CJsonObject out("{\"keep\":1}");
    EXPECT_EQ(json.Get(row.key, out), row.found);
    EXPECT_EQ(out.ToString(), row.found ? row.value : "{\"keep\":1}");
  }
}

TEST(JsonObject, GotObjectSharesNothingWithTheSource) {
  CJsonObject source("{\"data\":{\"id\":1}}");
  CJsonObject copy;
  ASSERT_TRUE(source.Get("data", copy));
  EXPECT_TRUE(copy.Add("extra", 2));
  EXPECT_EQ(copy.ToString(), "{\"id\":1,\"extra\":2}");
  EXPECT_EQ(source.ToString(), "{\"data\":{\"id\":1}}");

  // A view that receives a copy owns it and leaves the tree it viewed alone.
  CJsonObject body("{\"files\":[]}");
  CJsonObject& files = body.Member("files");
  ASSERT_TRUE(source.Get("data", files));
  EXPECT_TRUE(files.Add("more", 3));
  EXPECT_EQ(files.ToString(), "{\"id\":1,\"more\":3}");
  EXPECT_EQ(body.ToString(), "{\"files\":[]}");

  // Into the object itself: the member's text is taken before clearing.
  ASSERT_TRUE(source.Get("data", source));
  EXPECT_EQ(source.ToString(), "{\"id\":1}");
}

TEST(JsonObject, KeyedAdditions) {
  struct Row {
    const char* name;
    std::string start;  // parsed first unless empty
    std::function<bool(CJsonObject&)> add;
    bool ok;
    std::string error;
    std::string text;
  };
  const std::string kZero("k\0x", 3);
  const std::vector<Row> rows = {
      {"text on a new object", "", [](CJsonObject& j) { return j.Add("a", std::string("x")); },
       true, "", "{\"a\":\"x\"}"},
      {"32-bit after a member", "{\"a\":1}", [](CJsonObject& j) { return j.Add("b", -5); }, true,
       "", "{\"a\":1,\"b\":-5}"},
      {"64-bit", "{}", [](CJsonObject& j) { return j.Add("id", int64_t{-10310875932697}); }, true,
       "", "{\"id\":-10310875932697}"},
      {"empty array", "", [](CJsonObject& j) { return j.AddEmptyArray("files"); }, true, "",
       "{\"files\":[]}"},
      {"text under an existing key", "{\"a\":1}",
       [](CJsonObject& j) { return j.Add("A", std::string("y")); }, false, "key exists!",
       "{\"a\":1}"},
      {"integer under an existing key", "{\"Ab\":\"x\"}",
       [](CJsonObject& j) { return j.Add("aB", int64_t{2}); }, false, "key exists!",
       "{\"Ab\":\"x\"}"},
      {"array under an existing key", "{\"files\":[1]}",
       [](CJsonObject& j) { return j.AddEmptyArray("FILES"); }, false, "key exists!",
       "{\"files\":[1]}"},
      {"text on an array", "[1]", [](CJsonObject& j) { return j.Add("a", std::string("x")); },
       false, "not a json object! json array?", "[1]"},
      {"array on an array", "[]", [](CJsonObject& j) { return j.AddEmptyArray("a"); }, false,
       "not a json object! json array?", "[]"},
      {"integer on a text", "\"s\"", [](CJsonObject& j) { return j.Add("a", 1); }, false,
       "not a json object! json array?", "\"s\""},
      {"key with a zero byte", "",
       [&kZero](CJsonObject& j) { return j.Add(kZero, std::string("v")); }, false,
       "key or text holds a zero byte!", "{}"},
      {"text with a zero byte", "{}",
       [](CJsonObject& j) { return j.Add("k", std::string("a\0b", 3)); }, false,
       "key or text holds a zero byte!", "{}"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    CJsonObject json;
    if (!row.start.empty()) {
      ASSERT_TRUE(json.Parse(row.start));
    }
    EXPECT_EQ(row.add(json), row.ok);
    EXPECT_EQ(json.LastError(), row.error);
    EXPECT_EQ(json.ToString(), row.text);
  }
}

TEST(JsonObject, AppendsElements) {
  struct Row {
    std::string start;    // parsed first unless empty
    std::string element;  // parsed unless empty
    bool ok;
    std::string error;
    std::string text;
  };
  const std::vector<Row> rows = {
      {"", "{\"a\":1}", true, "", "[{\"a\":1}]"},
      {"[1]", "2", true, "", "[1,2]"},
      {"[]", "\"s\"", true, "", "[\"s\"]"},
      {"[true]", "[null,{\"id\":9223372036854775807}]", true, "",
       "[true,[null,{\"id\":9223372036854775807}]]"},
      {"{\"a\":1}", "{\"b\":2}", false, "not a json array! json object?", "{\"a\":1}"},
      {"\"s\"", "1", false, "not a json array! json object?", "\"s\""},
      {"", "", false, kParseError, "[]"},
      {"[1]", "", false, kParseError, "[1]"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.start + " + " + row.element);
    CJsonObject json;
    if (!row.start.empty()) {
      ASSERT_TRUE(json.Parse(row.start));
    }
    CJsonObject element;
    if (!row.element.empty()) {
      ASSERT_TRUE(element.Parse(row.element));
    }
    EXPECT_EQ(json.Add(element), row.ok);
    EXPECT_EQ(json.LastError(), row.error);
    EXPECT_EQ(json.ToString(), row.text);
    EXPECT_EQ(element.ToString(), row.element);
  }
}

TEST(JsonObject, AppendedCopySharesNothing) {
  CJsonObject element("{\"id\":1}");
  CJsonObject list;
  ASSERT_TRUE(list.Add(element));
  ASSERT_TRUE(element.Add("late", 2));
  EXPECT_EQ(list.ToString(), "[{\"id\":1}]");
  EXPECT_EQ(element.ToString(), "{\"id\":1,\"late\":2}");

  // Appending an array to itself nests its old contents.
  ASSERT_TRUE(list.Add(list));
  EXPECT_EQ(list.ToString(), "[{\"id\":1},[{\"id\":1}]]");
}

// The upload pattern: an empty array in the body, filled through its view
// with the "data" of each upload answer.
TEST(JsonObject, MemberViewFillsNestedArrayInPlace) {
  CJsonObject body;
  ASSERT_TRUE(body.Add("token", std::string("t")));
  ASSERT_TRUE(body.AddEmptyArray("files"));
  const std::vector<std::string> answers = {
      "{\"code\":0,\"data\":{\"id\":10310875932697,\"name\":\"a.log\"}}",
      "{\"code\":0,\"Data\":{\"id\":2,\"name\":\"b.dmp\"}}",
  };
  for (const std::string& text : answers) {
    SCOPED_TRACE(text);
    CJsonObject answer(text);
    CJsonObject data;
    ASSERT_TRUE(answer.Get("data", data));
    EXPECT_TRUE(body.Member("files").Add(data));
  }
  EXPECT_EQ(body.ToString(),
            "{\"token\":\"t\",\"files\":[{\"id\":10310875932697,\"name\":\"a.log\"},"
            "{\"id\":2,\"name\":\"b.dmp\"}]}");
  EXPECT_EQ(body.Member("files").ToString(),
            "[{\"id\":10310875932697,\"name\":\"a.log\"},{\"id\":2,\"name\":\"b.dmp\"}]");
}

TEST(JsonObject, ViewsFindMembersIgnoringCaseAndCacheByExactKey) {
  CJsonObject body("{\"Files\":[]}");
  CJsonObject& lower = body.Member("files");
  CJsonObject& upper = body.Member("FILES");
  EXPECT_NE(&lower, &upper);
  EXPECT_EQ(&body.Member("files"), &lower);
  EXPECT_TRUE(lower.Add(CJsonObject("1")));
  EXPECT_TRUE(upper.Add(CJsonObject("2")));
  EXPECT_EQ(body.ToString(), "{\"Files\":[1,2]}");
  EXPECT_EQ(lower.ToString(), "[1,2]");

  // Keyed additions through views change the viewed tree too; a view of an
  // array refuses them like any array.
  CJsonObject nested("{\"a\":{\"b\":[]}}");
  CJsonObject& a = nested.Member("a");
  EXPECT_TRUE(a.Member("b").Add(CJsonObject("{\"x\":1}")));
  EXPECT_TRUE(a.Add("c", std::string("y")));
  EXPECT_FALSE(a.Add("B", 1));
  EXPECT_EQ(a.LastError(), "key exists!");
  EXPECT_FALSE(a.Member("b").Add("k", 1));
  EXPECT_EQ(a.Member("b").LastError(), "not a json object! json array?");
  EXPECT_FALSE(a.Add(CJsonObject("1")));
  EXPECT_EQ(a.LastError(), "not a json array! json object?");
  EXPECT_EQ(nested.ToString(), "{\"a\":{\"b\":[{\"x\":1}],\"c\":\"y\"}}");

  // A missing key on an array gives a detached object as well.
  CJsonObject list("[1]");
  EXPECT_TRUE(list.Member("a").Add("k", 1));
  EXPECT_EQ(list.ToString(), "[1]");
}

TEST(JsonObject, ParseOrClearOnViewDetachesIt) {
  CJsonObject owner("{\"a\":{\"b\":1},\"c\":[2]}");
  CJsonObject& a = owner.Member("a");
  ASSERT_EQ(a.ToString(), "{\"b\":1}");
  EXPECT_TRUE(a.Parse("[5]"));
  EXPECT_EQ(a.ToString(), "[5]");
  EXPECT_TRUE(a.Add(CJsonObject("6")));
  EXPECT_EQ(a.ToString(), "[5,6]");

  CJsonObject& c = owner.Member("c");
  EXPECT_FALSE(c.Parse("[bad"));
  EXPECT_EQ(c.ToString(), "");
  EXPECT_EQ(c.LastError(), kParseError + "bad");
  EXPECT_EQ(owner.ToString(), "{\"a\":{\"b\":1},\"c\":[2]}");

  CJsonObject& again = owner.Member("a");
  EXPECT_EQ(&again, &a);
  again.Clear();
  EXPECT_EQ(again.ToString(), "");
  EXPECT_TRUE(again.Add("new", 1));
  EXPECT_EQ(again.ToString(), "{\"new\":1}");
  EXPECT_EQ(owner.ToString(), "{\"a\":{\"b\":1},\"c\":[2]}");
}

TEST(JsonObject, MalformedInputGivesTheErrorText) {
  const std::vector<std::string> inputs = {
      std::string(5000, '['),
      std::string(1001, '[') + std::string(1001, ']'),
      std::string("\0\0", 2),
      std::string("{\"a\":\0}", 7),
      "\xff\xfe",
      "{\"a\":\"\\u12\"}",
      "{\"a\":\"\\ud800\"}",
      "[\"\\x\"]",
      "\"\\",
      "\"unterminated",
      "-",
      "--1",
      ".5",
      "+1",
      "[,]",
      "{,}",
      "{\"a\"}",
      "[1,]",
      "{\"a\":1,}",
      "tru",
      "[\"a\" \"b\"]",
  };
  for (const std::string& input : inputs) {
    SCOPED_TRACE("input: " + input.substr(0, 40));
    CJsonObject json;
    EXPECT_FALSE(json.Parse(input));
    EXPECT_EQ(json.ToString(), "");
    const std::string& error = json.LastError();
    ASSERT_EQ(error.compare(0, kParseError.size(), kParseError), 0) << error;
    const std::string rest = error.substr(kParseError.size());
    ASSERT_LE(rest.size(), input.size());
    EXPECT_EQ(input.compare(input.size() - rest.size(), rest.size(), rest), 0);
    ExpectNothingUnder(json, "a");
    EXPECT_EQ(json.Member("a").ToString(), "");
  }

  // The nesting limit is exactly reachable.
  std::string deep = std::string(1000, '[') + std::string(1000, ']');
  CJsonObject json(deep);
  EXPECT_EQ(json.ToString(), deep);
}

TEST(JsonObject, ParseErrorsBelongToTheirOwnCall) {
  const std::vector<std::string> inputs = {"[1,x]", "{\"a\" 1}", "[\"s\" 2]", "{\"k\":tru}"};
  const std::vector<std::string> rests = {"x]", "1}", "2]", "tru}"};
  std::vector<std::string> failures(inputs.size());
  std::vector<std::thread> threads;
  for (size_t i = 0; i < inputs.size(); ++i) {
    threads.emplace_back([&, i] {
      for (int round = 0; round < 500; ++round) {
        CJsonObject json;
        if (json.Parse(inputs[i]) || json.LastError() != kParseError + rests[i]) {
          failures[i] = json.LastError();
          return;
        }
        CJsonObject good("{\"n\":1}");
        if (good.ToString() != "{\"n\":1}") {
          failures[i] = good.ToString();
          return;
        }
      }
    });
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  for (size_t i = 0; i < inputs.size(); ++i) {
    SCOPED_TRACE(inputs[i]);
    EXPECT_EQ(failures[i], "");
  }
}

}  // namespace
