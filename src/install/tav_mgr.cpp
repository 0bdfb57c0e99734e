#include "install/tav_mgr.h"

#include "platform/paths.h"

namespace {
TavMgr g_tav_mgr;
}  // namespace

TavMgr& TavMgr::Get() {
  return g_tav_mgr;
}

bool TavMgr::LoadLocalXml() {
  if (!LoadProductFile(&settings))
    return false;
  const std::string brand = settings.product_brand.empty() ? "Veltrana" : settings.product_brand;
  run_state_path = platform::GetSpecialFolder(platform::SpecialFolder::kCommonDocuments) + "/" +
                   brand + "/TAV_DOWNTASK_" + settings.product_id + ".xml";
  return true;
}
