// Modules and the temporary directory on Windows: the system loader, with
// paths handed back in the engine's (ANSI) form.
#include <cstring>
#include <string>

#include "platform/common.h"
#include "platform/platform.h"
#include "platform/win_internal.h"

namespace vardex::platform {

using common::CopyWhole;

Module LoadLibraryA(const char* path) {
    if (!path || !*path) {
        ::SetLastError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<Module>(::LoadLibraryW(win::WidePath(path).c_str()));
}

void* GetProcAddress(Module m, const char* name) {
    if (!m || !name) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(m), name));
}

bool FreeLibrary(Module m) { return m && ::FreeLibrary(static_cast<HMODULE>(m)) != FALSE; }

uint32_t GetModuleFileNameA(const void* addressInModule, char* out, uint32_t outCap) {
    if (out && outCap) out[0] = '\0';
    HMODULE module = nullptr;  // null: the running program
    if (addressInModule &&
        !::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                              static_cast<LPCWSTR>(addressInModule), &module))
        return 0;
    wchar_t wide[MAX_PATH * 4];
    const DWORD n = ::GetModuleFileNameW(module, wide, sizeof wide / sizeof wide[0]);
    if (n == 0 || n >= sizeof wide / sizeof wide[0]) return 0;
    return CopyWhole(win::Narrow(wide), out, outCap);
}

uint32_t GetTempPathA(uint32_t outCap, char* out) {
    if (out && outCap) out[0] = '\0';
    wchar_t wide[MAX_PATH + 1];
    const DWORD n = ::GetTempPathW(sizeof wide / sizeof wide[0], wide);
    if (n == 0 || n > MAX_PATH) return 0;
    std::string path = win::Narrow(wide);
    if (path.empty()) return 0;
    if (path.back() != '\\') path += '\\';
    return CopyWhole(path, out, outCap);
}

}  // namespace vardex::platform
