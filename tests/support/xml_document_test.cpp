#include "support/xml_document.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "support/sandbox.h"

namespace {

const char kDeclaration[] = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";

// Every element from the top, as "name(data)[children]"; moves the cursor.
std::string Outline(CXmlDocument& doc) {
  doc.ResetPos();
  std::string out;
  int depth = 0;
  for (;;) {
    if (doc.FindElem()) {
      out += doc.GetTagName() + "(" + doc.GetData() + ")[";
      doc.IntoElem();
      ++depth;
      continue;
    }
    if (depth == 0)
      return out;
    out += "]";
    doc.OutOfElem();
    --depth;
  }
}

// Every parse message, the well-formedness rule and offsets in UTF-16 units.
TEST(XmlDocumentParse, MessagesAndWellFormedness) {
  struct Case {
    const char* text;
    bool well_formed;
    const char* result;
  };
  const Case cases[] = {
      {"<a/>", true, ""},
      {"<?xml version=\"1.0\"?>\r\n<!-- c --><!DOCTYPE a><a x=\"1>2\" y='\"'>t</a>\r\n", true, ""},
      {"<!DOCTYPE a [<!ENTITY e \"x>\">]><a/>", true, ""},
      {"\xEF\xBB\xBF<a/>", true, ""},
      {"", false, "Empty document"},
      {" \r\n\t", false, "No root element"},
      {kDeclaration, false, "No root element"},
      {"<a/><b/>", false, "Root element has sibling"},
      {"<a><!-- x", false, "Comment at offset 3 unterminated, Element 'a' at offset 0 not ended"},
      {"<a><![CDATA[x</a>", false,
       "CDATA Section at offset 3 unterminated, Element 'a' at offset 0 not ended"},
      {"<?xml x", false, "Processing instruction at offset 0 unterminated, No root element"},
      {"<!DOCTYPE a [<!ELEMENT a ANY>", false, "Doctype at offset 0 unterminated, No root element"},
      {"<a b='1'", false, "Element tag at offset 0 unterminated"},
      {"<a>x <b c=\"1\" <d/></a>", false, "Element tag at offset 5 unterminated"},
      {"<a></a", false, "Element end tag at offset 3 unterminated"},
      {"<a><1/></a>", false, "Incorrect tag name character at offset 4"},
      {"<a!></a>", false, "Incorrect tag name character at offset 2"},
      {"<a></a x>", false, "Incorrect tag name character at offset 7"},
      {"<a x='/'//>", false, "Incorrect tag name character at offset 8"},
      {"<a><!-x></a>", false, "Incorrect comment tag at offset 3"},
      {"</a>", false, "No start tag for end tag 'a' at offset 0, No root element"},
      {"<a></b>", false, "End tag 'b' at offset 3 does not match start tag 'a' at offset 0"},
      {"<a><b></a>", false, "Element 'b' at offset 3 not ended"},
      {"<a>", false, "Element 'a' at offset 0 not ended"},
      {"<a><b></c>", false,
       "End tag 'c' at offset 6 does not match start tag 'b' at offset 3, "
       "Element 'a' at offset 0 not ended"},
      // "é" is one UTF-16 unit and U+1F600 two.
      {"<a>\xC3\xA9\xF0\x9F\x98\x80<b></a>", false, "Element 'b' at offset 6 not ended"},
      {"<\xC3\xA4></\xC3\xB6>", false,
       "End tag '\xC3\xB6' at offset 3 does not match start tag '\xC3\xA4' at offset 0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    CXmlDocument doc;
    EXPECT_EQ(doc.SetDoc(c.text), c.well_formed);
    EXPECT_EQ(doc.IsWellFormed(), c.well_formed);
    EXPECT_EQ(doc.GetResult(), c.result);
  }
}

TEST(XmlDocumentParse, AbsentTextAndNewTextReplaceTheOld) {
  CXmlDocument doc;
  EXPECT_FALSE(doc.SetDoc(nullptr));
  EXPECT_EQ(doc.GetResult(), "Empty document");
  EXPECT_TRUE(doc.SetDoc("<r><i/></r>"));
  EXPECT_EQ(doc.GetResult(), "");
  ASSERT_TRUE(doc.FindElem("r"));
  ASSERT_TRUE(doc.IntoElem());
  ASSERT_TRUE(doc.FindElem("i"));
  // A new text puts the cursor back before the root.
  EXPECT_TRUE(doc.SetDoc("<s/>"));
  EXPECT_FALSE(doc.OutOfElem());
  ASSERT_TRUE(doc.FindElem());
  EXPECT_EQ(doc.GetTagName(), "s");
}

TEST(XmlDocumentParse, NavigationWorksOverAnIllFormedText) {
  CXmlDocument doc;
  EXPECT_FALSE(doc.SetDoc("<a>1</a><b x='2'>3</b>"));
  EXPECT_EQ(doc.GetResult(), "Root element has sibling");
  ASSERT_TRUE(doc.FindElem());
  EXPECT_EQ(doc.GetTagName(), "a");
  EXPECT_EQ(doc.GetData(), "1");
  ASSERT_TRUE(doc.FindElem());
  EXPECT_EQ(doc.GetTagName(), "b");
  EXPECT_EQ(doc.GetAttrib("x"), "2");

  EXPECT_FALSE(doc.SetDoc("<a><b>x</a>"));
  ASSERT_TRUE(doc.FindElem("a"));
  ASSERT_TRUE(doc.FindChildElem("b"));
  EXPECT_EQ(doc.GetChildData(), "x");
}

// The walk the program's readers use, step by step; failing steps keep the
// cursor where it was.
TEST(XmlDocumentCursor, WalkKeepsThreeLevels) {
  CXmlDocument doc;
  ASSERT_TRUE(doc.SetDoc(
      "<?xml version=\"1.0\"?>\n<product id=\"7\">\n"
      "  <name>Nodorra</name>\n  <!-- note -->\n  <lang "
      "code=\"it\"><label>Italiano</label></lang>\n"
      "  <lang code=\"en\"><label>English</label></lang>\n  <size>42</size>\n</product>\n"));
  enum Op { kFind, kFindChild, kReset, kInto, kOut };
  struct Step {
    Op op;
    const char* name;
    bool ok;
    const char* tag;        // main after the step
    const char* child_tag;  // child after the step
  };
  const Step steps[] = {
      {kInto, "", false, "", ""},
      {kOut, "", false, "", ""},
      {kFind, "name", false, "", ""},
      {kFind, "product", true, "product", ""},
      {kFindChild, "size", true, "product", "size"},
      {kFindChild, "name", false, "product", "size"},
      {kReset, "", true, "product", ""},
      {kFindChild, "name", true, "product", "name"},
      {kFindChild, "", true, "product", "lang"},
      {kInto, "", true, "lang", ""},
      {kFindChild, "label", true, "lang", "label"},
      {kOut, "", true, "product", "lang"},
      {kFindChild, "lang", true, "product", "lang"},
      {kInto, "", true, "lang", ""},
      {kFind, "", true, "size", ""},
      {kFind, "", false, "size", ""},
      {kOut, "", true, "product", "size"},
      {kOut, "", false, "product", "size"},
      {kFind, "", false, "product", "size"},
  };
  int index = 0;
  for (const Step& s : steps) {
    SCOPED_TRACE("step " + std::to_string(index++));
    bool ok = true;
    switch (s.op) {
      case kFind:
        ok = doc.FindElem(s.name);
        break;
      case kFindChild:
        ok = doc.FindChildElem(s.name);
        break;
      case kReset:
        doc.ResetChildPos();
        break;
      case kInto:
        ok = doc.IntoElem();
        break;
      case kOut:
        ok = doc.OutOfElem();
        break;
    }
    EXPECT_EQ(ok, s.ok);
    EXPECT_EQ(doc.GetTagName(), s.tag);
    EXPECT_EQ(doc.GetChildTagName(), s.child_tag);
  }
}

TEST(XmlDocumentCursor, ItemsInAnyOrderAndInSequence) {
  const char* xml = "<root><cfg><b>2</b><a k=\"v\">1</a><c>3</c></cfg></root>";
  CXmlDocument doc;
  ASSERT_TRUE(doc.SetDoc(xml));
  ASSERT_TRUE(doc.FindElem("root"));
  ASSERT_TRUE(doc.IntoElem());
  struct Item {
    const char* name;
    const char* data;
  };
  for (const Item& item : {Item{"c", "3"}, Item{"a", "1"}, Item{"b", "2"}, Item{"a", "1"}}) {
    SCOPED_TRACE(item.name);
    doc.ResetChildPos();
    // With main none, the first FindChildElem first finds main ("cfg").
    ASSERT_TRUE(doc.FindChildElem(item.name));
    EXPECT_EQ(doc.GetTagName(), "cfg");
    ASSERT_TRUE(doc.IntoElem());
    EXPECT_EQ(doc.GetTagName(), item.name);
    EXPECT_EQ(doc.GetData(), item.data);
    ASSERT_TRUE(doc.OutOfElem());
  }
  EXPECT_FALSE(doc.FindChildElem("a"));  // none after the current child
  EXPECT_EQ(doc.GetChildTagName(), "a");

  CXmlDocument seq;
  ASSERT_TRUE(seq.SetDoc(xml));
  ASSERT_TRUE(seq.FindElem("root"));
  ASSERT_TRUE(seq.IntoElem());
  ASSERT_TRUE(seq.FindElem("cfg"));
  ASSERT_TRUE(seq.IntoElem());
  std::vector<std::string> seen;
  while (seq.FindElem())
    seen.push_back(seq.GetTagName() + "=" + seq.GetData() + seq.GetAttrib("k"));
  EXPECT_EQ(seen, (std::vector<std::string>{"b=2", "a=1v", "c=3"}));
  EXPECT_EQ(seq.GetTagName(), "c");
  ASSERT_TRUE(seq.OutOfElem());
  EXPECT_EQ(seq.GetTagName(), "cfg");
  EXPECT_EQ(seq.GetChildTagName(), "c");
  seq.ResetPos();
  EXPECT_FALSE(seq.OutOfElem());
  ASSERT_TRUE(seq.FindElem());
  EXPECT_EQ(seq.GetTagName(), "root");
}

TEST(XmlDocumentData, ContentIsUnescapedAndJoined) {
  struct Case {
    const char* xml;
    const char* data;
  };
  const Case cases[] = {
      {"<a>&amp;&#65;&#x42;&foo;</a>", "&AB&foo;"},
      {"<a>&lt;&gt;&apos;&quot;&amp;lt;</a>", "<>'\"&lt;"},
      {"<a>x &amp y & z</a>", "x &amp y & z"},
      {"<a>&#x1F600;&#128512;</a>", "\xF0\x9F\x98\x80\xF0\x9F\x98\x80"},
      {"<a>&#x10FFFF;&#xe9;&#000065;</a>",
       "\xF4\x8F\xBF\xBF\xC3\xA9"
       "A"},
      {"<a>&#x110000;&#0000065;&#1234567;&#;&#x;&#X41;&#65&#0;&#6a;</a>",
       "&#x110000;&#0000065;&#1234567;&#;&#x;&#X41;&#65&#0;&#6a;"},
      {"<a><![CDATA[<b>&amp;]]>&amp;<![CDATA[]]></a>", "<b>&amp;&"},
      {"<a>1<!-- c -->2<?p x?>3</a>", "123"},
      {"<a> x\r\n y </a>", " x\r\n y "},
      {"<a><b/>text</a>", ""},
      {"<a/>", ""},
      {"<a></a>", ""},
      {"<a>x < y</a>", "x < y"},
      {"<a>\xC3\xA9\xE2\x82\xAC</a>", "\xC3\xA9\xE2\x82\xAC"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.xml);
    CXmlDocument doc;
    doc.SetDoc(c.xml);
    ASSERT_TRUE(doc.FindElem("a"));
    EXPECT_EQ(doc.GetData(), c.data);
  }
}

TEST(XmlDocumentData, ReferenceAboveBmpGivesASurrogatePair) {
  CXmlDocument doc;
  ASSERT_TRUE(doc.SetDoc("<a>&#x1F600;</a>"));
  ASSERT_TRUE(doc.FindElem());
  const std::u16string units = Utf8ToUtf16(doc.GetData());
  EXPECT_EQ(units, std::u16string(u"\xD83D\xDE00"));
}

TEST(XmlDocumentData, AttributesAreUnescaped) {
  struct Case {
    const char* tag;
    const char* name;
    const char* value;
  };
  const Case cases[] = {
      {"<a x='1' y=\"2\"/>", "x", "1"},
      {"<a x='1' y=\"2\"/>", "y", "2"},
      {"<a x='1' y=\"2\"/>", "z", ""},
      {"<a x='1' y=\"2\"/>", "a", ""},
      {"<a xy='1' x='2'/>", "x", "2"},
      {"<a  x = \"v w\" >t</a>", "x", "v w"},
      {"<a x=\"it's\" y='say \"hi\"'/>", "x", "it's"},
      {"<a x=\"it's\" y='say \"hi\"'/>", "y", "say \"hi\""},
      {"<a x=\"&lt;&amp;&gt;&quot;&apos;&#65;&#x42;&bad;\"/>", "x", "<&>\"'AB&bad;"},
      {"<a x=\"\"/>", "x", ""},
      {"<a v=\"\xC3\xA9\"/>", "v", "\xC3\xA9"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.tag) + " " + c.name);
    CXmlDocument doc;
    doc.SetDoc(c.tag);
    ASSERT_TRUE(doc.FindElem("a"));
    EXPECT_EQ(doc.GetAttrib(c.name), c.value);
  }
}

// Appended elements: the text produced, and an index that stays in step with
// it (navigation after the edit, and a fresh parse of the result agrees).
TEST(XmlDocumentAddElem, WritesElementsWithLineBreaks) {
  enum Op { kFind, kInto, kOut, kAdd };
  struct Step {
    Op op;
    const char* name = "";
    const char* value = "";
  };
  struct Case {
    const char* label;
    const char* start;
    std::vector<Step> steps;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"declaration, root, two children",
       kDeclaration,
       {{kAdd, "config", ""}, {kInto}, {kAdd, "Status", "1"}, {kAdd, "JoinExp", ""}, {kOut}},
       std::string(kDeclaration) + "<config>\r\n<Status>1</Status>\r\n<JoinExp/>\r\n</config>\r\n"},
      {"value is escaped, quotes kept",
       "",
       {{kAdd, "a", "x<y&z>\"'"}},
       "<a>x&lt;y&amp;z&gt;\"'</a>\r\n"},
      {"empty-element parent with attributes is expanded",
       "<r x='1'/>",
       {{kFind, "r"}, {kInto}, {kAdd, "c", "v"}},
       "<r x='1'>\r\n<c>v</c>\r\n</r>"},
      {"after main in the middle",
       "<r><a/><b/></r>",
       {{kFind, "r"}, {kInto}, {kFind, "a"}, {kAdd, "x", ""}},
       "<r><a/><x/>\r\n<b/></r>"},
      {"after main and its line break",
       "<r>\r\n<a/>\r\n  <b/>\r\n</r>",
       {{kFind, "r"}, {kInto}, {kFind, "a"}, {kAdd, "x", "1"}},
       "<r>\r\n<a/>\r\n<x>1</x>\r\n  <b/>\r\n</r>"},
      {"at the end of the parent's content",
       "<r>\r\n<a/>\r\n</r>",
       {{kFind, "r"}, {kInto}, {kAdd, "x", ""}, {kAdd, "y", ""}},
       "<r>\r\n<a/>\r\n<x/>\r\n<y/>\r\n</r>"},
      {"into a nested empty element",
       "<r><s/></r>",
       {{kFind, "r"}, {kInto}, {kFind, "s"}, {kInto}, {kAdd, "t", "1"}, {kOut}, {kAdd, "u", ""}},
       "<r><s>\r\n<t>1</t>\r\n</s><u/>\r\n</r>"},
      {"after the root at the top level", "<r/>", {{kFind, "r"}, {kAdd, "s", ""}}, "<r/><s/>\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    CXmlDocument doc;
    doc.SetDoc(c.start);
    for (const Step& s : c.steps) {
      switch (s.op) {
        case kFind:
          ASSERT_TRUE(doc.FindElem(s.name));
          break;
        case kInto:
          ASSERT_TRUE(doc.IntoElem());
          break;
        case kOut:
          ASSERT_TRUE(doc.OutOfElem());
          break;
        case kAdd:
          ASSERT_TRUE(doc.AddElem(s.name, s.value));
          EXPECT_EQ(doc.GetTagName(), s.name);
          EXPECT_EQ(doc.GetData(), s.value);
          break;
      }
    }
    EXPECT_EQ(doc.GetDoc(), c.expected);
    CXmlDocument fresh;
    fresh.SetDoc(c.expected);
    EXPECT_EQ(Outline(doc), Outline(fresh));
  }
}

TEST(XmlDocumentAddElem, IndexFollowsTheEditedText) {
  CXmlDocument doc;
  ASSERT_TRUE(doc.SetDoc("<r>\n<a k='1'>x</a>\n<b/>\n</r>"));
  ASSERT_TRUE(doc.FindElem("r"));
  ASSERT_TRUE(doc.IntoElem());
  ASSERT_TRUE(doc.FindElem("a"));
  ASSERT_TRUE(doc.AddElem("n", "&"));
  EXPECT_EQ(doc.GetDoc(), "<r>\n<a k='1'>x</a>\n<n>&amp;</n>\r\n<b/>\n</r>");
  ASSERT_TRUE(doc.FindElem());
  EXPECT_EQ(doc.GetTagName(), "b");
  ASSERT_TRUE(doc.AddElem("m", "2"));
  ASSERT_TRUE(doc.OutOfElem());
  EXPECT_EQ(doc.GetTagName(), "r");
  doc.ResetChildPos();
  std::vector<std::string> seen;
  while (doc.FindChildElem())
    seen.push_back(doc.GetChildTagName() + "=" + doc.GetChildData() + doc.GetChildAttrib("k"));
  EXPECT_EQ(seen, (std::vector<std::string>{"a=x1", "n=&", "b=", "m=2"}));
  EXPECT_TRUE(doc.AddElem("after", ""));
  EXPECT_EQ(doc.GetDoc(),
            "<r>\n<a k='1'>x</a>\n<n>&amp;</n>\r\n<b/>\n<m>2</m>\r\n</r><after/>\r\n");
}

TEST(XmlDocumentAddElem, RejectsNamesThatAreNoTagNames) {
  for (const char* name : {"", "1a", "a b", "a>", "<a", "a/", "-a", "a&b"}) {
    SCOPED_TRACE(name);
    CXmlDocument doc;
    ASSERT_TRUE(doc.SetDoc("<r/>"));
    ASSERT_TRUE(doc.FindElem());
    EXPECT_FALSE(doc.AddElem(name, "v"));
    EXPECT_EQ(doc.GetDoc(), "<r/>");
    EXPECT_EQ(doc.GetTagName(), "r");
  }
  CXmlDocument doc;
  EXPECT_FALSE(doc.AddElem(std::string_view("a\0b", 3), "v"));
  EXPECT_TRUE(doc.AddElem("\xC3\xA9t\xC3\xA9", "v"));
  EXPECT_EQ(doc.GetDoc(), "<\xC3\xA9t\xC3\xA9>v</\xC3\xA9t\xC3\xA9>\r\n");
}

TEST(XmlDocumentUtf, Utf8ToUtf16) {
  struct Case {
    std::string in;
    std::u16string out;
  };
  const Case cases[] = {
      {"", u""},
      {"Az~", u"Az~"},
      {"\xC3\xA9", u"\u00E9"},
      {"\xE2\x82\xAC", u"\u20AC"},
      {"\xF0\x9F\x98\x80", u"\xD83D\xDE00"},
      {"\xF4\x8F\xBF\xBF", u"\xDBFF\xDFFF"},
      {"\xEF\xBB\xBF<", u"\uFEFF<"},
      {"\xF8"
       "A",
       u"?A"},
      {"\xFF\xFE", u"??"},
      {"\x80"
       "A",
       u"?A"},
      {"\xC3"
       "A",
       u"?A"},
      {"\xE2\x82"
       "AB",
       u"?AB"},
      {"\xF0\x9F\x98"
       "AB",
       u"?AB"},
      {"\xF4\x90\x80\x80", u"?"},
      {std::string("A\0B", 3), u"A"},
      {"A\xC3", u"A"},
      {"A\xE2\x82", u"A"},
      {"A\xE2"
       "B",
       u"A"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.in));
    EXPECT_EQ(Utf8ToUtf16(c.in), c.out);
  }
}

