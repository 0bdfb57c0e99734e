#include "support/xml_document.h"

#include <cerrno>
#include <cstdio>
#include <system_error>

namespace {

constexpr size_t kNone = std::u16string::npos;

bool IsSpace(char16_t c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

bool IsNameStart(char16_t c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == ':' || c >= 0x80;
}

bool IsNameChar(char16_t c) {
  return IsNameStart(c) || (c >= '0' && c <= '9') || c == '-' || c == '.';
}

bool IsValidName(std::u16string_view name) {
  if (name.empty() || !IsNameStart(name[0]))
    return false;
  for (char16_t c : name) {
    if (!IsNameChar(c))
      return false;
  }
  return true;
}

void AppendCodePoint(std::u16string& out, uint32_t cp) {
  if (cp <= 0xFFFF) {
    out += static_cast<char16_t>(cp);
    return;
  }
  cp -= 0x10000;
  out += static_cast<char16_t>(0xD800 + (cp >> 10));
  out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
}

int HexValue(char16_t c) {
  if (c >= '0' && c <= '9')
    return c - '0';
  if (c >= 'a' && c <= 'f')
    return c - 'a' + 10;
  if (c >= 'A' && c <= 'F')
    return c - 'A' + 10;
  return -1;
}

// "&#" digits ";" or "&#x" hex digits ";" at `amp`, at most six digits. Gives
// the number of characters used, 0 when it is not such a reference.
size_t ParseNumericRef(std::u16string_view s, size_t amp, uint32_t* cp) {
  size_t i = amp + 2;
  int base = 10;
  if (i < s.size() && s[i] == 'x') {
    base = 16;
    ++i;
  }
  const size_t first = i;
  uint32_t value = 0;
  while (i < s.size() && i - first < 7) {
    const int digit = base == 16 ? HexValue(s[i]) : (s[i] >= '0' && s[i] <= '9' ? s[i] - '0' : -1);
    if (digit < 0)
      break;
    value = value * base + digit;
    ++i;
  }
  const size_t digits = i - first;
  if (digits == 0 || digits > 6 || i >= s.size() || s[i] != ';')
    return 0;
  // NUL and values beyond Unicode are no characters: leave them as written.
  if (value == 0 || value > 0x10FFFF)
    return 0;
  *cp = value;
  return i + 1 - amp;
}

std::u16string Unescape(std::u16string_view s) {
  static constexpr struct {
    std::u16string_view name;
    char16_t ch;
  } kNamed[] = {
      {u"&lt;", '<'}, {u"&amp;", '&'}, {u"&gt;", '>'}, {u"&apos;", '\''}, {u"&quot;", '"'}};
  std::u16string out;
  out.reserve(s.size());
  size_t i = 0;
  while (i < s.size()) {
    if (s[i] != '&') {
      out += s[i++];
      continue;
    }
    size_t used = 0;
    for (const auto& named : kNamed) {
      if (s.substr(i, named.name.size()) == named.name) {
        out += named.ch;
        used = named.name.size();
        break;
      }
    }
    uint32_t cp = 0;
    if (used == 0 && i + 1 < s.size() && s[i + 1] == '#') {
      used = ParseNumericRef(s, i, &cp);
      if (used != 0)
        AppendCodePoint(out, cp);
    }
    if (used == 0) {
      out += '&';
      used = 1;
    }
    i += used;
  }
  return out;
}

std::u16string Escape(std::u16string_view s) {
  std::u16string out;
  out.reserve(s.size());
  for (char16_t c : s) {
    if (c == '<')
      out += u"&lt;";
    else if (c == '&')
      out += u"&amp;";
    else if (c == '>')
      out += u"&gt;";
    else
      out += c;
  }
  return out;
}

std::string ErrorText(int error) {
  std::string text = std::generic_category().message(error);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
    text.pop_back();
  return text;
}

}  // namespace

std::u16string Utf8ToUtf16(std::string_view utf8) {
  std::u16string out;
  out.reserve(utf8.size());
  const size_t n = utf8.size();
  size_t i = 0;
  while (i < n) {
    const auto lead = static_cast<unsigned char>(utf8[i]);
    if (lead == 0)
      break;
    if (lead < 0x80) {
      out += static_cast<char16_t>(lead);
      ++i;
      continue;
    }
    size_t extra = 0;
    uint32_t cp = 0;
    if ((lead & 0xE0) == 0xC0) {
      extra = 1;
      cp = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
      extra = 2;
      cp = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
      extra = 3;
      cp = lead & 0x07;
    } else {
      // 11111xxx or a continuation byte where a character should start.
      out += u'?';
      ++i;
      continue;
    }
    if (i + extra >= n)
      break;
    size_t used = 1;
    while (used <= extra && static_cast<unsigned char>(utf8[i + used]) >= 0x80) {
      cp = (cp << 6) | (static_cast<unsigned char>(utf8[i + used]) & 0x3F);
      ++used;
    }
    i += used;
    if (used <= extra || cp > 0x10FFFF) {
      // Ended early: the byte that ended it starts the next character.
      out += u'?';
      continue;
    }
    AppendCodePoint(out, cp);
  }
  return out;
}

std::string Utf16ToUtf8(std::u16string_view utf16) {
  std::string out;
  out.reserve(utf16.size());
  const size_t n = utf16.size();
  for (size_t i = 0; i < n; ++i) {
    uint32_t cp = utf16[i];
    if (cp >= 0xD800 && cp <= 0xDFFF) {
      if (i + 1 >= n) {
        out += '?';
        break;
      }
      cp = 0x10000 + ((cp & 0x3FF) << 10) + (utf16[++i] & 0x3FF);
    }
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  return out;
}

// One scan over the text that builds the node index; errors are collected and
// the scan goes on, so that navigation works over whatever was recognised.
class CXmlDocument::Parser {
 public:
  Parser(const std::u16string& text, std::vector<Node>& nodes) : text_(text), nodes_(nodes) {}

  // Returns true when the document is well formed.
  bool Run() {
    const size_t n = text_.size();
    nodes_.clear();
    Node document;
    document.kind = Kind::kDocument;
    document.length = n;
    nodes_.push_back(document);
    size_t i = 0;
    while (i < n)
      i = ScanAt(i);
    CloseUnended();
    return CheckRoot();
  }

  std::string Messages() const { return messages_; }

 private:
  size_t ScanAt(size_t i) {
    if (text_[i] != '<')
      return ScanText(i, i);
    if (StartsWith(i, u"<!--"))
      return ScanDelimited(i, Kind::kComment, 4, u"-->", "Comment");
    if (StartsWith(i, u"<![CDATA["))
      return ScanDelimited(i, Kind::kCData, 9, u"]]>", "CDATA Section");
    if (StartsWith(i, u"<?"))
      return ScanDelimited(i, Kind::kPi, 2, u"?>", "Processing instruction");
    if (StartsWith(i, u"<!-")) {
      Error("Incorrect comment tag at offset " + std::to_string(i));
      return ScanDelimited(i, Kind::kComment, 3, u">", "Comment");
    }
    if (StartsWith(i, u"<!"))
      return ScanDoctype(i);
    if (StartsWith(i, u"</"))
      return ScanEndTag(i);
    return ScanStartTag(i);
  }

  bool StartsWith(size_t i, std::u16string_view what) const {
    return std::u16string_view(text_).substr(i, what.size()) == what;
  }

  void Error(const std::string& message) {
    if (!messages_.empty())
      messages_ += ", ";
    messages_ += message;
    errors_ = true;
  }

  int Current() const { return stack_.empty() ? 0 : stack_.back(); }

  std::string Name(int node) const {
    return Utf16ToUtf8(
        std::u16string_view(text_).substr(nodes_[node].start + 1, nodes_[node].name_length));
  }

  int Add(Kind kind, size_t start, size_t length) {
    const int parent = Current();
    Node node;
    node.kind = kind;
    node.start = start;
    node.length = length;
    node.parent = parent;
    node.prev = nodes_[parent].last_child;
    const int index = static_cast<int>(nodes_.size());
    nodes_.push_back(node);
    if (node.prev != 0)
      nodes_[node.prev].next = index;
    else
      nodes_[parent].first_child = index;
    nodes_[parent].last_child = index;
    return index;
  }

  // Text from `start`; the search for the next "<" begins at `from`.
  size_t ScanText(size_t start, size_t from) {
    size_t end = text_.find(u'<', from);
    if (end == kNone)
      end = text_.size();
    const int last = nodes_[Current()].last_child;
    if (last != 0 && nodes_[last].kind == Kind::kText &&
        nodes_[last].start + nodes_[last].length == start) {
      nodes_[last].length = end - nodes_[last].start;
      return end;
    }
    Add(Kind::kText, start, end - start);
    return end;
  }

  size_t ScanDelimited(size_t i, Kind kind, size_t open, std::u16string_view close,
                       const char* what) {
    const size_t found = text_.find(close, i + open);
    size_t end = text_.size();
    if (found != kNone)
      end = found + close.size();
    const int node = Add(kind, i, end - i);
    if (found == kNone) {
      nodes_[node].terminated = false;
      Error(std::string(what) + " at offset " + std::to_string(i) + " unterminated");
    }
    return end;
  }

  // Runs to the ">" outside quotes and outside an internal subset "[...]".
  size_t ScanDoctype(size_t i) {
    const size_t n = text_.size();
    char16_t quote = 0;
    int depth = 0;
    for (size_t j = i + 2; j < n; ++j) {
      const char16_t c = text_[j];
      if (quote != 0) {
        if (c == quote)
          quote = 0;
      } else if (c == '"' || c == '\'') {
        quote = c;
      } else if (c == '[') {
        ++depth;
      } else if (c == ']' && depth > 0) {
        --depth;
      } else if (c == '>' && depth == 0) {
        Add(Kind::kDoctype, i, j + 1 - i);
        return j + 1;
      }
    }
    const int node = Add(Kind::kDoctype, i, n - i);
    nodes_[node].terminated = false;
    Error("Doctype at offset " + std::to_string(i) + " unterminated");
    return n;
  }

  size_t ScanStartTag(size_t i) {
    const size_t n = text_.size();
    const size_t name_start = i + 1;
    if (name_start >= n || !IsNameStart(text_[name_start])) {
      // A "<" that starts no tag: report it and keep it as text.
      if (name_start >= n)
        Error("Element tag at offset " + std::to_string(i) + " unterminated");
      else
        Error("Incorrect tag name character at offset " + std::to_string(name_start));
      return ScanText(i, name_start);
    }
    size_t j = name_start;
    while (j < n && IsNameChar(text_[j]))
      ++j;
    const size_t name_length = j - name_start;
    bool reported = false;
    if (j < n && !IsSpace(text_[j]) && text_[j] != '/' && text_[j] != '>' && text_[j] != '<') {
      Error("Incorrect tag name character at offset " + std::to_string(j));
      reported = true;
    }
    size_t end = kNone;
    while (j < n) {
      const char16_t c = text_[j];
      if (c == '"' || c == '\'') {
        const size_t close = text_.find(c, j + 1);
        j = close == kNone ? n : close + 1;
        continue;
      }
      if (c == '>') {
        end = j + 1;
        break;
      }
      if (c == '<')
        break;
      // "/" belongs only right before the closing ">".
      if (c == '/' && j + 1 < n && text_[j + 1] != '>' && !reported) {
        Error("Incorrect tag name character at offset " + std::to_string(j));
        reported = true;
      }
      ++j;
    }
    if (end == kNone) {
      Error("Element tag at offset " + std::to_string(i) + " unterminated");
      const int node = Add(Kind::kElement, i, j - i);
      nodes_[node].start_tag_length = j - i;
      nodes_[node].name_length = name_length;
      return j;
    }
    const int node = Add(Kind::kElement, i, end - i);
    nodes_[node].start_tag_length = end - i;
    nodes_[node].name_length = name_length;
    if (end - 2 >= name_start + name_length && text_[end - 2] == '/') {
      nodes_[node].empty_tag = true;
      return end;
    }
    stack_.push_back(node);
    return end;
  }

  size_t ScanEndTag(size_t i) {
    const size_t n = text_.size();
    const size_t name_start = i + 2;
    size_t j = name_start;
    while (j < n && IsNameChar(text_[j]))
      ++j;
    const std::u16string_view name = std::u16string_view(text_).substr(name_start, j - name_start);
    const bool valid = IsValidName(name);
    bool reported = false;
    if (!valid) {
      Error("Incorrect tag name character at offset " + std::to_string(name_start));
      reported = true;
    }
    while (j < n && text_[j] != '>' && text_[j] != '<') {
      if (!reported && !IsSpace(text_[j])) {
        Error("Incorrect tag name character at offset " + std::to_string(j));
        reported = true;
      }
      ++j;
    }
    size_t end = j;
    if (j < n && text_[j] == '>')
      end = j + 1;
    else
      Error("Element end tag at offset " + std::to_string(i) + " unterminated");
    if (valid)
      MatchEndTag(name, i, end);
    return end;
  }

  void Close(int node, size_t end_tag_start, size_t end) {
    nodes_[node].length = end - nodes_[node].start;
    nodes_[node].end_tag_length = end - end_tag_start;
  }

  void MatchEndTag(std::u16string_view name, size_t tag_start, size_t end) {
    const std::string name8 = Utf16ToUtf8(name);
    if (stack_.empty()) {
      Error("No start tag for end tag '" + name8 + "' at offset " + std::to_string(tag_start));
      return;
    }
    size_t match = stack_.size();
    while (match > 0 && NameView(stack_[match - 1]) != name)
      --match;
    if (match == 0) {
      // Nothing open has this name: take it as the end of the innermost one.
      const int top = stack_.back();
      Error("End tag '" + name8 + "' at offset " + std::to_string(tag_start) +
            " does not match start tag '" + Name(top) + "' at offset " +
            std::to_string(nodes_[top].start));
      Close(top, tag_start, end);
      stack_.pop_back();
      return;
    }
    // The elements opened inside the matching one end where its end tag starts.
    for (size_t k = match; k < stack_.size(); ++k) {
      const int open = stack_[k];
      Error("Element '" + Name(open) + "' at offset " + std::to_string(nodes_[open].start) +
            " not ended");
      Close(open, tag_start, tag_start);
    }
    stack_.resize(match);
    Close(stack_.back(), tag_start, end);
    stack_.pop_back();
  }

  std::u16string_view NameView(int node) const {
    return std::u16string_view(text_).substr(nodes_[node].start + 1, nodes_[node].name_length);
  }

  void CloseUnended() {
    for (int open : stack_) {
      Error("Element '" + Name(open) + "' at offset " + std::to_string(nodes_[open].start) +
            " not ended");
      Close(open, text_.size(), text_.size());
    }
    stack_.clear();
  }

  bool CheckRoot() {
    if (text_.empty()) {
      Error("Empty document");
      return false;
    }
    int root = nodes_[0].first_child;
    while (root != 0 && nodes_[root].kind != Kind::kElement)
      root = nodes_[root].next;
    if (root == 0) {
      Error("No root element");
      return false;
    }
    for (int sibling = nodes_[root].next; sibling != 0; sibling = nodes_[sibling].next) {
      if (nodes_[sibling].kind == Kind::kElement) {
        Error("Root element has sibling");
        return false;
      }
    }
    return !errors_;
  }

  const std::u16string& text_;
  std::vector<Node>& nodes_;
  std::vector<int> stack_;
  std::string messages_;
  bool errors_ = false;
};

CXmlDocument::CXmlDocument() {
  Node document;
  document.kind = Kind::kDocument;
  nodes_.push_back(document);
}

bool CXmlDocument::SetDoc(std::string_view text) {
  return SetDocUtf16(Utf8ToUtf16(text));
}

bool CXmlDocument::SetDoc(const char* text) {
  return SetDoc(text == nullptr ? std::string_view() : std::string_view(text));
}

bool CXmlDocument::SetDocUtf16(std::u16string_view text) {
  text_.assign(text);
  result_.clear();
  return Parse();
}

bool CXmlDocument::Parse() {
  Parser parser(text_, nodes_);
  well_formed_ = parser.Run();
  result_ = parser.Messages();
  parent_ = main_ = child_ = 0;
  return well_formed_;
}

std::string CXmlDocument::GetDoc() const {
  return Utf16ToUtf8(text_);
}

bool CXmlDocument::IsElement(int node) const {
  return node > 0 && static_cast<size_t>(node) < nodes_.size() &&
         nodes_[node].kind == Kind::kElement;
}

std::u16string_view CXmlDocument::Span(size_t start, size_t length) const {
  if (start > text_.size())
    return {};
  return std::u16string_view(text_).substr(start, length);
}

std::u16string_view CXmlDocument::NameOf(int node) const {
  if (!IsElement(node))
    return {};
  return Span(nodes_[node].start + 1, nodes_[node].name_length);
}

// The first element from `from` on along the sibling links, with the name.
int CXmlDocument::NextElement(int from, std::u16string_view name) const {
  for (int node = from; node != 0; node = nodes_[node].next) {
    if (IsElement(node) && (name.empty() || NameOf(node) == name))
      return node;
  }
  return 0;
}

bool CXmlDocument::FindElem(std::string_view name) {
  const int from = main_ != 0 ? nodes_[main_].next : nodes_[parent_].first_child;
  const int found = NextElement(from, Utf8ToUtf16(name));
  if (found == 0)
    return false;
  main_ = found;
  child_ = 0;
  return true;
}

bool CXmlDocument::FindChildElem(std::string_view name) {
  if (main_ == 0 && !FindElem())
    return false;
  const int from = child_ != 0 ? nodes_[child_].next : nodes_[main_].first_child;
  const int found = NextElement(from, Utf8ToUtf16(name));
  if (found == 0)
    return false;
  child_ = found;
  return true;
}

bool CXmlDocument::IntoElem() {
  if (!IsElement(main_))
    return false;
  parent_ = main_;
  main_ = child_;
  child_ = 0;
  return true;
}

bool CXmlDocument::OutOfElem() {
  if (parent_ == 0)
    return false;
  child_ = main_;
  main_ = parent_;
  parent_ = nodes_[parent_].parent;
  return true;
}

std::string CXmlDocument::GetTagName() const {
  return Utf16ToUtf8(NameOf(main_));
}
std::string CXmlDocument::GetChildTagName() const {
  return Utf16ToUtf8(NameOf(child_));
}
std::string CXmlDocument::GetData() const {
  return Utf16ToUtf8(DataOf(main_));
}
std::string CXmlDocument::GetChildData() const {
  return Utf16ToUtf8(DataOf(child_));
}

std::string CXmlDocument::GetAttrib(std::string_view name) const {
  return Utf16ToUtf8(AttribOf(main_, Utf8ToUtf16(name)));
}

std::string CXmlDocument::GetChildAttrib(std::string_view name) const {
  return Utf16ToUtf8(AttribOf(child_, Utf8ToUtf16(name)));
}

std::u16string CXmlDocument::DataOf(int node) const {
  if (node <= 0 || static_cast<size_t>(node) >= nodes_.size())
    return {};
  const Node& n = nodes_[node];
  if (n.kind == Kind::kText)
    return Unescape(Span(n.start, n.length));
  if (n.kind == Kind::kCData) {
    const size_t close = n.terminated ? 3 : 0;
    return std::u16string(Span(n.start + 9, n.length - 9 - close));
  }
  if (n.kind != Kind::kElement)
    return {};
  for (int c = n.first_child; c != 0; c = nodes_[c].next) {
    if (nodes_[c].kind == Kind::kElement)
      return {};
  }
  std::u16string data;
  for (int c = n.first_child; c != 0; c = nodes_[c].next)
    data += DataOf(c);
  return data;
}

std::u16string CXmlDocument::AttribOf(int node, std::u16string_view name) const {
  if (!IsElement(node))
    return {};
  const Node& n = nodes_[node];
  const std::u16string_view tag = Span(n.start, n.start_tag_length);
  size_t i = 1 + n.name_length;
  while (i < tag.size()) {
    const char16_t c = tag[i];
    if (IsSpace(c) || c == '/' || c == '>') {
      ++i;
      continue;
    }
    const size_t name_start = i;
    while (i < tag.size() && !IsSpace(tag[i]) && tag[i] != '=' && tag[i] != '/' && tag[i] != '>')
      ++i;
    const std::u16string_view attr = tag.substr(name_start, i - name_start);
    while (i < tag.size() && IsSpace(tag[i]))
      ++i;
    std::u16string_view value;
    if (i < tag.size() && tag[i] == '=') {
      ++i;
      while (i < tag.size() && IsSpace(tag[i]))
        ++i;
      if (i < tag.size() && (tag[i] == '"' || tag[i] == '\'')) {
        const size_t close = tag.find(tag[i], i + 1);
        const size_t value_end = close == kNone ? tag.size() : close;
        value = tag.substr(i + 1, value_end - i - 1);
        i = value_end + 1;
      } else {
        const size_t value_start = i;
        while (i < tag.size() && !IsSpace(tag[i]) && tag[i] != '>')
          ++i;
        value = tag.substr(value_start, i - value_start);
      }
    }
    if (attr == name)
      return Unescape(value);
  }
  return {};
}

int CXmlDocument::NewNode(Kind kind, size_t start, size_t length, int parent, int before) {
  Node node;
  node.kind = kind;
  node.start = start;
  node.length = length;
  node.parent = parent;
  node.next = before;
  node.prev = before != 0 ? nodes_[before].prev : nodes_[parent].last_child;
  const int index = static_cast<int>(nodes_.size());
  nodes_.push_back(node);
  if (node.prev != 0)
    nodes_[node.prev].next = index;
  else
    nodes_[parent].first_child = index;
  if (before != 0)
    nodes_[before].prev = index;
  else
    nodes_[parent].last_child = index;
  return index;
}

// Moves every node that starts at or after `from` (but `exclude`) by `delta`.
void CXmlDocument::Shift(size_t from, size_t delta, int exclude) {
  for (size_t k = 1; k < nodes_.size(); ++k) {
    if (static_cast<int>(k) != exclude && nodes_[k].start >= from)
      nodes_[k].start += delta;
  }
}

void CXmlDocument::GrowAncestors(int node, size_t delta) {
  for (int a = node;; a = nodes_[a].parent) {
    nodes_[a].length += delta;
    if (a == 0)
      return;
  }
}

// "<name .../>" becomes "<name ...>" CR LF "</name>".
void CXmlDocument::ExpandEmptyTag(int node) {
  const size_t slash = nodes_[node].start + nodes_[node].start_tag_length - 2;
  const std::u16string replacement = u">\r\n</" + std::u16string(NameOf(node)) + u">";
  text_.replace(slash, 2, replacement);
  const size_t delta = replacement.size() - 2;
  Shift(slash, delta, node);
  GrowAncestors(nodes_[node].parent, delta);
  Node& n = nodes_[node];
  n.start_tag_length -= 1;
  n.end_tag_length = n.name_length + 3;
  n.length += delta;
  n.empty_tag = false;
  const size_t line_break = n.start + n.start_tag_length;
  NewNode(Kind::kText, line_break, 2, node, 0);
}

// Inserts `markup` (one element) and CR LF at `pos` inside `container` and
// keeps the index in step: a text node holding `pos` is split, the line break
// joins a text node that follows.
int CXmlDocument::InsertElement(int container, size_t pos, const std::u16string& markup,
                                size_t start_tag, size_t end_tag, size_t name_length) {
  int before = 0;
  for (int c = nodes_[container].first_child; c != 0; c = nodes_[c].next) {
    if (nodes_[c].start >= pos) {
      before = c;
      break;
    }
    if (End(c) > pos) {
      if (nodes_[c].kind != Kind::kText)
        return 0;
      const size_t tail = End(c) - pos;
      nodes_[c].length = pos - nodes_[c].start;
      before = NewNode(Kind::kText, pos, tail, container, nodes_[c].next);
      break;
    }
  }
  const std::u16string inserted = markup + u"\r\n";
  text_.insert(pos, inserted);
  Shift(pos, inserted.size(), -1);
  GrowAncestors(container, inserted.size());
  const int element = NewNode(Kind::kElement, pos, markup.size(), container, before);
  nodes_[element].start_tag_length = start_tag;
  nodes_[element].end_tag_length = end_tag;
  nodes_[element].name_length = name_length;
  nodes_[element].empty_tag = end_tag == 0;
  if (end_tag != 0)
    NewNode(Kind::kText, pos + start_tag, markup.size() - start_tag - end_tag, element, 0);
  if (before != 0 && nodes_[before].kind == Kind::kText) {
    nodes_[before].start -= 2;
    nodes_[before].length += 2;
  } else {
    NewNode(Kind::kText, pos + markup.size(), 2, container, before);
  }
  return element;
}

bool CXmlDocument::AddElem(std::string_view name, std::string_view value) {
  const std::u16string tag = Utf8ToUtf16(name);
  // The name must come through the conversion whole, so that it reads back.
  if (!IsValidName(tag) || Utf16ToUtf8(tag) != name)
    return false;
  const std::u16string content = Escape(Utf8ToUtf16(value));
  std::u16string markup;
  size_t start_tag = 0;
  size_t end_tag = 0;
  if (content.empty()) {
    markup = u"<" + tag + u"/>";
    start_tag = markup.size();
  } else {
    markup = u"<" + tag + u">" + content + u"</" + tag + u">";
    start_tag = tag.size() + 2;
    end_tag = tag.size() + 3;
  }
  int container = parent_;
  size_t pos = text_.size();
  if (main_ != 0) {
    container = nodes_[main_].parent;
    pos = End(main_);
    if (std::u16string_view(text_).substr(pos, 2) == u"\r\n")
      pos += 2;
    else if (pos < text_.size() && text_[pos] == '\n')
      pos += 1;
  } else if (container != 0) {
    if (nodes_[container].empty_tag)
      ExpandEmptyTag(container);
    pos = ContentEnd(container);
  }
  const int element = InsertElement(container, pos, markup, start_tag, end_tag, tag.size());
  if (element == 0)
    return false;
  main_ = element;
  child_ = 0;
  return true;
}

void CXmlDocument::SetFileError(int error) {
  result_ = ErrorText(error);
}

bool CXmlDocument::ReadTextFile(const std::string& path, std::u16string* text) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    SetFileError(errno);
    return false;
  }
  std::string bytes;
  char buffer[65536];
  size_t got = 0;
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0)
    bytes.append(buffer, got);
  const bool failed = std::ferror(file) != 0;
  const int error = errno;
  std::fclose(file);
  if (failed) {
    SetFileError(error);
    return false;
  }
  std::u16string decoded = Utf8ToUtf16(bytes);
  result_ =
      std::to_string(bytes.size()) + " bytes to " + std::to_string(decoded.size()) + " wide chars";
  if (text != nullptr)
    *text = std::move(decoded);
  return true;
}

bool CXmlDocument::ReadTextFile(const std::string& path, std::string* text) {
  std::u16string decoded;
  if (!ReadTextFile(path, &decoded))
    return false;
  if (text != nullptr)
    *text = Utf16ToUtf8(decoded);
  return true;
}

bool CXmlDocument::WriteTextFile(const std::string& path, std::u16string_view text) {
  const std::string bytes = Utf16ToUtf8(text);
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) {
    SetFileError(errno);
    return false;
  }
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  int error = errno;
  const bool closed = std::fclose(file) == 0;
  if (written && !closed)
    error = errno;
  if (!written || !closed) {
    SetFileError(error);
    return false;
  }
  result_ =
      std::to_string(text.size()) + " wide chars to " + std::to_string(bytes.size()) + " bytes";
  return true;
}

bool CXmlDocument::WriteTextFile(const std::string& path, std::string_view text) {
  return WriteTextFile(path, Utf8ToUtf16(text));
}

std::string FindChildData(CXmlDocument& doc, std::string_view name, const std::string& fallback) {
  doc.ResetChildPos();
  return doc.FindChildElem(name) ? doc.GetChildData() : fallback;
}
