#include "support/json_object.h"

#include <cjson/cJSON.h>

#include <charconv>
#include <cmath>
#include <cstring>
#include <optional>
#include <vector>

namespace neb {
namespace {

constexpr char kParseError[] = "prase json string error at ";
constexpr char kNoData[] = "json data is null!";
constexpr char kNotObject[] = "not a json object! json array?";
constexpr char kNotArray[] = "not a json array! json object?";
constexpr char kKeyExists[] = "key exists!";
constexpr char kNoArray[] = "create sub empty array error!";
// Not reachable with well-formed callers: cJSON keeps C strings, and an
// allocation may fail.
constexpr char kZeroByte[] = "key or text holds a zero byte!";
constexpr char kNoItem[] = "create json item error!";

char AsciiLower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// cJSON_GetObjectItem folds case through the C locale; keys here fold ASCII
// letters only and must match in full (a key with a zero byte never does).
bool KeyEquals(const char* member_key, const std::string& key) {
  if (member_key == nullptr || std::strlen(member_key) != key.size()) {
    return false;
  }
  for (size_t i = 0; i < key.size(); ++i) {
    if (AsciiLower(member_key[i]) != AsciiLower(key[i])) {
      return false;
    }
  }
  return true;
}

cJSON* FindMember(const cJSON* object, const std::string& key) {
  if (!cJSON_IsObject(object)) {
    return nullptr;
  }
  for (cJSON* member = object->child; member != nullptr; member = member->next) {
    if (KeyEquals(member->string, key)) {
      return member;
    }
  }
  return nullptr;
}

std::string Print(const cJSON* item) {
  if (item == nullptr) {
    return std::string();
  }
  char* printed = cJSON_PrintUnformatted(item);
  if (printed == nullptr) {
    return std::string();
  }
  std::string text(printed);
  cJSON_free(printed);
  return text;
}

// Integers are kept as raw items holding their decimal digits, because cJSON
// stores numbers as doubles and prints even 16-digit integers in exponent
// form. Parsing never makes raw items, so in these trees a raw item is
// always an integer.
std::string Digits(int64_t value) {
  char digits[24];
  auto result = std::to_chars(digits, digits + sizeof(digits), value);
  return std::string(digits, result.ptr);
}

cJSON* CreateInteger(int64_t value) {
  return cJSON_CreateRaw(Digits(value).c_str());
}

bool IsNumberByte(char c) {
  return (c >= '0' && c <= '9') || c == '-' || c == '+' || c == '.' || c == 'e' || c == 'E';
}

// The number tokens of a successfully parsed text, in order: the value of
// each one without fraction and exponent that fits 64 bits, else nothing.
std::vector<std::optional<int64_t>> IntegerTokens(const char* text, size_t size) {
  std::vector<std::optional<int64_t>> tokens;
  size_t i = 0;
  while (i < size) {
    char c = text[i];
    if (c == '"') {
      for (++i; i < size && text[i] != '"'; ++i) {
        if (text[i] == '\\') {
          ++i;
        }
      }
      ++i;
      continue;
    }
    if (c != '-' && (c < '0' || c > '9')) {
      ++i;
      continue;
    }
    size_t start = i;
    bool integral = true;
    for (; i < size && IsNumberByte(text[i]); ++i) {
      integral = integral && text[i] != '.' && text[i] != 'e' && text[i] != 'E';
    }
    int64_t value = 0;
    auto [end, ec] = std::from_chars(text + start, text + i, value);
    // A negative zero stays a double, so that "-0" survives printing.
    bool whole = integral && ec == std::errc() && end == text + i && !(value == 0 && c == '-');
    tokens.push_back(whole ? std::optional<int64_t>(value) : std::nullopt);
  }
  return tokens;
}

// Number items of a tree in document order, without recursion.
std::vector<cJSON*> NumberItems(cJSON* root) {
  std::vector<cJSON*> numbers;
  std::vector<cJSON*> siblings;  // next siblings still to visit
  cJSON* node = root;
  while (node != nullptr) {
    if (cJSON_IsNumber(node)) {
      numbers.push_back(node);
    }
    cJSON* next = node->next;
    if (node->child != nullptr) {
      if (next != nullptr) {
        siblings.push_back(next);
      }
      next = node->child;
    }
    if (next == nullptr && !siblings.empty()) {
      next = siblings.back();
      siblings.pop_back();
    }
    node = next;
  }
  return numbers;
}

bool MakeRawInteger(cJSON* item, int64_t value) {
  std::string digits = Digits(value);
  char* copy = static_cast<char*>(cJSON_malloc(digits.size() + 1));
  if (copy == nullptr) {
    return false;
  }
  std::memcpy(copy, digits.c_str(), digits.size() + 1);
  item->type = (item->type & ~0xFF) | cJSON_Raw;
  item->valuestring = copy;
  return true;
}

// Turns the parsed integers of `root` into exact integers. Number items and
// number tokens pair up in document order; should they ever not (count or
// value), the doubles stay as cJSON made them.
void KeepIntegersExact(cJSON* root, const char* text, size_t size) {
  std::vector<std::optional<int64_t>> tokens = IntegerTokens(text, size);
  std::vector<cJSON*> numbers = NumberItems(root);
  if (tokens.size() != numbers.size()) {
    return;
  }
  for (size_t i = 0; i < numbers.size(); ++i) {
    if (tokens[i] && static_cast<double>(*tokens[i]) == numbers[i]->valuedouble) {
      MakeRawInteger(numbers[i], *tokens[i]);
    }
  }
}

// Parses the first JSON value of `text`; null with `error` set on failure.
cJSON* ParseTree(const std::string& text, std::string& error) {
  const char* begin = text.c_str();
  const char* stop = nullptr;
  // The length takes in the terminating zero so that a text cut short
  // stops at its end rather than on its last byte.
  cJSON* tree = cJSON_ParseWithLengthOpts(begin, text.size() + 1, &stop, false);
  size_t consumed = text.size();
  if (stop != nullptr && stop >= begin && stop <= begin + text.size()) {
    consumed = static_cast<size_t>(stop - begin);
  }
  if (tree == nullptr) {
    error = kParseError + text.substr(consumed);
    return nullptr;
  }
  KeepIntegersExact(tree, begin, consumed);
  return tree;
}

bool HasZeroByte(const std::string& text) {
  return text.find('\0') != std::string::npos;
}

}  // namespace

CJsonObject::CJsonObject() = default;

CJsonObject::CJsonObject(const std::string& text) {
  Parse(text);
}

CJsonObject::~CJsonObject() {
  Clear();
}

bool CJsonObject::Parse(const std::string& text) {
  Clear();
  root_ = ParseTree(text, last_error_);
  return root_ != nullptr;
}

void CJsonObject::Clear() {
  // Views first: they point into the tree about to go.
  views_.clear();
  viewed_ = nullptr;
  if (root_ != nullptr) {
    cJSON_Delete(root_);
    root_ = nullptr;
  }
}

std::string CJsonObject::ToString() const {
  return Print(Item());
}

bool CJsonObject::Get(const std::string& key, CJsonObject& out) const {
  const cJSON* member = FindMember(Item(), key);
  if (member == nullptr) {
    return false;
  }
  // The text is taken before `out` is cleared: `out` may be this object or
  // the owner of this view.
  return out.Parse(Print(member));
}

bool CJsonObject::Get(const std::string& key, std::string& out) const {
  const cJSON* member = FindMember(Item(), key);
  if (!cJSON_IsString(member) || member->valuestring == nullptr) {
    return false;
  }
  out = member->valuestring;
  return true;
}

bool CJsonObject::Get(const std::string& key, int32_t& out) const {
  const cJSON* member = FindMember(Item(), key);
  if (cJSON_IsRaw(member)) {
    const char* digits = member->valuestring;
    int64_t value = 0;
    auto [end, ec] = std::from_chars(digits, digits + std::strlen(digits), value);
    if (ec != std::errc()) {
      return false;
    }
    out = static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(value)));
    return true;
  }
  if (!cJSON_IsNumber(member) || std::isnan(member->valuedouble)) {
    return false;
  }
  double value = std::trunc(member->valuedouble);
  if (value >= 2147483647.0) {
    out = INT32_MAX;
  } else if (value <= -2147483648.0) {
    out = INT32_MIN;
  } else {
    out = static_cast<int32_t>(value);
  }
  return true;
}

