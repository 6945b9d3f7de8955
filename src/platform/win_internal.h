// Helpers shared by the Windows files of the platform layer (not used above it).
#pragma once

#include <string>

#include "platform/platform.h"

namespace vardex::platform::win {

// An engine path (ANSI code page, '\' or '/') as the wide path the file
// system gets: separators made '\', and a component that stands for a name
// the code page cannot hold replaced by its true form (see SetTrueName).
std::wstring WidePath(const char* enginePath);

// Wide text (a name found on disk, a module path) -> ANSI engine form.
std::string Narrow(const wchar_t* text);

// Keeps the C runtime's errno as the nearest Windows error code, for the
// layer's GetLastError.
void SetLastErrorFromErrno();

}  // namespace vardex::platform::win
