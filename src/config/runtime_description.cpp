#include "config/runtime_description.h"

#include <cstdlib>
#include <ctime>
#include <initializer_list>

#include "app/simple_log.h"
#include "support/file_util.h"
#include "support/http_request.h"
#include "support/registry_records.h"
#include "support/system_info.h"
#include "support/xml_document.h"
#include "telemetry/analytics_events.h"
#include "telemetry/track_store.h"

namespace {

constexpr char kFallbackVersion[] = "3.0.5";

struct RuntimeField {
  const char* name;
  std::string RuntimeValues::*value;
};

// The children of "runtime", in the order they are read.
constexpr RuntimeField kRuntimeFields[] = {
    {"name", &RuntimeValues::name},
    {"version", &RuntimeValues::version},
    {"process_name", &RuntimeValues::process_name},
    {"install_url", &RuntimeValues::install_url},
    {"download_url_x64", &RuntimeValues::download_url_x64},
    {"download_url", &RuntimeValues::download_url},
    {"download_url_with_framework", &RuntimeValues::download_url_with_framework},
    {"download_url_net", &RuntimeValues::download_url_net},
    {"download_url_net_with_framework", &RuntimeValues::download_url_net_with_framework},
    {"banner_url", &RuntimeValues::banner_url},
    {"oiap_url", &RuntimeValues::oiap_url},
    {"user_agreement_url", &RuntimeValues::user_agreement_url},
    {"privacy_agreement_url", &RuntimeValues::privacy_agreement_url},
    {"md5", &RuntimeValues::md5},
    {"history_md5_32", &RuntimeValues::history_md5_32},
    {"md5_64", &RuntimeValues::md5_64},
    {"history_md5_64", &RuntimeValues::history_md5_64},
    {"filesize", &RuntimeValues::filesize},
    {"netfx_minver", &RuntimeValues::netfx_minver},
    {"netfxlite_url", &RuntimeValues::netfxlite_url},
    {"languages", &RuntimeValues::languages},
    {"Url_Jump", &RuntimeValues::url_jump},
    {"install_error_url", &RuntimeValues::install_error_url},
    {"custom_install_path", &RuntimeValues::custom_install_path},
    {"is_allow_install_admin_path", &RuntimeValues::is_allow_install_admin_path},
    {"not_support_win32", &RuntimeValues::not_support_win32},
};

// The version split into its numbers; false when it is not "a.b.c.d".
bool OwnVersionNumbers(int numbers[4]) {
  const std::string version = GetOwnFileVersion();
  return !version.empty() && std::sscanf(version.c_str(), "%d.%d.%d.%d", &numbers[0], &numbers[1],
                                         &numbers[2], &numbers[3]) == 4;
}

// Non-empty texts joined with ",".
std::string JoinNonEmpty(std::initializer_list<const std::string*> parts) {
  std::string out;
  for (const std::string* part : parts) {
    if (part->empty())
      continue;
    if (!out.empty())
      out += ",";
    out += *part;
  }
  return out;
}

void ReadRuntime(CXmlDocument& doc, RuntimeValues* values) {
  for (const RuntimeField& field : kRuntimeFields) {
    doc.ResetChildPos();
    if (doc.FindChildElem(field.name))
      values->*field.value = doc.GetChildData();
  }
}

void MergeBindItems(CXmlDocument& doc, ProductSettings* settings) {
  while (doc.FindChildElem("item")) {
    doc.IntoElem();
    DependentProduct d = ReadDependentItem(doc, /*with_server_fields=*/true);
    doc.OutOfElem();
    LOG_INFO("[INFO] %d - LoadServerXml bind.item pid=[%s].", d.product_id.c_str());
    if (!d.usable())
      continue;

    std::vector<DependentProduct>& list = settings->dependents;
    for (auto it = list.begin(); it != list.end(); ++it) {
      if (it->product_id == d.product_id) {
        list.erase(it);
        break;
      }
    }
    const int id = std::atoi(d.product_id.c_str());
    SetDependentForced(id, d.forced());
    SetDependentMd5List(id,
                        JoinNonEmpty({&d.md5, &d.history_md5_32, &d.history_md5_64, &d.md5_64}));
    list.push_back(std::move(d));
  }
}

}  // namespace

std::string TavVersion3() {
  int n[4];
  if (!OwnVersionNumbers(n))
    return kFallbackVersion;
  return std::to_string(n[0]) + "." + std::to_string(n[1]) + "." + std::to_string(n[2]);
}

std::string TavVersion4() {
  int n[4];
  if (!OwnVersionNumbers(n))
    return std::string(kFallbackVersion) + ".0";
  return std::to_string(n[0]) + "." + std::to_string(n[1]) + "." + std::to_string(n[2]) + "." +
         std::to_string(n[3]);
}

