// KORVAL32.KVL: the self-extractor stub library.  It writes the head (the
// runnable extractor program followed by its configuration) and cuts a
// finished self-extracting archive into volumes.
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "archive/records.h"
#include "common/crc32.h"
#include "platform/platform.h"
#include "sfx/blocks.h"
#include "vardex32.h"

namespace plat = vardex::platform;
namespace sfx = vardex::sfx;

// The head program, embedded at build time.
extern "C" const uint8_t korval_head_start[];
extern "C" const uint8_t korval_head_end[];

namespace {

struct Registrations {
    uint32_t nextDiskWord = 0;
    GetNextDiskProc nextDisk = nullptr;
    uint32_t replaceWord = 0;
    OkToReplaceProc replace = nullptr;
    uint32_t progressWord = 0;
    SetSfxProgressProc progress = nullptr;
};
Registrations g_reg;

bool WriteAll(int fd, const void* data, size_t n) {
    return plat::FileWrite(fd, data, static_cast<uint32_t>(n)) == static_cast<int32_t>(n);
}

// Writes program, banner, configuration blocks (plain) and, for a split set,
// the trailer.  Returns 1 when done, 0 when the file cannot be written.
int32_t WriteHead(const char* path, bool secondForm, uint32_t flags, int32_t form, int32_t volumeChoice, bool split,
                  const char* defaultDir, const char* title, const char* message) {
    std::vector<uint8_t> blocks(sfx::kBlocksSize);
    uint8_t* a = blocks.data();
    uint8_t* b = a + sfx::kBlockASize;
    uint8_t* c = b + sfx::kBlockBSize;
    sfx::Fill(a, sfx::kBlocksSize, 0x5EED0001u);
    memcpy(a, secondForm ? sfx::kMagicSecond : sfx::kMagicFirst, 8);
    vardex::PutLe32(a + sfx::kFlagsAt, flags);
    vardex::PutLe32(a + sfx::kFormAt, static_cast<uint32_t>(form));
    vardex::PutLe32(a + sfx::kVolumeChoiceAt, static_cast<uint32_t>(volumeChoice));
    vardex::PutLe32(a + sfx::kSplitAt, split ? 1 : 0);
    sfx::PutText(a + sfx::kDefaultDirAt, 256, defaultDir);
    sfx::PutText(a + sfx::kTitleAt, 256, title);
    for (const auto* pos : {&sfx::kFilesCountPos, &sfx::kArchiveLengthPos, &sfx::kChecksumPos})
        sfx::PutValue(b, *pos, 0);
    sfx::PutText(c + sfx::kMessageAt, sfx::kMessageSize, message);
    memcpy(c + sfx::kMagicCAt, sfx::kMagicC, 8);

    const size_t programSize = static_cast<size_t>(korval_head_end - korval_head_start);
    const size_t bannerSize = sizeof sfx::kBanner - 1;
    uint32_t crc = vardex::CrcUpdate(0xFFFFFFFFu, korval_head_start, programSize);
    crc = ~vardex::CrcUpdate(crc, sfx::kBanner, bannerSize);
    vardex::PutLe32(a + sfx::kProgramCrcAt, crc);
    vardex::PutLe32(a + sfx::kProgramLengthAt, static_cast<uint32_t>(programSize + bannerSize));
    vardex::PutLe32(a + sfx::kConfigCrcAt, sfx::ConfigCrc(a, c, sfx::kBlockCSize));

    // The library hands over a free name; a file or link that appeared
    // there since is not written through.
    plat::ScopedFile out(plat::FileOpen(path, plat::OpenMode::CreateNew));
    if (out.fd < 0) return 0;
    if (!WriteAll(out.fd, korval_head_start, programSize) || !WriteAll(out.fd, sfx::kBanner, bannerSize) ||
        !WriteAll(out.fd, blocks.data(), blocks.size()))
        return 0;
    if (split) {
        uint8_t trailer[sfx::kTrailerSize] = {};
        memcpy(trailer, sfx::kMagicTrailer, 8);
        uint32_t choice = volumeChoice >= 1 && volumeChoice <= 4 ? static_cast<uint32_t>(volumeChoice) : 0;
        vardex::PutLe32(trailer + 8, choice);
        vardex::PutLe32(trailer + 12, sfx::kVolumeSizes[choice]);
        if (!WriteAll(out.fd, trailer, sizeof trailer)) return 0;
    }
    return 1;
}

}  // namespace

