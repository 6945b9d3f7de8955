// The engine state: the one process-wide state of the library.
//
// Everything the design keeps between and during calls lives in this one
// struct, reached through engine(): status, options, paths, password,
// descriptor, callbacks, the open archive, the rewrite in progress and the
// cipher.  Operations read and write it explicitly; no other file keeps
// hidden globals of engine state (codecs keep only their own working memory,
// and an extraction pass its own streams).
#pragma once

#include <cstdint>

#include "archive/records.h"
#include "common/text.h"
#include "crypt/crypt.h"
#include "vardex32.h"

namespace vardex {

// Fixed text fields: 255 bytes of text, room for an appended separator and
// the terminator.
constexpr size_t kPathField = 260;

constexpr uint16_t kOptionProtectMask = arKeepExtraFields;
constexpr uint32_t kDescriptorDefaults[VX_ARCERDESC_WORDS] = {1023, 20, 1, 32, 32, 1, 20, 32, 0, 1};

template <typename Proc>
struct Callback {
    uint32_t hostWord = 0;
    Proc proc = nullptr;
    explicit operator bool() const { return proc != nullptr; }
};

struct ArchiveState {
    int handle = -1;  // -1: no archive held
    char path[kPathField] = {};
    bool newArchive = false;       // set by CreateZipFile
    bool updateCommitted = false;  // an update has committed since CreateZipFile
    EndRecord end;
    uint8_t* comment = nullptr;     // end.commentLength bytes, heap
    int64_t cachedEndPos = -1;      // position just behind the end signature
    uint32_t firstEntryOffset = 0;  // bytes in front of the first local header
};

class Rewrite;

// The rewrite in progress, reached by the writers under it.
struct RewriteState {
    Rewrite* active = nullptr;  // archive/rewrite.h
    uint64_t writtenCount = 0;  // bytes written since the current entry's data began
};

// The overwrite check extraction calls; filled by the first InitZipFile.
using OverwriteCheckFn = int (*)(const ZipFileEntry& entry, const char* outputPath, int dirFd, const char* leaf);

struct EngineState {
    uint16_t status = 0;
    uint16_t options = arDefaultOptions;

    char outputPath[kPathField] = {};
    char inputPath[kPathField] = {};
    char relativePath[kPathField] = {};

    char password[kTextField] = {};  // the buffer SetCryptKeyProc may fill
    uint32_t passwordSet = 0;

    int32_t packLevel = 0;
    uint32_t threads = 1;  // threads an update compresses on (VxSetThreadCount)
    uint32_t descriptor[VX_ARCERDESC_WORDS] = {kDescriptorDefaults[0], kDescriptorDefaults[1], kDescriptorDefaults[2],
                                               kDescriptorDefaults[3], kDescriptorDefaults[4], kDescriptorDefaults[5],
                                               kDescriptorDefaults[6], kDescriptorDefaults[7], kDescriptorDefaults[8],
                                               kDescriptorDefaults[9]};
    static_assert(VX_ARCERDESC_WORDS == 10, "every descriptor word starts at its default");

    Callback<SetFileNameProc> fileNameProc;
    Callback<SkipFileProc> skipFileProc;
    Callback<SetCryptKeyProc> cryptKeyProc;
    Callback<SetProgressProc> progressProc;
    Callback<OkToReplaceProc> okToReplaceProc;
    Callback<GetNextDiskProc> nextDiskProc;
    Callback<SetSfxProgressProc> sfxProgressProc;

    void* moduleHandle = nullptr;
    OverwriteCheckFn overwriteCheck = nullptr;

    ArchiveState archive;
    RewriteState rewrite;
    CipherState cipher;  // the keys an update encrypts the entry being written with
};

EngineState& engine();

// Held by every exported call for its whole length: calls from several
// threads run one after another, and the thread that holds it may enter
// again (a callback calling back into the library).
class EngineLock {
public:
    EngineLock();
    ~EngineLock();
    EngineLock(const EngineLock&) = delete;
    EngineLock& operator=(const EngineLock&) = delete;
};

inline uint16_t Status() { return engine().status; }
// Sets the status and hands the code back, so a failure sets and returns in one step.
inline uint16_t SetStatus(uint16_t code) {
    engine().status = code;
    return code;
}
inline bool OptionsOn(uint16_t mask) { return (engine().options & mask) == mask; }

// Resets the fields InitZipFile resets: status, password flag, pack level,
// descriptor, base path and all callback registrations.
void ResetForInit();
// Restores the ten descriptor defaults.
void ResetDescriptor();

}  // namespace vardex
