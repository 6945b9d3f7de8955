#include "api/engine.h"

#include <cstddef>
#include <cstring>
#include <mutex>

namespace vardex {

namespace {
EngineState g_engine;
std::recursive_mutex g_engineMutex;

#ifndef _WIN32
// The load-time entry: keep something that identifies this module, so that
// files beside the library (the self-extractor stub) can be found later.
__attribute__((constructor)) void OnLoad() { g_engine.moduleHandle = reinterpret_cast<void*>(&OnLoad); }
#endif
}  // namespace

#ifdef _WIN32
// The records hosts share with the library keep their 32-bit layout.
#ifndef _WIN64
static_assert(sizeof(ZipFileEntry) == 311 && offsetof(ZipFileEntry, name) == 46, "ZipFileEntry layout");
static_assert(sizeof(ZipFileList) == 10, "ZipFileList layout");
static_assert(sizeof(FileMask) == 520 && sizeof(FileMaskList) == 8, "FileMask layout");
#endif
static_assert(sizeof(SfxDesc) == 2076 && offsetof(SfxDesc, text1) == 788 && offsetof(SfxDesc, text2) == 1044,
              "SfxDesc layout");
static_assert(sizeof(WIN32_FIND_DATAA) == 320 && offsetof(WIN32_FIND_DATAA, cFileName) == 44,
              "WIN32_FIND_DATAA layout");
#endif

}  // namespace vardex

#ifdef _WIN32
// The load-time entry: the module handle identifies this library, so that
// files beside it (the self-extractor stub) can be found later.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID /*reserved*/) {
    if (reason == DLL_PROCESS_ATTACH) vardex::engine().moduleHandle = instance;
    return TRUE;
}
#endif

namespace vardex {

EngineState& engine() { return g_engine; }

EngineLock::EngineLock() { g_engineMutex.lock(); }
EngineLock::~EngineLock() { g_engineMutex.unlock(); }

void ResetDescriptor() { memcpy(g_engine.descriptor, kDescriptorDefaults, sizeof kDescriptorDefaults); }

void ResetForInit() {
    EngineState& e = g_engine;
    e.status = 0;
    e.passwordSet = 0;
    e.packLevel = 0;
    ResetDescriptor();
    memset(e.relativePath, 0, sizeof e.relativePath);
    e.fileNameProc = {};
    e.skipFileProc = {};
    e.cryptKeyProc = {};
    e.progressProc = {};
    e.okToReplaceProc = {};
    e.nextDiskProc = {};
    e.sfxProgressProc = {};
}

}  // namespace vardex
