// The JSON value through which request bodies are built and answers read.
//
// Ownership: an object either owns one cJSON tree (made by Parse or by the
// first Add on an empty object) or is a view of one member inside another
// object's tree; a view owns nothing of the tree it looks into. Views come
// only from Member(), are owned by the object they were asked of, and live
// until that object is cleared, parses again or is destroyed; a reference to
// a view must not be used after that. No object keeps a reference to the
// text it parsed, and Get(key, object) and Add(object) copy through text, so
// their results share nothing with the source tree.
//
// Threads: an object (with its views) belongs to one thread at a time;
// different objects may be used on different threads at once.
//
// Nothing throws: failures give false (or an empty text) and set LastError().
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

struct cJSON;

namespace neb {

class CJsonObject {
 public:
  CJsonObject();
  // Parses `text`; on failure the object is empty and LastError() says why.
  explicit CJsonObject(const std::string& text);
  virtual ~CJsonObject();

  // Objects are locals of the code that uses them; views are handed out by
  // reference. Copying a view would alias another tree, so nothing copies.
  CJsonObject(const CJsonObject&) = delete;
  CJsonObject& operator=(const CJsonObject&) = delete;

  // Clears, then parses the first complete JSON value of `text` (leading
  // white space skipped, anything after the value ignored). On failure the
  // object stays empty and the error is "prase json string error at " plus
  // the input from the point where parsing stopped.
  bool Parse(const std::string& text);
  // Releases the owned tree, forgets the viewed member and destroys all
  // views handed out. The last error is kept.
  void Clear();
  // Unformatted JSON text of the value; "" for an empty object.
  std::string ToString() const;

  // Member lookups compare keys ignoring the case of ASCII letters and take
  // the first match. On false, `out` is left untouched.
  // A private copy of the member; `out` is cleared and reparsed.
  bool Get(const std::string& key, CJsonObject& out) const;
  // Text members only.
  bool Get(const std::string& key, std::string& out) const;
  // Integer members give their low 32 bits, real numbers their value
  // truncated toward zero (clamped to the 32-bit range).
  bool Get(const std::string& key, int32_t& out) const;

  // Keyed additions: an empty object becomes a JSON object first; they fail
  // on an array ("not a json object! json array?") and when the key is
  // already there ("key exists!"), never replacing a value.
  bool Add(const std::string& key, const std::string& value);
  bool Add(const std::string& key, int32_t value);
  bool Add(const std::string& key, int64_t value);
  bool AddEmptyArray(const std::string& key);
  // Appends a copy of `element` as the last array element; an empty object
  // becomes a JSON array first. Fails on an object ("not a json array! json
  // object?") and for an empty `element` (it prints as "", which does not
  // parse).
  bool Add(const CJsonObject& element);

  // The view for `key` (cached by the exact key text): the member itself
  // when there is one, so additions through it change this object's tree;
  // otherwise an empty object of its own that never shows in this text.
  CJsonObject& Member(const std::string& key);

  const std::string& LastError() const { return last_error_; }

 private:
  cJSON* Item() const { return root_ != nullptr ? root_ : viewed_; }
  // Steps shared by the keyed additions: the object to attach to, or null
  // with the error set.
  cJSON* ObjectForKey(const std::string& key);
  bool Attach(const std::string& key, cJSON* value);

  cJSON* root_ = nullptr;    // owned
  cJSON* viewed_ = nullptr;  // a member of another object's tree; not owned
  std::string last_error_;
  std::map<std::string, std::unique_ptr<CJsonObject>> views_;
};

}  // namespace neb
