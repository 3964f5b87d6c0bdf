// Text as the Windows API takes and gives it: names in UTF-16, and the
// system's own words for an error. The program itself works in UTF-8.
#pragma once

#include <string>

namespace pluck {

// `text` (UTF-8) in UTF-16.
std::wstring wide_text(const std::string& text);

// `text` (UTF-16) in UTF-8.
std::string utf8_text(const std::wstring& text);

// The full path of the file `path` (UTF-8, relative to the current folder
// or not) names, in the form that lifts the 260-character limit on paths;
// a device name (NUL, CON, COM1) stays the device.
std::wstring full_wide_path(const std::string& path);

// The system's message for an error code from GetLastError(), on one line,
// without its closing full stop.
std::string system_error_text(unsigned long code);

}  // namespace pluck
