// Modules and the temporary directory on POSIX: dlopen/dlsym/dlclose stand
// in for the Windows loader; paths handed back are engine paths.
#include <dlfcn.h>
#include <errno.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>

#include "platform/common.h"
#include "platform/platform.h"
#include "platform/posix_internal.h"

namespace vardex::platform {

using common::CopyWhole;

Module LoadLibraryA(const char* path) {
    if (!path || !*path) {
        posix::SetLastError(posix::kErrorFileNotFound);
        return nullptr;
    }
    Module m = ::dlopen(NativePath(path).c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!m) posix::SetLastError(126);  // ERROR_MOD_NOT_FOUND
    return m;
}

void* GetProcAddress(Module m, const char* name) {
    if (!m || !name) {
        posix::SetLastError(posix::kErrorInvalidHandle);
        return nullptr;
    }
    void* p = ::dlsym(m, name);
    if (!p) posix::SetLastError(127);  // ERROR_PROC_NOT_FOUND
    return p;
}

bool FreeLibrary(Module m) { return m && ::dlclose(m) == 0; }

uint32_t GetModuleFileNameA(const void* addressInModule, char* out, uint32_t outCap) {
    if (out && outCap) out[0] = '\0';
    // The loader names the main program as it was started (argv[0], perhaps
    // relative to a directory the process has since left); ask the kernel.
    Dl_info info{};
    const bool found = addressInModule && ::dladdr(addressInModule, &info) != 0 && info.dli_fname;
    if (!addressInModule || (found && info.dli_fname[0] != '/' && !strcmp(info.dli_fname, program_invocation_name))) {
        // As on Windows, no module means the running program itself.
        char self[PATH_MAX];
        ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
        if (n <= 0) {
            posix::SetLastError(126);
            return 0;
        }
        self[n] = '\0';
        return CopyWhole(EnginePath(self), out, outCap);
    }
    if (!found || !*info.dli_fname) {
        posix::SetLastError(126);
        return 0;
    }
    // The loader may report the name as it was given; make it absolute.
    char resolved[PATH_MAX];
    const char* name = ::realpath(info.dli_fname, resolved) ? resolved : info.dli_fname;
    return CopyWhole(EnginePath(name), out, outCap);
}

uint32_t GetTempPathA(uint32_t outCap, char* out) {
    if (out && outCap) out[0] = '\0';
    const char* dir = ::getenv("TMPDIR");
    std::string path = EnginePath(dir && *dir ? dir : "/tmp");
    if (path.back() != '\\') path += '\\';
    return CopyWhole(path, out, outCap);
}

}  // namespace vardex::platform