cJSON* CJsonObject::ObjectForKey(const std::string& key) {
  if (Item() == nullptr) {
    root_ = cJSON_CreateObject();
    if (root_ == nullptr) {
      last_error_ = kNoData;
      return nullptr;
    }
  }
  cJSON* object = Item();
  if (!cJSON_IsObject(object)) {
    last_error_ = kNotObject;
    return nullptr;
  }
  if (FindMember(object, key) != nullptr) {
    last_error_ = kKeyExists;
    return nullptr;
  }
  return object;
}

bool CJsonObject::Attach(const std::string& key, cJSON* value) {
  if (value == nullptr) {
    last_error_ = kNoItem;
    return false;
  }
  if (!cJSON_AddItemToObject(Item(), key.c_str(), value)) {
    cJSON_Delete(value);
    last_error_ = kNoItem;
    return false;
  }
  return true;
}

bool CJsonObject::Add(const std::string& key, const std::string& value) {
  if (ObjectForKey(key) == nullptr) {
    return false;
  }
  if (HasZeroByte(key) || HasZeroByte(value)) {
    last_error_ = kZeroByte;
    return false;
  }
  return Attach(key, cJSON_CreateString(value.c_str()));
}

bool CJsonObject::Add(const std::string& key, int32_t value) {
  return Add(key, static_cast<int64_t>(value));
}

