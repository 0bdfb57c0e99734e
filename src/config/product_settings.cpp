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

// Text of the child `name` of main, or `fallback` when there is none. An
// element that is present counts even when empty.
std::string ChildText(CXmlDocument& doc, const char* name, const std::string& fallback = {}) {
  doc.ResetChildPos();
  return doc.FindChildElem(name) ? doc.GetChildData() : fallback;
}

// Reads the two children of the group `group` under main.
void ReadGroup(CXmlDocument& doc, const char* group, const char* first, std::string* first_value,
               const char* second, std::string* second_value) {
  doc.ResetChildPos();
  if (!doc.FindChildElem(group))
    return;
  doc.IntoElem();
  *first_value = ChildText(doc, first, *first_value);
  *second_value = ChildText(doc, second, *second_value);
  doc.OutOfElem();
}

void ReadDependents(CXmlDocument& doc, std::vector<DependentProduct>* dependents) {
  doc.ResetChildPos();
  if (!doc.FindChildElem("Dependent"))
    return;
  doc.IntoElem();
  while (doc.FindChildElem("item")) {
    doc.IntoElem();
    DependentProduct d;
    d.product_id = ChildText(doc, "ProductID");
    d.product_name = ChildText(doc, "ProductName");
    d.product_exe = ChildText(doc, "ProductExe");
    d.product_arg = ChildText(doc, "ProductArg");
    d.product_install_arg = ChildText(doc, "ProductInstallArg");
    d.product_ins_cmple = ChildText(doc, "ProductInsCmple");
    d.url_down = ChildText(doc, "Url_Down");
    d.url_downx64 = ChildText(doc, "Url_Downx64");
    d.force_install = ChildText(doc, "ForceInstall", "true");
    d.fork_install = ChildText(doc, "ForkInstall");
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

ProductFileError ParseProductFile(const std::string& xml, bool is_64bit_os, ProductSettings* s) {
  CXmlDocument doc;
  if (!doc.SetDoc(xml))
    return ProductFileError::kParse;
  if (!doc.FindElem("Product"))
    return ProductFileError::kNoProduct;

  const Deployment& deployment = GetDeployment();
  s->product_skin = ChildText(doc, "ProductSkin");
  s->product_brand = ChildText(doc, "ProductBrand");
  s->product_name = ChildText(doc, "ProductName");
  s->product_exe = ChildText(doc, "ProductExe");
  s->product_arg = ChildText(doc, "ProductArg");
  s->fold_bottom = ChildText(doc, "FoldBottom", "1");
  s->product_install_arg = ChildText(doc, "ProductInstallArg");
  s->product_ins_cmple = ChildText(doc, "ProductInsCmple");
  s->custom_install_path = ChildText(doc, "CustomInstallPath");
  s->is_allow_install_admin_path = ChildText(doc, "IsAllowInstallAdminPath");
  s->server_host = ChildText(doc, "ServerHost", deployment.platform_host);
  if (s->server_host.empty() || s->server_host.back() != '/')
    s->server_host += "/";
  s->product_id = ChildText(doc, "ProductID");
  s->app_id = ChildText(doc, "AppID");
  s->channel = ChildText(doc, "Channel");
  ReadGroup(doc, "Downurl", "OnlyUseLocalUrl", &s->down_only_use_local_url, "Url_Down",
            &s->url_down);
  if (is_64bit_os) {
    ReadGroup(doc, "Downurl_x64", "OnlyUseLocalUrl", &s->down_x64_only_use_local_url, "Url_Down",
              &s->url_down_x64);
  }
  s->install_time = ChildText(doc, "InstallTime");
  ReadGroup(doc, "Installurl", "OnlyUseLocalUrl", &s->install_only_use_local_url, "Url_Install",
            &s->url_install);
  s->url_license = ChildText(doc, "Url_License");
  if (s->url_license.empty())
    s->url_license = deployment.license_url;
  s->user_agreement_url = ChildText(doc, "UserAgreementUrl");
  s->privacy_agreement_url = ChildText(doc, "PrivacyAgreementUrl");
  s->languages = ChildText(doc, "Languages");
  s->dotnet_min_ver = ChildText(doc, "Dotnetminver");
  s->dotnet_url = ChildText(doc, "Dotneturl");
  s->agree_user_license = ChildText(doc, "AgreeUserLicense");
  s->startup_product = ChildText(doc, "StartupProduct");
  s->url_jump = ChildText(doc, "Url_Jump");
  s->install_error_url = ChildText(doc, "InstallErrorUrl");
  s->not_support_win32 = ChildText(doc, "NotSupportWin32");
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
