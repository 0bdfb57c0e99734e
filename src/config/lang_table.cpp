#include "config/lang_table.h"

#include "app/simple_log.h"
#include "platform/locale.h"
#include "platform/resources.h"

LangTable::LangTable() {
  InitLangCode();
}

bool LangTable::InitLangCode() {
  LOG_INFO("[INFO] %d - InitLangCode SystemDefaultLCID: %d",
           static_cast<int>(platform::GetSystemDefaultLcid()));
  LOG_INFO("[INFO] %d - InitLangCode GetUserDefaultLCID: %d",
           static_cast<int>(platform::GetUserDefaultLcid()));
  LOG_INFO("[INFO] %d - InitLangCode set: -1");
  return false;
}

bool LangTable::loadLangXML(const std::string& /*brand*/) {
  LOG_INFO("[INFO] %d - loadLangXML");
  std::string xml;
  return platform::LoadResource("XML", platform::kResLangXml, &xml) &&
         xml.find("<Lang") != std::string::npos;
}

void SetSelectLang(std::string* select_lang, const std::string& name) {
  if (name.empty())
    return;
  *select_lang = name;
  LOG_INFO("[INFO] %d - set select lang=[%s].", name.c_str());
}