extern "C" {

VARDEX_API int32_t VARDEX_CALL GetSfxHead(const char* path, int32_t /*three*/, int32_t form, int32_t split,
                                          const char* text1, const char* text2) {
    return WriteHead(path, false, 0, form, 0, split != 0, "", text1, text2);
}

VARDEX_API int32_t VARDEX_CALL GetSfxHead2(const char* path, int32_t /*three*/, SfxDesc* desc) {
    if (!desc) return 0;
    char defaultDir[256];
    memcpy(defaultDir, desc->stubData, 255);
    defaultDir[255] = '\0';
    char title[256];
    memcpy(title, desc->text1, 255);
    title[255] = '\0';
    char message[1032];
    memcpy(message, desc->text2, 1031);
    message[1031] = '\0';
    return WriteHead(path, true, desc->stubWord0, desc->form, desc->volumeChoice, desc->volumeChoice != 0, defaultDir,
                     title, message);
}

VARDEX_API void VARDEX_CALL SetGetNextDiskProc(uint32_t hostWord, GetNextDiskProc proc) {
    g_reg.nextDiskWord = hostWord;
    g_reg.nextDisk = proc;
}

VARDEX_API void VARDEX_CALL SetOkToReplaceProc(uint32_t hostWord, OkToReplaceProc proc) {
    g_reg.replaceWord = hostWord;
    g_reg.replace = proc;
}

VARDEX_API void VARDEX_CALL SetSetSfxProgressProc(uint32_t hostWord, SetSfxProgressProc proc) {
    g_reg.progressWord = hostWord;
    g_reg.progress = proc;
}

}  // extern "C"

namespace {

// A volume replaces what stands under its name by taking the name, never by
// writing through it: a link planted there loses the name, the file it
// leads to is left as it is.  A read-only file (which Windows will not
// delete) is made writable first.
bool RemoveForReplacing(const char* path) {
    if (plat::FileRemove(path)) return true;
    plat::SetFileAttributesA(path, FILE_ATTRIBUTE_ARCHIVE);
    return plat::FileRemove(path);
}

}  // namespace

extern "C" {

// Writes `source` as volumes of at most volumeSize bytes: the first under
// `destination`, the next ones beside it as .s01, .s02, ...  Before each
// further volume the host is asked through GetNextDiskProc (0 cancels); an
// existing volume file is replaced unless OkToReplaceProc answers 1 or 2.
// Returns 0, 5 (file error), 101 (short write) or 2926 (cancelled); on a
// failure the volumes written so far are removed.
VARDEX_API uint16_t VARDEX_CALL ResizeFile(const char* source, const char* destination, uint32_t volumeSize) {
    if (!source || !destination || volumeSize == 0) return VX_FILE_ERROR;
    plat::ScopedFile in(plat::FileOpen(source, plat::OpenMode::ReadOnly));
    if (in.fd < 0) return VX_FILE_ERROR;
    const int64_t total = plat::FileLength(in.fd);
    if (total < 0) return VX_FILE_ERROR;

    std::vector<std::string> written;
    auto fail = [&](uint16_t code) {
        for (const auto& name : written) plat::FileRemove(name.c_str());
        return code;
    };
    std::vector<uint8_t> buffer(65536);
    int64_t done = 0;
    uint32_t volume = 1;
    do {
        char path[MAX_PATH];
        snprintf(path, sizeof path, "%s", volume == 1 ? destination : sfx::VolumeName(destination, volume).c_str());
        if (volume > 1 && g_reg.nextDisk && g_reg.nextDisk(g_reg.nextDiskWord, static_cast<int32_t>(volume), path) == 0)
            return fail(VX_CANCELLED);
        path[MAX_PATH - 1] = '\0';
        WIN32_FIND_DATAA existing;
        plat::FindHandle h = plat::FindFirstFileA(path, &existing);
        if (h != plat::kInvalidFind) {
            plat::FindClose(h);
            if (g_reg.replace) {
                WIN32_FIND_DATAA incoming = existing;
                int64_t size = total - done < volumeSize ? total - done : volumeSize;
                incoming.nFileSizeHigh = 0;
                incoming.nFileSizeLow = static_cast<uint32_t>(size);
                int32_t answer = g_reg.replace(g_reg.replaceWord, &existing, &incoming);
                if (answer == 1 || answer == 2) return fail(VX_CANCELLED);
            }
        }
        // (A dangling link is found by no search, but stands there all the same.)
        if (plat::PathOccupied(path) && !RemoveForReplacing(path)) return fail(VX_FILE_ERROR);
        plat::ScopedFile out(plat::FileOpen(path, plat::OpenMode::CreateNew));
        if (out.fd < 0) return fail(VX_FILE_ERROR);
        written.emplace_back(path);
        uint32_t left = volumeSize;
        while (left > 0 && done < total) {
            uint32_t piece = left < buffer.size() ? left : static_cast<uint32_t>(buffer.size());
            int32_t got = plat::FileRead(in.fd, buffer.data(), piece);
            if (got <= 0) return fail(VX_FILE_ERROR);
            if (plat::FileWrite(out.fd, buffer.data(), static_cast<uint32_t>(got)) != got) return fail(VX_SHORT_WRITE);
            done += got;
            left -= static_cast<uint32_t>(got);
            if (g_reg.progress &&
                g_reg.progress(g_reg.progressWord, static_cast<int32_t>(total ? done * 100 / total : 100)) == 0)
                return fail(VX_CANCELLED);
        }
        if (!plat::FileSync(out.fd)) return fail(VX_FILE_ERROR);
        // The first volume holds the program that joins and extracts the set.
        if (volume == 1) plat::MarkExecutable(path);
        ++volume;
    } while (done < total);
    return 0;
}

}  // extern "C"
