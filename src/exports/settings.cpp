// Status, options, paths, password, level, descriptor and callback
// registration: the settings exports.  None fails; none touches the status
// code except SetArchiveStatus.
#include <cstring>

#include "api/engine.h"
#include "api/paths.h"

using namespace vardex;

namespace {

// Every callback registration: the host word and the function are kept together.
template <typename Proc>
void Register(Callback<Proc> EngineState::*slot, uint32_t hostWord, Proc proc) {
    const EngineLock lock;
    engine().*slot = {hostWord, proc};
}

}  // namespace

extern "C" {

VARDEX_API uint16_t VARDEX_CALL GetArchiveStatus(void) {
    const EngineLock lock;
    return engine().status;
}

VARDEX_API void VARDEX_CALL SetArchiveStatus(uint16_t code) {
    const EngineLock lock;
    engine().status = code;
}

VARDEX_API void VARDEX_CALL arOptionsOn(uint16_t mask) {
    const EngineLock lock;
    engine().options |= mask;
}

VARDEX_API void VARDEX_CALL arOptionsOff(uint16_t mask) {
    const EngineLock lock;
    engine().options &= static_cast<uint16_t>(~(mask & ~kOptionProtectMask));
}

VARDEX_API uint8_t VARDEX_CALL arOptionsAreOn(uint16_t mask) {
    const EngineLock lock;
    return (engine().options & mask) == mask ? 1 : 0;
}

VARDEX_API void VARDEX_CALL SetOutputPath(const char* path) {
    const EngineLock lock;
    AddSeparator(path ? path : "", engine().outputPath);
}

VARDEX_API void VARDEX_CALL SetInputPath(const char* path) {
    const EngineLock lock;
    char* out = engine().inputPath;
    size_t len = CopyText(out, kPathField, path);
    // A drive root ("C:\") is kept as it is; anything longer gets one
    // backslash, whatever it ends in.
    if (len > 3) out[len] = '\\', out[len + 1] = '\0';
}

VARDEX_API void VARDEX_CALL SetRelativePath(const char* path) {
    const EngineLock lock;
    CopyText(engine().relativePath, kPathField, path);
}

VARDEX_API void VARDEX_CALL SetCryptKey(const char* key) {
    const EngineLock lock;
    EngineState& e = engine();
    if (!key || !*key) {
        e.passwordSet = 0;
        return;
    }
    e.passwordSet = 1;
    CopyText(e.password, sizeof e.password, key);
}

VARDEX_API int32_t VARDEX_CALL SetPackLevel(int32_t level) {
    const EngineLock lock;
    return engine().packLevel = level;
}

VARDEX_API void VARDEX_CALL GetVersionDesc(uint32_t* version) {
    const EngineLock lock;
    if (version) *version = VX_INTERFACE_VERSION;
}

VARDEX_API void VARDEX_CALL GetArcerDesc(uint32_t* desc) {
    const EngineLock lock;
    if (desc) memcpy(desc, kDescriptorDefaults, sizeof kDescriptorDefaults);
}

VARDEX_API uint32_t VARDEX_CALL GetArcerVerDesc(int32_t version, uint32_t* desc) {
    const EngineLock lock;
    if (version != VX_INTERFACE_VERSION) return VX_BAD_DATA;
    GetArcerDesc(desc);
    return 0;
}

VARDEX_API void VARDEX_CALL SetArcerStats(const uint32_t* desc) {
    const EngineLock lock;
    if (!desc) return;
    for (int w = 6; w <= 9; ++w) engine().descriptor[w] = desc[w];
}

VARDEX_API uint32_t VARDEX_CALL SetArcerVerStats(int32_t version, const uint32_t* desc) {
    const EngineLock lock;
    if (version != VX_INTERFACE_VERSION) return VX_BAD_DATA;
    SetArcerStats(desc);
    return 0;
}

VARDEX_API void VARDEX_CALL SetSetFileNameProc(uint32_t hostWord, SetFileNameProc proc) {
    Register(&EngineState::fileNameProc, hostWord, proc);
}
VARDEX_API void VARDEX_CALL SetSkipFileProc(uint32_t hostWord, SkipFileProc proc) {
    Register(&EngineState::skipFileProc, hostWord, proc);
}
VARDEX_API void VARDEX_CALL SetSetCryptKeyProc(uint32_t hostWord, SetCryptKeyProc proc) {
    Register(&EngineState::cryptKeyProc, hostWord, proc);
}
VARDEX_API void VARDEX_CALL SetSetProgressProc(uint32_t hostWord, SetProgressProc proc) {
    Register(&EngineState::progressProc, hostWord, proc);
}
VARDEX_API void VARDEX_CALL SetOkToReplaceProc(uint32_t hostWord, OkToReplaceProc proc) {
    Register(&EngineState::okToReplaceProc, hostWord, proc);
}
VARDEX_API void VARDEX_CALL SetGetNextDiskProc(uint32_t hostWord, GetNextDiskProc proc) {
    Register(&EngineState::nextDiskProc, hostWord, proc);
}
VARDEX_API void VARDEX_CALL SetSetSfxProgressProc(uint32_t hostWord, SetSfxProgressProc proc) {
    Register(&EngineState::sfxProgressProc, hostWord, proc);
}

}  // extern "C"