bool CJsonObject::Add(const std::string& key, int64_t value) {
  if (ObjectForKey(key) == nullptr) {
    return false;
  }
  if (HasZeroByte(key)) {
    last_error_ = kZeroByte;
    return false;
  }
  return Attach(key, CreateInteger(value));
}

bool CJsonObject::AddEmptyArray(const std::string& key) {
  if (ObjectForKey(key) == nullptr) {
    return false;
  }
  if (HasZeroByte(key)) {
    last_error_ = kZeroByte;
    return false;
  }
  cJSON* array = cJSON_CreateArray();
  if (array == nullptr) {
    last_error_ = kNoArray;
    return false;
  }
  return Attach(key, array);
}

bool CJsonObject::Add(const CJsonObject& element) {
  if (Item() == nullptr) {
    root_ = cJSON_CreateArray();
    if (root_ == nullptr) {
      last_error_ = kNoData;
      return false;
    }
  }
  cJSON* array = Item();
  if (!cJSON_IsArray(array)) {
    last_error_ = kNotArray;
    return false;
  }
  // Through text, so that the copy shares nothing with `element` (which may
  // even be this object).
  cJSON* copy = ParseTree(element.ToString(), last_error_);
  if (copy == nullptr) {
    return false;
  }
  if (!cJSON_AddItemToArray(array, copy)) {
    cJSON_Delete(copy);
    last_error_ = kNoItem;
    return false;
  }
  return true;
}

CJsonObject& CJsonObject::Member(const std::string& key) {
  auto found = views_.find(key);
  if (found != views_.end()) {
    return *found->second;
  }
  auto view = std::make_unique<CJsonObject>();
  view->viewed_ = FindMember(Item(), key);
  CJsonObject& result = *view;
  views_.emplace(key, std::move(view));
  return result;
}

}  // namespace neb