TEST(XmlDocumentUtf, Utf16ToUtf8) {
  struct Case {
    std::u16string in;
    std::string out;
  };
  const Case cases[] = {
      {u"", ""},
      {u"Az~", "Az~"},
      {u"\u00E9\u07FF", "\xC3\xA9\xDF\xBF"},
      {u"\u0800\u20AC\uFFFF", "\xE0\xA0\x80\xE2\x82\xAC\xEF\xBF\xBF"},
      {u"\xD83D\xDE00", "\xF0\x9F\x98\x80"},
      {u"\xDBFF\xDFFF", "\xF4\x8F\xBF\xBF"},
      {u"A\xD83D", "A?"},
      {u"\xDE00", "?"},
      {u"\xD800"
       u"A",
       "\xF0\x90\x81\x81"},
      {u"\uFEFFx", "\xEF\xBB\xBFx"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.out));
    EXPECT_EQ(Utf16ToUtf8(c.in), c.out);
  }
  const std::string mixed = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z";
  EXPECT_EQ(Utf16ToUtf8(Utf8ToUtf16(mixed)), mixed);
}

TEST(XmlDocumentFile, ReadTextFile) {
  struct Case {
    std::string bytes;
    std::u16string text;
    const char* result;
  };
  const Case cases[] = {
      {"<a>\xC3\xA9</a>", u"<a>\u00E9</a>", "9 bytes to 8 wide chars"},
      {"\xEF\xBB\xBF<a/>", u"\uFEFF<a/>", "7 bytes to 5 wide chars"},
      {"", u"", "0 bytes to 0 wide chars"},
      {"\xF0\x9F\x98\x80\r\n", u"\xD83D\xDE00\r\n", "6 bytes to 4 wide chars"},
      {std::string("ab\0cd", 5), u"ab", "5 bytes to 2 wide chars"},
  };
  tavtest::Sandbox sandbox;
  int index = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.result);
    const std::string path = sandbox.Path("in" + std::to_string(index++) + ".xml");
    ASSERT_TRUE(tavtest::WriteFile(path, c.bytes));
    CXmlDocument doc;
    std::u16string text;
    ASSERT_TRUE(doc.ReadTextFile(path, &text));
    EXPECT_EQ(text, c.text);
    EXPECT_EQ(doc.GetResult(), c.result);
    std::string utf8;
    ASSERT_TRUE(doc.ReadTextFile(path, &utf8));
    EXPECT_EQ(utf8, Utf16ToUtf8(c.text));
  }
}

