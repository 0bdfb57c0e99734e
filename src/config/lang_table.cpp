#include "config/lang_table.h"

#include <cstdint>

#include "app/simple_log.h"
#include "config/run_state.h"
#include "platform/locale.h"
#include "platform/resources.h"
#include "support/xml_document.h"

namespace {

struct LocaleName {
  uint32_t lcid;
  const char* display_name;
};

// Locales whose users get a language other than English, in the order the
// index in the log counts them.
constexpr LocaleName kLocaleTable[] = {
    {0x080C, "Français"},  {0x0C0C, "Français"},
    {0x040C, "Français"},  {0x140C, "Français"},
    {0x180C, "Français"},  {0x100C, "Français"},
    {0x0C07, "Deutsch"},   {0x0407, "Deutsch"},
    {0x1407, "Deutsch"},   {0x1007, "Deutsch"},
    {0x0807, "Deutsch"},   {0x0411, "日本語"},
    {0x0416, "Português"}, {0x0816, "Português"},
    {0x2C0A, "Español"},   {0x400A, "Español"},
    {0x340A, "Español"},   {0x240A, "Español"},
    {0x140A, "Español"},   {0x1C0A, "Español"},
    {0x300A, "Español"},   {0x440A, "Español"},
    {0x100A, "Español"},   {0x480A, "Español"},
    {0x080A, "Español"},   {0x4C0A, "Español"},
    {0x180A, "Español"},   {0x3C0A, "Español"},
    {0x280A, "Español"},   {0x500A, "Español"},
    {0x040A, "Español"},   {0x0C0A, "Español"},
    {0x380A, "Español"},   {0x200A, "Español"},
    {0x0410, "Italiano"},  {0x0810, "Italiano"},
    {0x0404, "中文繁體"},  {0x0C04, "中文繁體"},
    {0x0804, "中文简体"},  {0x1004, "中文简体"},
    {0x0419, "Pусский"},   {0x0819, "Pусский"},
    {0x0413, "Dutch"},     {0x0813, "Dutch"},
    {0x0412, "한국어"},    {0x0421, "Bahasa Indonesia"},
    {0x001D, "Svenska"},   {0x041D, "Svenska"},
    {0x081D, "Svenska"},   {0x3801, "العربية"},
    {0x3C01, "العربية"},   {0x1401, "العربية"},
    {0x0C01, "العربية"},   {0x0801, "العربية"},
    {0x2C01, "العربية"},   {0x3401, "العربية"},
    {0x3001, "العربية"},   {0x1001, "العربية"},
    {0x1801, "العربية"},   {0x2001, "العربية"},
    {0x4001, "العربية"},   {0x0401, "العربية"},
    {0x2801, "العربية"},   {0x1C01, "العربية"},
    {0x2401, "العربية"},   {0x004E, "मराठी"},
    {0x044E, "मराठी"},     {0x004A, "తెలుగు"},
    {0x044A, "తెలుగు"},     {0x0049, "தமிழ்"},
    {0x0449, "தமிழ்"},      {0x0445, "বাংলা"},
    {0x0039, "हिन्दी"},     {0x0439, "हिन्दी"},
    {0x041E, "ไทย"},
};
static_assert(std::size(kLocaleTable) == 75);

// The maker's own name: with it as the brand the texts stay as written.
constexpr char kMakerName[] = "Veltrana";
constexpr char kMakerNameLower[] = "veltrana";

std::string AsciiLower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z')
      c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

void ReplaceAll(std::string* text, const std::string& from, const std::string& to) {
  std::string::size_type at = 0;
  while ((at = text->find(from, at)) != std::string::npos) {
    text->replace(at, from.size(), to);
    at += to.size();
  }
}

}  // namespace

LangTable::LangTable() {
  InitLangCode();
}

const std::vector<LangTable::Language>& LangTable::Languages() {
  static const std::vector<Language> languages = {
      {"English", "ENG"},   {"Deutsch", "DEU"},          {"Français", "FRA"}, {"Italiano", "ITA"},
      {"Português", "PTG"}, {"Español", "ESP"},          {"Dutch", "NLD"},    {"Pусский", "RUS"},
      {"日本語", "JPN"},    {"中文繁體", "CHA"},         {"中文简体", "CHS"}, {"العربية", "ARA"},
      {"한국어", "KOR"},    {"Bahasa Indonesia", "INA"}, {"Svenska", "SWE"},  {"తెలుగు", "INDTE"},
      {"தமிழ்", "INDTA"},    {"हिन्दी", "INDHI"},          {"বাংলা", "INDBN"},  {"मराठी", "INDMR"},
      {"ไทย", "THA"},
  };
  return languages;
}

bool LangTable::InitLangCode() {
  LOG_INFO("[INFO] %d - InitLangCode SystemDefaultLCID: %d",
           static_cast<int>(platform::GetSystemDefaultLcid()));
  const uint32_t user_lcid = platform::GetUserDefaultLcid();
  LOG_INFO("[INFO] %d - InitLangCode GetUserDefaultLCID: %d", static_cast<int>(user_lcid));
  for (std::size_t i = 0; i < std::size(kLocaleTable); ++i) {
    if (kLocaleTable[i].lcid != user_lcid)
      continue;
    current_language_ = kLocaleTable[i].display_name;
    LOG_INFO("[INFO] %d - InitLangCode set: %d", static_cast<int>(i));
    return true;
  }
  LOG_INFO("[INFO] %d - InitLangCode set: -1");
  return false;
}

bool LangTable::loadLangXML(const std::string& brand) {
  LOG_INFO("[INFO] %d - loadLangXML");
  const std::string brand_lower = AsciiLower(brand);
  std::string bytes;
  if (!platform::LoadResource("XML", platform::kResLangXml, &bytes) || bytes.empty()) {
    return false;
  }
  CXmlDocument doc;
  if (!doc.SetDoc(bytes) || !doc.FindElem("Lang"))
    return false;
  doc.IntoElem();
  while (doc.FindElem("item")) {
    std::string text = doc.GetData();
    if (brand_lower != kMakerNameLower)
      ReplaceAll(&text, kMakerName, brand);
    strings_[doc.GetAttrib("name")] = std::move(text);
  }
  return true;
}

std::string LangTable::GetText(const std::string& key) {
  const std::string& text = strings_[key];
  return text.empty() ? key : text;
}

std::string LangTable::GetTextOrEmpty(const std::string& key) {
  return strings_[key];
}

std::string LangTable::LangCode(const std::string& display_name) {
  for (const Language& language : Languages()) {
    if (display_name == language.display_name)
      return language.code;
  }
  return "ENG";
}

void SetSelectLang(RunState* state, const std::string& name) {
  if (name.empty())
    return;
  state->select_lang = name;
  LOG_INFO("[INFO] %d - set select lang=[%s].", name.c_str());
}
