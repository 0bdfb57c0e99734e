// Parses arbitrary bytes, prints them back and walks what was parsed through
// the object's own lookups; builds objects from the bytes as keys and texts.
// Any broken invariant traps.
#include "support/json_object.h"

#include <cjson/cJSON.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace {

constexpr int kMaxItems = 32;
constexpr int kMaxDepth = 6;
const std::string kParseError = "prase json string error at ";

// Members that differ only in case all lead to the first of them, so a walk
// could revisit one subtree many times over; a budget per input bounds it.
int g_budget = 0;

void Check(bool ok) {
  if (!ok) {
    __builtin_trap();
  }
}

// cJSON names the keys and elements; the object under test answers for them.
cJSON* Shape(const std::string& text) {
  return cJSON_ParseWithLength(text.c_str(), text.size());
}

std::string Print(const cJSON* item) {
  char* printed = cJSON_PrintUnformatted(item);
  Check(printed != nullptr);
  std::string text(printed);
  cJSON_free(printed);
  return text;
}

void Walk(neb::CJsonObject& json, int depth);

void WalkObject(neb::CJsonObject& json, const cJSON* shape, int depth) {
  int count = 0;
  for (const cJSON* member = shape->child; member != nullptr && count < kMaxItems;
       member = member->next, ++count) {
    if (--g_budget < 0) {
      return;
    }
    const std::string key = member->string;
    neb::CJsonObject copy;
    Check(json.Get(key, copy));
    neb::CJsonObject& view = json.Member(key);
    Check(&json.Member(key) == &view);
    Check(view.ToString() == copy.ToString());
    std::string text;
    if (json.Get(key, text)) {
      Check(copy.ToString().front() == '"');
    }
    int32_t number = 0;
    json.Get(key, number);
    // Already present, whatever the kind: keyed additions never replace.
    const std::string before = json.ToString();
    Check(!json.Add(key, std::string("x")));
    Check(json.LastError() == "key exists!");
    Check(json.ToString() == before);
    Walk(view, depth + 1);
  }
}

void WalkArray(neb::CJsonObject& json, const cJSON* shape) {
  neb::CJsonObject rebuilt;
  int count = 0;
  const cJSON* element = shape->child;
  for (; element != nullptr && count < kMaxItems; element = element->next, ++count) {
    neb::CJsonObject item(Print(element));
    Check(item.ToString() != "");
    Check(rebuilt.Add(item));
  }
  Check(!json.Add("k", 1));
  Check(json.LastError() == "not a json object! json array?");
  if (element != nullptr || count == 0) {
    return;
  }
  // The elements went through cJSON's doubles, so compare both sides as
  // cJSON prints them.
  cJSON* left = Shape(rebuilt.ToString());
  cJSON* right = Shape(json.ToString());
  Check(left != nullptr && right != nullptr);
  Check(Print(left) == Print(right));
  cJSON_Delete(left);
  cJSON_Delete(right);
}

void Walk(neb::CJsonObject& json, int depth) {
  if (depth > kMaxDepth) {
    return;
  }
  cJSON* shape = Shape(json.ToString());
  Check(shape != nullptr);
  if (cJSON_IsObject(shape)) {
    WalkObject(json, shape, depth);
  } else if (cJSON_IsArray(shape)) {
    WalkArray(json, shape);
  }
  cJSON_Delete(shape);
}

void ParseAndWalk(const std::string& input) {
  neb::CJsonObject json;
  if (!json.Parse(input)) {
    Check(json.ToString() == "");
    const std::string& error = json.LastError();
    Check(error.compare(0, kParseError.size(), kParseError) == 0);
    const std::string rest = error.substr(kParseError.size());
    Check(rest.size() <= input.size());
    Check(input.compare(input.size() - rest.size(), rest.size(), rest) == 0);
    return;
  }
  // Printing is stable: what is printed parses to the same text.
  const std::string printed = json.ToString();
  Check(printed != "");
  neb::CJsonObject again(printed);
  Check(again.ToString() == printed);
  Walk(json, 0);

  neb::CJsonObject list;
  Check(list.Add(json));
  Check(list.ToString() == "[" + printed + "]");
}

// First byte: key length; then the key; the rest is the text value.
void BuildAndReadBack(const std::string& input) {
  if (input.empty()) {
    return;
  }
  size_t key_size = static_cast<unsigned char>(input[0]) % 16;
  std::string key = input.substr(1, key_size);
  std::string value = input.size() > 1 + key_size ? input.substr(1 + key_size) : "";
  neb::CJsonObject json;
  bool zero = key.find('\0') != std::string::npos || value.find('\0') != std::string::npos;
  Check(json.Add(key, value) == !zero);
  if (zero) {
    return;
  }
  const std::string printed = json.ToString();
  for (char c : printed) {
    Check(static_cast<unsigned char>(c) >= 0x20);
  }
  neb::CJsonObject parsed(printed);
  std::string back;
  Check(parsed.Get(key, back));
  Check(back == value);

  int64_t number = 0;
  std::memcpy(&number, input.data(), input.size() < sizeof(number) ? input.size() : sizeof(number));
  neb::CJsonObject numbers;
  Check(numbers.Add("n", number));
  Check(numbers.ToString() == "{\"n\":" + std::to_string(number) + "}");
  int32_t low = 0;
  Check(neb::CJsonObject(numbers.ToString()).Get("N", low));
  Check(low == static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(number))));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  g_budget = 512;
  ParseAndWalk(input);
  BuildAndReadBack(input);
  return 0;
}