std::string RuntimeRequestUrl(const ProductSettings& settings, const std::string& client_sign,
                              const std::string& tav_version, bool is_64bit_os) {
  if (!settings.app_id.empty() && !settings.channel.empty()) {
    const std::string& down = settings.url_down;
    const std::string::size_type slash = down.find_last_of('/');
    const std::string folder = slash == std::string::npos ? down : down.substr(0, slash);
    return folder + "/xml/" + settings.app_id + "_" + settings.channel + ".xml";
  }
  return settings.server_host + "rest/v2/downloader/runtime/?client_sign=" + client_sign +
         "&product_id=" + settings.product_id + "&tav=" + tav_version +
         "&platform=" + (is_64bit_os ? "win_x64" : "win_x86");
}

bool ApplyRuntimeAnswer(const std::string& answer, RuntimeValues* values,
                        ProductSettings* settings) {
  CXmlDocument doc;
  doc.SetDoc(answer);
  if (!doc.FindElem("vtrp"))
    return false;
  doc.IntoElem();
  if (!doc.FindElem("downloader"))
    return false;

  bool has_runtime = false;
  doc.ResetChildPos();
  if (doc.FindChildElem("runtime")) {
    has_runtime = true;
    LOG_INFO("[INFO] %d - LoadServerXml downloader.runtime.");
    doc.IntoElem();
    ReadRuntime(doc, values);
    doc.OutOfElem();
  }
  // The banner page must never come from a cache, even when the server named none.
  values->banner_url += values->banner_url.find('?') == std::string::npos ? "?" : "&";
  values->banner_url += "_t=" + std::to_string(static_cast<long long>(std::time(nullptr)));

  doc.ResetChildPos();
  if (doc.FindChildElem("bind")) {
    doc.IntoElem();
    MergeBindItems(doc, settings);
    doc.OutOfElem();
  }
  return has_runtime;
}

bool LoadServerXml(ProductSettings* settings, RuntimeValues* values) {
  const std::string url = RuntimeRequestUrl(*settings, GetClientSign(settings->product_brand),
                                            TavVersion3(), Is64BitOs());
  LOG_INFO("[INFO] %d - LoadServerXml, url=[%s].", url.c_str());
  CHttpRequest request;
  int code = 0;
  const std::string answer =
      request.CurlRequest(CHttpRequest::kGet, url, {}, /*http10=*/true, false, "", &code);
  const bool has_runtime = ApplyRuntimeAnswer(code == 0 ? answer : std::string(), values, settings);

  ConfigEvent event;
  event.name = values->name;
  event.process_name = values->process_name;
  event.file_size = std::atoll(values->filesize.c_str());
  event.download_url = values->download_url;
  event.md5 = values->md5;
  event.download_url_x64 = values->download_url_x64;
  event.md5_64 = values->md5_64;
  event.result_code = code;
  ReportConfig(event);

  SetTrackString("serverxmlmd5", JoinNonEmpty({&values->md5, &values->history_md5_32,
                                               &values->history_md5_64, &values->md5_64}));
  SetTrackString("xmlprodcutver", values->version);
  RequestTrackId(settings->product_id);
  return code == 0 && has_runtime;
}

EffectiveValues MergeRuntimeValues(const ProductSettings& s, const RuntimeValues& v) {
  auto pick = [](const std::string& server, const std::string& local) {
    return server.empty() ? local : server;
  };
  EffectiveValues e;
  const bool server_dotnet = !v.netfx_minver.empty() && !v.netfxlite_url.empty();
  e.dotnet_min_ver = server_dotnet ? v.netfx_minver : s.dotnet_min_ver;
  e.dotnet_url = server_dotnet ? v.netfxlite_url : s.dotnet_url;
  e.install_url =
      s.install_only_use_local_url == "0" && !v.install_url.empty() ? v.install_url : s.url_install;
  e.banner_url = v.banner_url;
  e.license_url = pick(v.oiap_url, s.url_license);
  e.languages = pick(v.languages, s.languages);
  e.user_agreement_url = pick(v.user_agreement_url, s.user_agreement_url);
  e.privacy_agreement_url = pick(v.privacy_agreement_url, s.privacy_agreement_url);
  e.url_jump = pick(v.url_jump, s.url_jump);
  e.install_error_url = pick(v.install_error_url, s.install_error_url);
  e.custom_install_path = pick(v.custom_install_path, s.custom_install_path);
  const int install_time = std::atoi(s.install_time.c_str());
  e.install_time = install_time < 120 || install_time > 600 ? 240 : install_time;
  return e;
}
