#include "config/product_settings.h"

#include "platform/resources.h"

namespace {

// Text of the first <name>...</name> in `xml`, "" when absent. Enough for
// the few values start-up needs until the product file is parsed in full.
std::string ElementText(const std::string& xml, const std::string& name) {
  const std::string open = "<" + name + ">";
  const std::string close = "</" + name + ">";
  std::string::size_type begin = xml.find(open);
  if (begin == std::string::npos)
    return {};
  begin += open.size();
  std::string::size_type end = xml.find(close, begin);
  return end == std::string::npos ? std::string() : xml.substr(begin, end - begin);
}

}  // namespace

bool LoadProductFile(ProductSettings* settings) {
  std::string xml;
  if (!platform::LoadResource("XML", platform::kResProductXml, &xml) || xml.empty())
    return false;
  if (xml.find("<Product") == std::string::npos)
    return false;
  settings->product_brand = ElementText(xml, "ProductBrand");
  settings->product_name = ElementText(xml, "ProductName");
  settings->product_id = ElementText(xml, "ProductID");
  return true;
}
