// Helpers shared by the Windows files of the platform layer (not used above it).
#pragma once

#include <string>

#include "platform/platform.h"

namespace vardex::platform {

// Code-page helpers of the Windows layer.  The working form is the ANSI code
// page, where a character may take two bytes (DBCS).
// UTF-8 bytes -> working form; characters the code page lacks become '?'.
size_t Utf8ToChar(const uint8_t* in, size_t inLen, char* out, size_t outCap);
// One output path component in a form created as a plain file (a device
// name or a ':' gets a '_'); writes at most len + 1 bytes, returns the length.
size_t SafeComponent(const char* name, size_t len, char* out);

}  // namespace vardex::platform

namespace vardex::platform::win {

// An engine path (ANSI code page, '\' or '/') as the wide path the file
// system gets: separators made '\', and a component that stands for a name
// the code page cannot hold replaced by its true form (see SetTrueName).
std::wstring WidePath(const char* enginePath);

// Wide text (a name found on disk, a module path) -> ANSI engine form.
std::string Narrow(const wchar_t* text);

// What a wide search found, in the form the host sees: the ANSI names, each
// cut whole characters at a time to its field.
void FindDataFromWide(const WIN32_FIND_DATAW& wide, WIN32_FIND_DATAA* data);

// Keeps the C runtime's errno as the nearest Windows error code, for the
// layer's GetLastError.
void SetLastErrorFromErrno();

}  // namespace vardex::platform::win
