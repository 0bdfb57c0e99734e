// Feeds arbitrary bytes to the XML document as UTF-8 text and walks whatever
// was indexed; on well-formed input, appended elements must leave an index
// that a fresh parse of the edited text agrees with.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "support/xml_document.h"

namespace {

constexpr int kMaxSteps = 4000;
constexpr int kMaxDepth = 64;

// Every element from the top, as "name(data)[children]", with a few lookups on
// the way; bounded so a huge input stays quick.
std::string Walk(CXmlDocument& doc) {
  doc.ResetPos();
  std::string out;
  int depth = 0;
  for (int step = 0; step < kMaxSteps; ++step) {
    if (doc.FindElem()) {
      out += doc.GetTagName() + "(" + doc.GetData() + "|" + doc.GetAttrib("a") + ")[";
      doc.ResetChildPos();
      if (doc.FindChildElem())
        out += doc.GetChildTagName() + doc.GetChildData() + doc.GetChildAttrib("b");
      doc.ResetChildPos();
      if (depth < kMaxDepth && doc.IntoElem()) {
        ++depth;
        continue;
      }
      out += "]";
      continue;
    }
    if (depth == 0)
      break;
    out += "]";
    doc.OutOfElem();
    --depth;
  }
  return out;
}

// Lone surrogates are combined with their neighbour on the way out, and a NUL
// (from an overlong form such as C0 80) ends the text on the way back in, so
// only texts without either come back unchanged.
bool RoundTrips(const std::u16string& s) {
  for (size_t i = 0; i < s.size(); ++i) {
    const char16_t c = s[i];
    if (c == 0)
      return false;
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 &&
        s[i + 1] <= 0xDFFF) {
      ++i;
      continue;
    }
    if (c >= 0xD800 && c <= 0xDFFF)
      return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);

  const std::u16string wide = Utf8ToUtf16(bytes);
  if (RoundTrips(wide) && Utf8ToUtf16(Utf16ToUtf8(wide)) != wide)
    __builtin_trap();

  CXmlDocument doc;
  const bool well_formed = doc.SetDoc(bytes);
  (void)doc.GetResult();
  Walk(doc);

  // Append on three levels: after the root, inside it, inside its first child.
  doc.ResetPos();
  if (!doc.FindElem())
    return 0;
  doc.IntoElem();
  doc.AddElem("n", "v<&>");
  doc.FindElem();
  doc.AddElem("e");
  doc.ResetPos();
  doc.FindElem();
  if (doc.FindChildElem() && doc.IntoElem() && doc.IntoElem())
    doc.AddElem("m", "1");
  if (!well_formed)
    return 0;
  CXmlDocument fresh;
  if (!fresh.SetDocUtf16(doc.GetDocUtf16()))
    __builtin_trap();
  if (Walk(doc) != Walk(fresh))
    __builtin_trap();
  return 0;
}
