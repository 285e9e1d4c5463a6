// Text for the Windows files of this project, which keep text in UTF-8 and hand the system UTF-16.
#pragma once

#include <string>

namespace platform {

// Both return an empty string for text that is not valid in its encoding, so a malformed name or
// argument can never turn into a valid one.
std::wstring to_wide(const std::string& utf8);
std::string to_utf8(const std::wstring& wide);

// What the system says of an error code (GetLastError's), as one line in UTF-8.
std::string system_message(unsigned long error);

}  // namespace platform
