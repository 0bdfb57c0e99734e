#include <string>
#include <vector>

#include "app/startup.h"

int main(int argc, char** argv) {
  return TavMain(std::vector<std::string>(argv + 1, argv + argc));
}
