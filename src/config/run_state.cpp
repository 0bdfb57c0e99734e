#include "config/run_state.h"

#include <cstdio>

#include "app/simple_log.h"
#include "support/xml_document.h"

namespace {

constexpr char kDeclaration[] = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";

// The children in the order they are written.
struct Field {
  const char* name;
  std::string RunState::*value;
};
constexpr Field kFields[] = {
    {"Status", &RunState::status},
    {"JoinExp", &RunState::join_exp},
    {"SelectLang", &RunState::select_lang},
    {"InstallPath", &RunState::install_path},
    {"AgreeExtInstall", &RunState::agree_ext_install},
    {"TmpPackagePath", &RunState::tmp_package_path},
};

// Leading decimal digits as a number; 0 when there are none.
long LeadingNumber(const std::string& text) {
  long value = 0;
  for (char c : text) {
    if (c < '0' || c > '9')
      break;
    value = value * 10 + (c - '0');
    if (value > 1000000)
      break;  // far past 1: the answer cannot change
  }
  return value;
}

}  // namespace

void ReadRunState(const std::string& path, RunState* state) {
  if (path.empty())
    return;
  LOG_INFO("[INFO] %d - ReadRunConfig");
  CXmlDocument doc;
  std::string text;
  if (doc.ReadTextFile(path, &text) && doc.SetDoc(text) && doc.FindElem("config")) {
    for (const Field& field : kFields) {
      doc.ResetChildPos();
      if (doc.FindChildElem(field.name))
        state->*field.value = doc.GetChildData();
    }
  }
  state->resume = LeadingNumber(state->status) == 1;
}

std::string RunStateText(const RunState& state) {
  CXmlDocument doc;
  doc.SetDoc(kDeclaration);
  doc.AddElem("config");
  doc.IntoElem();
  for (const Field& field : kFields)
    doc.AddElem(field.name, state.*field.value);
  doc.OutOfElem();
  return doc.GetDoc();
}

void WriteRunState(const std::string& path, const RunState& state, bool fork_run) {
  if (fork_run || path.empty())
    return;
  LOG_INFO("[INFO] %d - WriteRunConfig");
  CXmlDocument doc;
  doc.WriteTextFile(path, RunStateText(state));
}

void DeleteRunState(const std::string& path, RunState* state, bool fork_run) {
  state->resume = false;
  if (fork_run || path.empty())
    return;
  std::remove(path.c_str());
}
