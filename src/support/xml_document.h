// The XML document used for every XML text the program reads or writes: the
// built-in product and language files, the server's runtime answer and the
// run-state file. The whole text is kept in memory as UTF-16 and its nodes are
// indexed once when the text is set; a three-level cursor (parent, main,
// child) walks the element tree, and AddElem edits the text in place so that
// everything else in it is written back out unchanged.
//
// Text at the interface is UTF-8; offsets in parse messages count UTF-16
// units. Nothing throws; results are bool or text.
//
// Ownership and threads: a CXmlDocument owns its text and index and shares
// nothing with other objects; use one object from one thread at a time. The
// free conversion functions hold no state and may be called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// UTF-8 to UTF-16. A lead byte 110xxxxx, 1110xxxx or 11110xxx takes 1, 2 or 3
// following bytes (each used for its low six bits when it is 0x80 or above);
// a byte below 0x80 among them ends the sequence early and gives "?", as do a
// lead byte 11111xxx, a stray continuation byte and a code point above
// U+10FFFF. Code points above U+FFFF become surrogate pairs. A NUL byte ends
// the text, and so does a sequence that would run past the last byte.
std::u16string Utf8ToUtf16(std::string_view utf8);

// UTF-16 to UTF-8 in the standard one- to four-byte forms. A surrogate unit is
// combined with the unit after it into one code point (from the low ten bits
// of each, so the result is always a valid code point); a surrogate at the very
// end gives "?". No byte-order mark is written.
std::string Utf16ToUtf8(std::u16string_view utf16);

class CXmlDocument {
 public:
  CXmlDocument();

  // Replaces the text (nullptr means empty), clears the result, indexes the
  // text and puts the cursor before the root. True when the document is well
  // formed: one root element without a sibling and no error found.
  bool SetDoc(std::string_view text);
  bool SetDoc(const char* text);
  bool SetDocUtf16(std::u16string_view text);

  std::string GetDoc() const;
  const std::u16string& GetDocUtf16() const { return text_; }
  bool IsWellFormed() const { return well_formed_; }
  // Parse messages joined with ", ", or the message of the last file operation.
  const std::string& GetResult() const { return result_; }

  // Cursor. An empty name matches any element. Failing moves keep the cursor.
  bool FindElem(std::string_view name = {});
  bool FindChildElem(std::string_view name = {});
  void ResetChildPos() { child_ = 0; }
  // Back to before the root, as after SetDoc.
  void ResetPos() { parent_ = main_ = child_ = 0; }
  // Enters main: parent becomes main, main becomes the child position (none
  // when there is no child position, so FindElem then starts at the first
  // element inside) and the child position is cleared. False when main is none.
  bool IntoElem();
  bool OutOfElem();

  // Tag name, data and attributes of main or of the child position; empty when
  // that position is none. Data is empty for an element with child elements,
  // else its text unescaped and its CDATA sections as they are, joined in order.
  std::string GetTagName() const;
  std::string GetChildTagName() const;
  std::string GetData() const;
  std::string GetChildData() const;
  std::string GetAttrib(std::string_view name) const;
  std::string GetChildAttrib(std::string_view name) const;

  // Appends "<name>escaped value</name>" (or "<name/>" for an empty value) and
  // CR LF after main, or at the end of the parent's content when main is none,
  // and makes it main. An empty-element parent is first expanded to a start
  // tag, CR LF and an end tag. False (nothing changed) for an invalid name.
  bool AddElem(std::string_view name, std::string_view value = {});

  // Whole file, binary, decoded from UTF-8. Result "N bytes to M wide chars",
  // or the system's error text when the file cannot be opened or read.
  bool ReadTextFile(const std::string& path, std::u16string* text);
  bool ReadTextFile(const std::string& path, std::string* text);
  // Encodes as UTF-8 and replaces the file. Result "M wide chars to N bytes",
  // or the system's error text.
  bool WriteTextFile(const std::string& path, std::u16string_view text);
  bool WriteTextFile(const std::string& path, std::string_view text);

 private:
  enum class Kind : uint8_t { kDocument, kElement, kText, kCData, kComment, kPi, kDoctype };
  struct Node {
    size_t start = 0;
    size_t length = 0;
    size_t start_tag_length = 0;  // elements only
    size_t end_tag_length = 0;    // elements: 0 for "<a/>" and for unended ones
    size_t name_length = 0;       // elements only
    Kind kind = Kind::kText;
    bool empty_tag = false;  // written as "<a/>"
    bool terminated = true;  // CDATA, comment, PI, doctype: closing marker found
    int parent = 0;
    int first_child = 0;
    int last_child = 0;
    int next = 0;
    int prev = 0;
  };
  class Parser;

  bool Parse();
  bool IsElement(int node) const;
  size_t End(int node) const { return nodes_[node].start + nodes_[node].length; }
  size_t ContentEnd(int node) const { return End(node) - nodes_[node].end_tag_length; }
  std::u16string_view Span(size_t start, size_t length) const;
  std::u16string_view NameOf(int node) const;
  int NextElement(int from, std::u16string_view name) const;
  std::u16string DataOf(int node) const;
  std::u16string AttribOf(int node, std::u16string_view name) const;
  int NewNode(Kind kind, size_t start, size_t length, int parent, int before);
  void Shift(size_t from, size_t delta, int exclude);
  void GrowAncestors(int node, size_t delta);
  void ExpandEmptyTag(int node);
  int InsertElement(int container, size_t pos, const std::u16string& markup, size_t start_tag,
                    size_t end_tag, size_t name_length);
  void SetFileError(int error);

  std::u16string text_;
  std::string result_;
  std::vector<Node> nodes_;
  int parent_ = 0;
  int main_ = 0;
  int child_ = 0;
  bool well_formed_ = false;
};

// The data of the first child of main named `name` (searched from the first
// child on), or `fallback` when main has no such child. A child that is
// present counts even when its data is empty. Moves the child position.
std::string FindChildData(CXmlDocument& doc, std::string_view name,
                          const std::string& fallback = {});
