#include "config/product_settings.h"

#include <cerrno>
#include <cstdlib>

#include "app/simple_log.h"
#include "platform/resources.h"
#include "support/deployment.h"
#include "support/file_util.h"
#include "support/registry_records.h"
#include "support/system_info.h"
#include "support/xml_document.h"
#include "telemetry/track_store.h"

namespace {

constexpr char kDefaultBrandFolder[] = "Veltrana";

// Reads the two children of the group `group` under main.
void ReadGroup(CXmlDocument& doc, const char* group, const char* first, std::string* first_value,
               const char* second, std::string* second_value) {
  doc.ResetChildPos();
  if (!doc.FindChildElem(group))
    return;
  doc.IntoElem();
  *first_value = FindChildData(doc, first, *first_value);
  *second_value = FindChildData(doc, second, *second_value);
  doc.OutOfElem();
}

void ReadDependents(CXmlDocument& doc, std::vector<DependentProduct>* dependents) {
  doc.ResetChildPos();
  if (!doc.FindChildElem("Dependent"))
    return;
  doc.IntoElem();
  while (doc.FindChildElem("item")) {
    doc.IntoElem();
    DependentProduct d = ReadDependentItem(doc, /*with_server_fields=*/false);
    doc.OutOfElem();
    LOG_INFO("[INFO] %d - LoadLocalXml, dependent.item pid=[%s].", d.product_id.c_str());
    if (d.usable())
      dependents->push_back(std::move(d));
  }
  doc.OutOfElem();
}

// The first of the common documents, the program's and the temporary brand
// folder that can be written; the temporary one when none can.
std::string ChooseConfigFolder(const std::string& brand) {
  const std::string name = brand.empty() ? kDefaultBrandFolder : brand;
  std::string folder = GetCommonDocsBrandFolder(name);
  if (CanWriteFolder(folder))
    return folder;
  LOG_WARN("[WARN] %d - get default folder=[%s] failed, err=[%d].", folder.c_str(), errno);
  folder = GetExeBrandFolder(name);
  if (CanWriteFolder(folder))
    return folder;
  LOG_WARN("[WARN] %d - get exe folder=[%s] failed, err=[%d].", folder.c_str(), errno);
  folder = GetTempBrandFolder(name);
  if (!CanWriteFolder(folder)) {
    LOG_ERROR("[ERROR] %d - get temp folder=[%s] failed! err=[%d].", folder.c_str(), errno);
  }
  return folder;
}

// Where the install folder starts when the product names none of its own.
// The install-folder rules fill this in; until then there is no default.
std::string ComputeDefaultInstallRoot(const ProductSettings& /*settings*/) {
  return {};
}

}  // namespace

DependentProduct ReadDependentItem(CXmlDocument& doc, bool with_server_fields) {
  DependentProduct d;
  d.product_id = FindChildData(doc, "ProductID");
  d.product_name = FindChildData(doc, "ProductName");
  d.product_exe = FindChildData(doc, "ProductExe");
  d.product_arg = FindChildData(doc, "ProductArg");
  d.product_install_arg = FindChildData(doc, "ProductInstallArg");
  d.product_ins_cmple = FindChildData(doc, "ProductInsCmple");
  d.url_down = FindChildData(doc, "Url_Down");
  d.url_downx64 = FindChildData(doc, "Url_Downx64");
  d.force_install = FindChildData(doc, "ForceInstall", "true");
  d.fork_install = FindChildData(doc, "ForkInstall");
  if (with_server_fields) {
    d.md5 = FindChildData(doc, "md5");
    d.history_md5_32 = FindChildData(doc, "history_md5_32");
    d.md5_64 = FindChildData(doc, "md5_64");
    d.history_md5_64 = FindChildData(doc, "history_md5_64");
    d.filesize = FindChildData(doc, "filesize");
  }
  return d;
}

