// The product settings: the values of the product file built into the
// program (resource XML 106), with the dependent products it names. Held by
// the controller for the whole run; written once at start-up on the main
// thread (the runtime description later overrides some values), read from
// any thread afterwards.
#pragma once

#include <string>
#include <vector>

struct DependentProduct {
  std::string product_id;
  std::string product_name;
  std::string product_exe;
  std::string product_arg;
  std::string product_install_arg;
  std::string product_ins_cmple;
  std::string url_down;
  std::string url_downx64;
  std::string force_install = "true";  // "true": its failures stop the workflow
  std::string md5;
  std::string history_md5_32;
  std::string md5_64;
  std::string history_md5_64;
  std::string filesize;
  std::string fork_install;  // "1": installed by the fork run

  bool forced() const { return force_install == "true"; }
  // Kept only with an id and at least one download address.
  bool usable() const { return !product_id.empty() && (!url_down.empty() || !url_downx64.empty()); }
};

struct ProductSettings {
  std::string product_skin;
  std::string product_brand;
  std::string product_name;
  std::string product_exe;
  std::string product_arg;
  std::string fold_bottom = "1";
  std::string product_install_arg;
  std::string product_ins_cmple;
  std::string custom_install_path;
  std::string is_allow_install_admin_path;
  std::string server_host;  // ends in "/"
  std::string product_id;
  std::string app_id;
  std::string channel;
  std::string down_only_use_local_url;
  std::string url_down;
  std::string down_x64_only_use_local_url;
  std::string url_down_x64;
  std::string install_time;
  std::string install_only_use_local_url;
  std::string url_install;
  std::string url_license;
  std::string user_agreement_url;
  std::string privacy_agreement_url;
  std::string languages;
  std::string dotnet_min_ver;
  std::string dotnet_url;
  std::string agree_user_license;
  std::string startup_product;
  std::string url_jump;
  std::string install_error_url;
  std::string not_support_win32;

  std::string config_folder;   // ends in "/"
  std::string run_state_path;  // <config folder>TAV_DOWNTASK_<product id>.xml
  std::vector<DependentProduct> dependents;
  std::string default_install_root;  // from the install-folder rules when they give one
};

class CXmlDocument;

// Reads the dependent item that is main of `doc`. The product file supplies
// the fields it names; a server's bind item (`with_server_fields`) also
// supplies the MD5 values and the size.
DependentProduct ReadDependentItem(CXmlDocument& doc, bool with_server_fields);

// Why the product file could not be loaded.
enum class ProductFileError { kNone, kNotFound, kSize, kParse, kNoProduct };

// Parses product-file text into `settings` (values and dependents only: no
// folders, registry or tracking). `is_64bit_os` selects whether the 64-bit
// download group is read.
ProductFileError ParseProductFile(const std::string& xml, bool is_64bit_os,
                                  ProductSettings* settings);

// Loads the built-in product file: parses it, chooses the configuration
// folder, registers the channel, sets the tracking values and posts the
// product series. False (with its log line) only when the file is missing,
// empty, malformed or not rooted at "Product".
bool LoadLocalXml(ProductSettings* settings);