TEST(XmlDocumentFile, ByteOrderMarkStaysFirstCharacter) {
  tavtest::Sandbox sandbox;
  const std::string path = sandbox.Path("bom.xml");
  ASSERT_TRUE(tavtest::WriteFile(path, "\xEF\xBB\xBF<a>1</a>"));
  CXmlDocument doc;
  std::u16string text;
  ASSERT_TRUE(doc.ReadTextFile(path, &text));
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text[0], u'\uFEFF');
  EXPECT_TRUE(doc.SetDocUtf16(text));
  EXPECT_EQ(doc.GetDocUtf16()[0], u'\uFEFF');
  ASSERT_TRUE(doc.FindElem("a"));
  EXPECT_EQ(doc.GetData(), "1");
}

TEST(XmlDocumentFile, FailuresGiveTheSystemMessage) {
  tavtest::Sandbox sandbox;
  std::filesystem::create_directories(sandbox.Path("folder"));
  struct Case {
    std::string path;
    bool write;
    int error;
  };
  const Case cases[] = {
      {sandbox.Path("missing.xml"), false, ENOENT},
      {sandbox.Path("folder"), false, EISDIR},
      {sandbox.Path("no/such/folder/out.xml"), true, ENOENT},
      {sandbox.Path("folder"), true, EISDIR},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    CXmlDocument doc;
    std::u16string text = u"kept";
    const bool ok = c.write ? doc.WriteTextFile(c.path, std::u16string_view(u"<a/>"))
                            : doc.ReadTextFile(c.path, &text);
    EXPECT_FALSE(ok);
    EXPECT_EQ(doc.GetResult(), std::strerror(c.error));
    EXPECT_EQ(text, u"kept");
  }
}