ProductFileError ParseProductFile(const std::string& xml, bool is_64bit_os, ProductSettings* s) {
  CXmlDocument doc;
  if (!doc.SetDoc(xml))
    return ProductFileError::kParse;
  if (!doc.FindElem("Product"))
    return ProductFileError::kNoProduct;

  const Deployment& deployment = GetDeployment();
  s->product_skin = FindChildData(doc, "ProductSkin");
  s->product_brand = FindChildData(doc, "ProductBrand");
  s->product_name = FindChildData(doc, "ProductName");
  s->product_exe = FindChildData(doc, "ProductExe");
  s->product_arg = FindChildData(doc, "ProductArg");
  s->fold_bottom = FindChildData(doc, "FoldBottom", "1");
  s->product_install_arg = FindChildData(doc, "ProductInstallArg");
  s->product_ins_cmple = FindChildData(doc, "ProductInsCmple");
  s->custom_install_path = FindChildData(doc, "CustomInstallPath");
  s->is_allow_install_admin_path = FindChildData(doc, "IsAllowInstallAdminPath");
  s->server_host = FindChildData(doc, "ServerHost", deployment.platform_host);
  if (s->server_host.empty() || s->server_host.back() != '/')
    s->server_host += "/";
  s->product_id = FindChildData(doc, "ProductID");
  s->app_id = FindChildData(doc, "AppID");
  s->channel = FindChildData(doc, "Channel");
  ReadGroup(doc, "Downurl", "OnlyUseLocalUrl", &s->down_only_use_local_url, "Url_Down",
            &s->url_down);
  if (is_64bit_os) {
    ReadGroup(doc, "Downurl_x64", "OnlyUseLocalUrl", &s->down_x64_only_use_local_url, "Url_Down",
              &s->url_down_x64);
  }
  s->install_time = FindChildData(doc, "InstallTime");
  ReadGroup(doc, "Installurl", "OnlyUseLocalUrl", &s->install_only_use_local_url, "Url_Install",
            &s->url_install);
  s->url_license = FindChildData(doc, "Url_License");
  if (s->url_license.empty())
    s->url_license = deployment.license_url;
  s->user_agreement_url = FindChildData(doc, "UserAgreementUrl");
  s->privacy_agreement_url = FindChildData(doc, "PrivacyAgreementUrl");
  s->languages = FindChildData(doc, "Languages");
  s->dotnet_min_ver = FindChildData(doc, "Dotnetminver");
  s->dotnet_url = FindChildData(doc, "Dotneturl");
  s->agree_user_license = FindChildData(doc, "AgreeUserLicense");
  s->startup_product = FindChildData(doc, "StartupProduct");
  s->url_jump = FindChildData(doc, "Url_Jump");
  s->install_error_url = FindChildData(doc, "InstallErrorUrl");
  s->not_support_win32 = FindChildData(doc, "NotSupportWin32");
  ReadDependents(doc, &s->dependents);
  return ProductFileError::kNone;
}

bool LoadLocalXml(ProductSettings* settings) {
  LOG_INFO("[INFO] %d - LoadLocalXml");
  std::string xml;
  if (!platform::LoadResource("XML", platform::kResProductXml, &xml)) {
    LOG_ERROR("[ERROR] %d - LoadLocalXml, find failed!");
    return false;
  }
  if (xml.empty()) {
    LOG_ERROR("[ERROR] %d - LoadLocalXml, size error!");
    return false;
  }
  switch (ParseProductFile(xml, Is64BitOs(), settings)) {
    case ProductFileError::kNone:
      break;
    case ProductFileError::kParse:
      LOG_ERROR("[ERROR] %d - LoadLocalXml err 3");
      return false;
    default:
      LOG_ERROR("[ERROR] %d - LoadLocalXml, not find product.");
      return false;
  }
  SetTrackServerHost(settings->server_host);

  settings->config_folder = ChooseConfigFolder(settings->product_brand);
  LOG_INFO("[INFO] %d - config folder=[%s].", settings->config_folder.c_str());
  if (!CreateFolderTree(settings->config_folder)) {
    LOG_ERROR("[ERROR] %d - create folder=[%s] failed! err=[%d]", settings->config_folder.c_str(),
              errno);
  }
  settings->run_state_path =
      settings->config_folder + "TAV_DOWNTASK_" + settings->product_id + ".xml";

  for (const DependentProduct& d : settings->dependents) {
    SetDependentForced(std::atoi(d.product_id.c_str()), d.forced());
  }
  SetChannel(settings->product_id, settings->app_id, settings->channel);

  const std::string install_root = ComputeDefaultInstallRoot(*settings);
  if (!install_root.empty())
    settings->default_install_root = install_root;

  const std::string client_sign = GetClientSign(settings->product_brand);
  SetTrackString("product_id", settings->product_id);
  SetTrackString("client_sign", client_sign);
  SetTrackString("channel", settings->channel);
  SetTrackString("defchannel", GetDefaultChannel());
  PostProductSeries(settings->product_id, client_sign);
  return true;
}
