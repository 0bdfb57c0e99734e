#include "ui/message_box.h"

#include <cstdio>

#include "app/simple_log.h"

int ShowMessageBox(int type, const std::string& title, const std::string& text,
                   const std::string& /*ok_text*/, const std::string& /*cancel_text*/) {
  std::fprintf(stderr, "%s: %s\n", title.c_str(), text.c_str());
  LOG_INFO("[INFO] %d - message box type=[%d] title=[%s] text=[%s]", type, title.c_str(),
           text.c_str());
  return kBoxResultOk;
}