TEST(XmlDocumentFile, WriteTextFileReplacesTheFile) {
  struct Case {
    std::u16string text;
    std::string bytes;
    const char* result;
  };
  const Case cases[] = {
      {u"<a>\u00E9</a>", "<a>\xC3\xA9</a>", "8 wide chars to 9 bytes"},
      {u"\xD83D\xDE00", "\xF0\x9F\x98\x80", "2 wide chars to 4 bytes"},
      {u"", "", "0 wide chars to 0 bytes"},
  };
  tavtest::Sandbox sandbox;
  const std::string path = sandbox.Path("out.xml");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.result);
    ASSERT_TRUE(tavtest::WriteFile(path, std::string(100, 'x')));
    CXmlDocument doc;
    ASSERT_TRUE(doc.WriteTextFile(path, std::u16string_view(c.text)));
    EXPECT_EQ(doc.GetResult(), c.result);
    EXPECT_EQ(tavtest::ReadFile(path), c.bytes);
  }
  CXmlDocument doc;
  ASSERT_TRUE(doc.WriteTextFile(path, std::string_view("\xC3\xA9")));
  EXPECT_EQ(doc.GetResult(), "1 wide chars to 2 bytes");
}

// The run-state file after a started download, built the way its writer
// builds it, comes out byte for byte and reads back.
TEST(XmlDocumentRunState, ExampleFileByteForByte) {
  struct Value {
    const char* name;
    const char* value;
  };
  const Value values[] = {
      {"Status", "1"},
      {"JoinExp", "1"},
      {"SelectLang", "Italiano"},
      {"InstallPath", "C:\\Program Files\\"},
      {"AgreeExtInstall", ""},
      {"TmpPackagePath", "C:\\Users\\Public\\Documents\\Corvenna\\nodorra_full7155.exe.~P2S"},
  };
  CXmlDocument doc;
  doc.SetDoc(kDeclaration);
  ASSERT_TRUE(doc.AddElem("config"));
  ASSERT_TRUE(doc.IntoElem());
  for (const Value& v : values)
    ASSERT_TRUE(doc.AddElem(v.name, v.value));
  ASSERT_TRUE(doc.OutOfElem());

  tavtest::Sandbox sandbox;
  const std::string path = sandbox.Path("TAV_DOWNTASK_7155.xml");
  ASSERT_TRUE(doc.WriteTextFile(path, doc.GetDocUtf16()));
  const std::string expected =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<config>\r\n"
      "<Status>1</Status>\r\n"
      "<JoinExp>1</JoinExp>\r\n"
      "<SelectLang>Italiano</SelectLang>\r\n"
      "<InstallPath>C:\\Program Files\\</InstallPath>\r\n"
      "<AgreeExtInstall/>\r\n"
      "<TmpPackagePath>C:\\Users\\Public\\Documents\\Corvenna\\nodorra_full7155.exe.~P2S"
      "</TmpPackagePath>\r\n"
      "</config>\r\n";
  EXPECT_EQ(tavtest::ReadFile(path), expected);
  EXPECT_EQ(doc.GetResult(), std::to_string(expected.size()) + " wide chars to " +
                                 std::to_string(expected.size()) + " bytes");

  // Read back the way the reader reads it: any order.
  CXmlDocument reader;
  std::u16string text;
  ASSERT_TRUE(reader.ReadTextFile(path, &text));
  ASSERT_TRUE(reader.SetDocUtf16(text));
  ASSERT_TRUE(reader.FindElem("config"));
  for (size_t k = std::size(values); k-- > 0;) {
    SCOPED_TRACE(values[k].name);
    reader.ResetChildPos();
    ASSERT_TRUE(reader.FindChildElem(values[k].name));
    ASSERT_TRUE(reader.IntoElem());
    EXPECT_EQ(reader.GetData(), values[k].value);
    ASSERT_TRUE(reader.OutOfElem());
  }
}

}  // namespace
