#include "api/engine.h"

#include <cstring>
#include <mutex>

namespace vardex {

namespace {
EngineState g_engine;
std::recursive_mutex g_engineMutex;

// The load-time entry: keep something that identifies this module, so that
// files beside the library (the self-extractor stub) can be found later.
__attribute__((constructor)) void OnLoad() { g_engine.moduleHandle = reinterpret_cast<void*>(&OnLoad); }
}  // namespace

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
