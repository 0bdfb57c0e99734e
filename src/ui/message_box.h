// Message boxes. Until the program has windows, a box is written to standard
// error and the log, and answered with OK. Any thread.
#pragma once

#include <string>

inline constexpr int kBoxInformation = 0;
inline constexpr int kBoxWarning = 1;
inline constexpr int kBoxError = 2;

inline constexpr int kBoxResultOk = 1;
inline constexpr int kBoxResultCancel = 2;
inline constexpr int kBoxResultClosed = 8;

int ShowMessageBox(int type, const std::string& title, const std::string& text,
                   const std::string& ok_text = {}, const std::string& cancel_text = {});
