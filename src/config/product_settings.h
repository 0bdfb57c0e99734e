// The product settings: the values of the product file built into the
// program. Held by the controller for the whole run; written once at
// start-up (main thread), read from any thread afterwards.
#pragma once

#include <string>

struct ProductSettings {
  std::string product_brand;
  std::string product_name;
  std::string product_id;
};

// Loads the built-in product file (resource XML 106) into `settings`. False
// when it is missing, empty or unreadable.
bool LoadProductFile(ProductSettings* settings);
