// The Vx extensions: version, status words and testing without writing.
#include "vardex32x.h"

#include <algorithm>

#include "api/engine.h"
#include "extract/extract.h"
#include "update/ahead.h"

#ifndef VARDEX_VERSION_TEXT
#define VARDEX_VERSION_TEXT "0.0.0"
#endif

using namespace vardex;

namespace {

struct StatusEntry {
    uint16_t code;
    const char* text;
};

// Every status code of the public headers, once.
constexpr StatusEntry kStatusTexts[] = {
    {VX_OK, "success"},
    {VX_STUB_NOT_FOUND, "self-extractor stub library KORVAL32.KVL not found"},
    {VX_FILE_ERROR, "file error (a file cannot be opened, created, read, positioned or written)"},
    {VX_OUT_OF_MEMORY, "out of memory"},
    {VX_SHORT_WRITE, "short write (is the disk full?)"},
    {VX_STUB_ENTRY_MISSING, "the self-extractor stub library lacks an entry point"},
    {VX_CANCELLED, "cancelled"},
    {VX_CANNOT_DECRYPT, "cannot decrypt an encrypted entry (no password or a wrong one)"},
    {VX_CRC_MISMATCH, "CRC-32 mismatch: the extracted data is damaged"},
    {VX_CANNOT_CREATE, "cannot create: the file exists already (or no temporary directory)"},
    {VX_BAD_DATA, "bad data (damaged central directory or compressed data)"},
    {VX_NOT_AN_ARCHIVE, "not a ZIP archive (no end of central directory record)"},
    {VX_NOTHING_SELECTED, "nothing selected (no entry matches)"},
    {VX_UNSUPPORTED_ENTRY, "unsupported entry (needs a later ZIP version or an unknown method)"},
    {VX_CANNOT_CREATE_OUTPUT, "cannot create an output file"},
    {VX_STUB_FAILURE, "the self-extractor stub failed"},
    {VxTooManyEntries, "too many files: an archive holds at most 65,535 entries (nothing was changed)"},
};

}  // namespace

extern "C" {

VARDEX_API const char* VARDEX_CALL VxVersion(void) { return VARDEX_VERSION_TEXT; }

VARDEX_API const char* VARDEX_CALL VxStatusText(uint16_t status) {
    for (const StatusEntry& e : kStatusTexts)
        if (e.code == status) return e.text;
    return "unknown status";
}

VARDEX_API uint32_t VARDEX_CALL VxSetThreadCount(uint32_t threads) {
    const EngineLock lock;
    engine().threads = std::clamp<uint32_t>(threads, 1, kMaxThreads);
    return engine().threads;
}

VARDEX_API void VARDEX_CALL VxTestFileMaskListZip(FileMaskList* masks) {
    const EngineLock lock;
    CheckEntries(masks);
}

}  // extern "C"
