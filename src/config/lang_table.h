// The language table: the string table of the built-in language file, the
// languages the product's installer understands, and the current language.
// Made by start-up on the main thread and lent to the main window, which
// uses it from the UI thread only.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

struct RunState;

class LangTable {
 public:
  struct Language {
    const char* display_name;
    const char* code;
  };

  // Sets the current language to "English" and picks the language of the
  // user's locale (InitLangCode).
  LangTable();

  // Chooses the current language from the user's locale; true on a match.
  bool InitLangCode();
  // Loads the built-in language file (resource XML 131). Every "Veltrana" in
  // the texts becomes `brand` unless the brand is the maker's own name in any
  // case. False when the file is missing, malformed or not rooted at "Lang".
  bool loadLangXML(const std::string& brand);

  // The text of `key`; the key itself when it has none or an empty one. A
  // missing key gets an empty entry.
  std::string GetText(const std::string& key);
  // As GetText, but empty when there is no text.
  std::string GetTextOrEmpty(const std::string& key);

  // The installer code of a language's display name; "ENG" when unknown.
  static std::string LangCode(const std::string& display_name);
  // The 21 languages in their fixed order.
  static const std::vector<Language>& Languages();

  const std::string& current_language() const { return current_language_; }
  void set_current_language(const std::string& name) { current_language_ = name; }

 private:
  std::string current_language_ = "English";
  std::map<std::string, std::string> strings_;
};

// Stores `name` as the run's selected language; an empty name changes
// nothing.
void SetSelectLang(RunState* state, const std::string& name);
