// Status, options, paths, password, level, descriptor and callback
// registration: the settings exports.  None fails; none touches the status
// code except SetArchiveStatus.
#include <cstring>

#include "api/engine.h"
#include "api/paths.h"

using namespace vardex;

extern "C" {

VARDEX_API uint16_t GetArchiveStatus(void) { return engine().status; }

VARDEX_API void SetArchiveStatus(uint16_t code) { engine().status = code; }

VARDEX_API void arOptionsOn(uint16_t mask) { engine().options |= mask; }

VARDEX_API void arOptionsOff(uint16_t mask) {
    engine().options &= static_cast<uint16_t>(~(mask & ~kOptionProtectMask));
}

VARDEX_API uint8_t arOptionsAreOn(uint16_t mask) { return (engine().options & mask) == mask ? 1 : 0; }

VARDEX_API void SetOutputPath(const char* path) { AddSeparator(path ? path : "", engine().outputPath); }

VARDEX_API void SetInputPath(const char* path) {
    char* out = engine().inputPath;
    size_t len = CopyText(out, kPathField, path);
    // A drive root ("C:\") is kept as it is; anything longer gets one
    // backslash, whatever it ends in.
    if (len > 3) out[len] = '\\', out[len + 1] = '\0';
}

VARDEX_API void SetRelativePath(const char* path) { CopyText(engine().relativePath, kPathField, path); }

VARDEX_API void SetCryptKey(const char* key) {
    EngineState& e = engine();
    if (!key || !*key) {
        e.passwordSet = 0;
        return;
    }
    e.passwordSet = 1;
    CopyText(e.password, sizeof e.password, key);
}

VARDEX_API int32_t SetPackLevel(int32_t level) { return engine().packLevel = level; }

VARDEX_API void GetVersionDesc(uint32_t* version) {
    if (version) *version = VX_INTERFACE_VERSION;
}

VARDEX_API void GetArcerDesc(uint32_t* desc) {
    if (desc) memcpy(desc, kDescriptorDefaults, sizeof kDescriptorDefaults);
}

VARDEX_API uint32_t GetArcerVerDesc(int32_t version, uint32_t* desc) {
    if (version != VX_INTERFACE_VERSION) return VX_BAD_DATA;
    GetArcerDesc(desc);
    return 0;
}

VARDEX_API void SetArcerStats(const uint32_t* desc) {
    if (!desc) return;
    for (int w = 6; w <= 9; ++w) engine().descriptor[w] = desc[w];
}

VARDEX_API uint32_t SetArcerVerStats(int32_t version, const uint32_t* desc) {
    if (version != VX_INTERFACE_VERSION) return VX_BAD_DATA;
    SetArcerStats(desc);
    return 0;
}

VARDEX_API void SetSetFileNameProc(uint32_t hostWord, SetFileNameProc proc) { engine().fileNameProc = {hostWord, proc}; }
VARDEX_API void SetSkipFileProc(uint32_t hostWord, SkipFileProc proc) { engine().skipFileProc = {hostWord, proc}; }
VARDEX_API void SetSetCryptKeyProc(uint32_t hostWord, SetCryptKeyProc proc) { engine().cryptKeyProc = {hostWord, proc}; }
VARDEX_API void SetSetProgressProc(uint32_t hostWord, SetProgressProc proc) { engine().progressProc = {hostWord, proc}; }
VARDEX_API void SetOkToReplaceProc(uint32_t hostWord, OkToReplaceProc proc) { engine().okToReplaceProc = {hostWord, proc}; }
VARDEX_API void SetGetNextDiskProc(uint32_t hostWord, GetNextDiskProc proc) { engine().nextDiskProc = {hostWord, proc}; }
VARDEX_API void SetSetSfxProgressProc(uint32_t hostWord, SetSfxProgressProc proc) {
    engine().sfxProgressProc = {hostWord, proc};
}

}  // extern "C"
