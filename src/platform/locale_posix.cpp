#include "platform/locale.h"

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>

#include "platform/paths.h"

namespace platform {
namespace {

struct LocaleEntry {
  const char* name;  // "ll_CC", or "ll" for the language's default country
  uint32_t lcid;
};

// Windows identifiers of the POSIX locales; every identifier the language
// table knows has its locale here, plus the common neighbours.
constexpr LocaleEntry kLocales[] = {
    {"en", 0x0409},    {"en_US", 0x0409}, {"en_GB", 0x0809}, {"en_AU", 0x0C09}, {"en_CA", 0x1009},
    {"en_NZ", 0x1409}, {"en_IE", 0x1809}, {"en_ZA", 0x1C09}, {"en_IN", 0x4009}, {"en_SG", 0x4809},
    {"fr", 0x040C},    {"fr_FR", 0x040C}, {"fr_BE", 0x080C}, {"fr_CA", 0x0C0C}, {"fr_CH", 0x100C},
    {"fr_LU", 0x140C}, {"fr_MC", 0x180C}, {"de", 0x0407},    {"de_DE", 0x0407}, {"de_CH", 0x0807},
    {"de_AT", 0x0C07}, {"de_LU", 0x1007}, {"de_LI", 0x1407}, {"ja", 0x0411},    {"ja_JP", 0x0411},
    {"pt", 0x0816},    {"pt_PT", 0x0816}, {"pt_BR", 0x0416}, {"es", 0x0C0A},    {"es_ES", 0x0C0A},
    {"es_MX", 0x080A}, {"es_GT", 0x100A}, {"es_CR", 0x140A}, {"es_PA", 0x180A}, {"es_DO", 0x1C0A},
    {"es_VE", 0x200A}, {"es_CO", 0x240A}, {"es_PE", 0x280A}, {"es_AR", 0x2C0A}, {"es_EC", 0x300A},
    {"es_CL", 0x340A}, {"es_UY", 0x380A}, {"es_PY", 0x3C0A}, {"es_BO", 0x400A}, {"es_SV", 0x440A},
    {"es_HN", 0x480A}, {"es_NI", 0x4C0A}, {"es_PR", 0x500A}, {"it", 0x0410},    {"it_IT", 0x0410},
    {"it_CH", 0x0810}, {"zh", 0x0804},    {"zh_CN", 0x0804}, {"zh_TW", 0x0404}, {"zh_HK", 0x0C04},
    {"zh_SG", 0x1004}, {"zh_MO", 0x1404}, {"ru", 0x0419},    {"ru_RU", 0x0419}, {"ru_MD", 0x0819},
    {"nl", 0x0413},    {"nl_NL", 0x0413}, {"nl_BE", 0x0813}, {"ko", 0x0412},    {"ko_KR", 0x0412},
    {"id", 0x0421},    {"id_ID", 0x0421}, {"sv", 0x041D},    {"sv_SE", 0x041D}, {"sv_FI", 0x081D},
    {"ar", 0x0401},    {"ar_SA", 0x0401}, {"ar_IQ", 0x0801}, {"ar_EG", 0x0C01}, {"ar_LY", 0x1001},
    {"ar_DZ", 0x1401}, {"ar_MA", 0x1801}, {"ar_TN", 0x1C01}, {"ar_OM", 0x2001}, {"ar_YE", 0x2401},
    {"ar_SY", 0x2801}, {"ar_JO", 0x2C01}, {"ar_LB", 0x3001}, {"ar_KW", 0x3401}, {"ar_AE", 0x3801},
    {"ar_BH", 0x3C01}, {"ar_QA", 0x4001}, {"mr", 0x044E},    {"mr_IN", 0x044E}, {"te", 0x044A},
    {"te_IN", 0x044A}, {"ta", 0x0449},    {"ta_IN", 0x0449}, {"bn", 0x0445},    {"bn_IN", 0x0445},
    {"bn_BD", 0x0845}, {"hi", 0x0439},    {"hi_IN", 0x0439}, {"th", 0x041E},    {"th_TH", 0x041E},
    {"pl", 0x0415},    {"pl_PL", 0x0415}, {"tr", 0x041F},    {"tr_TR", 0x041F}, {"cs", 0x0405},
    {"cs_CZ", 0x0405}, {"da", 0x0406},    {"da_DK", 0x0406}, {"fi", 0x040B},    {"fi_FI", 0x040B},
    {"el", 0x0408},    {"el_GR", 0x0408}, {"he", 0x040D},    {"he_IL", 0x040D}, {"hu", 0x040E},
    {"hu_HU", 0x040E}, {"nb", 0x0414},    {"nb_NO", 0x0414}, {"uk", 0x0422},    {"uk_UA", 0x0422},
    {"vi", 0x042A},    {"vi_VN", 0x042A}, {"ro", 0x0418},    {"ro_RO", 0x0418},
};

constexpr uint32_t kEnglishUs = 0x0409;

uint32_t Lookup(std::string_view name) {
  for (const LocaleEntry& entry : kLocales) {
    if (name == entry.name)
      return entry.lcid;
  }
  return 0;
}

std::string_view FirstSetEnv(std::initializer_list<const char*> names) {
  for (const char* name : names) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0')
      return value;
  }
  return {};
}

}  // namespace

uint32_t LcidFromLocaleName(std::string_view name) {
  // "ll_CC.codeset@modifier": the codeset and modifier do not change the LCID.
  name = name.substr(0, name.find_first_of(".@"));
  if (name == "C" || name == "POSIX")
    return kEnglishUs;
  if (uint32_t lcid = Lookup(name); lcid != 0)
    return lcid;
  // An unknown country falls back to the language's default.
  std::string_view::size_type sep = name.find('_');
  return sep == std::string_view::npos ? 0 : Lookup(name.substr(0, sep));
}

uint32_t GetUserDefaultLcid() {
  uint32_t lcid = LcidFromLocaleName(FirstSetEnv({"LC_ALL", "LC_MESSAGES", "LANG"}));
  return lcid != 0 ? lcid : kEnglishUs;
}

uint32_t GetSystemDefaultLcid() {
  std::ifstream in(UnderRoot("/etc/default/locale"));
  std::string line;
  while (std::getline(in, line)) {
    if (line.compare(0, 5, "LANG=") != 0)
      continue;
    std::string value = line.substr(5);
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
      value = value.substr(1, value.size() - 2);
    }
    if (uint32_t lcid = LcidFromLocaleName(value); lcid != 0)
      return lcid;
  }
  return GetUserDefaultLcid();
}

int32_t GetTimeZoneBiasMinutes() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  if (localtime_r(&now, &local) == nullptr)
    return 0;
  return static_cast<int32_t>(-local.tm_gmtoff / 60);
}

}  // namespace platform
