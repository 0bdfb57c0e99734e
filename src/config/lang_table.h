// The language table: the string table of the built-in language file, the
// languages the product's installer understands, and the current language.
// Made by start-up on the main thread and lent to the main window.
#pragma once

#include <map>
#include <string>

class LangTable {
 public:
  // Starts with "English" and picks the language of the user's locale.
  LangTable();

  // Chooses the current language from the user's locale; true on a match.
  bool InitLangCode();
  // Loads the built-in language file (resource XML 131); false when it is
  // missing or unreadable.
  bool loadLangXML(const std::string& brand);

  const std::string& current_language() const { return current_language_; }

 private:
  std::string current_language_ = "English";
  std::map<std::string, std::string> strings_;
};

// Stores `name` as the run's selected language; an empty name changes
// nothing.
void SetSelectLang(std::string* select_lang, const std::string& name);
