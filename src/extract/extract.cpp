// The extraction driver and the per-entry flow: output path, host callbacks,
// local header, output file, password step, decoder, CRC check, time and
// attributes.  The first entry that fails ends the extraction with its
// status code.
#include "extract/extract.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "api/engine.h"
#include "api/paths.h"
#include "archive/archive.h"
#include "common/crc32.h"
#include "crypt/password.h"
#include "extract/decode.h"
#include "extract/streams.h"
#include "platform/platform.h"

namespace vardex {

namespace {

constexpr uint32_t kCryptHeaderSize = 12;
constexpr uint32_t kStoredCryptBlock = 8192;

struct FreeDeleter {
    void operator()(void* p) const { free(p); }
};
using HeapBlock = std::unique_ptr<uint8_t, FreeDeleter>;

enum class PathResult { Ok, Skip, TooLong };

bool IsSeparator(char c) { return c == '\\'; }

// Removes the parts of a name that would lead out of the output directory:
// a UNC server and share, a drive, and (later, per component) empty, "." and
// ".." components.
void StripAbsolutePrefix(char* name) {
    if (IsSeparator(name[0]) && IsSeparator(name[1])) {
        // \\server\share\rest -> \rest
        size_t i = 2;
        for (int part = 0; part < 2 && name[i]; ++part) {
            while (name[i] && !IsSeparator(name[i])) ++i;
            if (part == 0 && name[i]) ++i;
        }
        memmove(name, name + i, strlen(name + i) + 1);
    }
    if (((name[0] | 0x20) >= 'a' && (name[0] | 0x20) <= 'z') && name[1] == ':')
        memmove(name, name + 2, strlen(name + 2) + 1);
}

// Keeps only the components that name something below the output directory.
void DropUnsafeComponents(char* name) {
    const size_t len = strlen(name);
    const bool trailing = len > 0 && IsSeparator(name[len - 1]);
    char out[kPathField] = {};
    size_t o = 0;
    size_t i = 0;
    while (i < len) {
        size_t start = i;
        while (i < len && !IsSeparator(name[i])) ++i;
        size_t n = i - start;
        if (i < len) ++i;  // past the separator
        if (n == 0) continue;
        if (n == 1 && name[start] == '.') continue;
        if (n == 2 && name[start] == '.' && name[start + 1] == '.') continue;
        // A drive designator inside the name ("a\C:x") would make the path
        // absolute on Windows: keep what follows it.
        if (n >= 2 && name[start + 1] == ':') {
            start += 2;
            n -= 2;
            if (n == 0) continue;
        }
        if (o > 0) out[o++] = '\\';
        memcpy(out + o, name + start, n);
        o += n;
    }
    if (trailing && o > 0) out[o++] = '\\';
    out[o] = '\0';
    memcpy(name, out, o + 1);
}

PathResult MakeOutputPath(const char* storedName, char* out) {
    const EngineState& e = engine();
    char name[kPathField];
    CopyText(name, kPathField, storedName);
    for (char* p = name; *p; ++p)
        if (*p == '/') *p = '\\';
    StripAbsolutePrefix(name);

    if (!OptionsOn(arUsePaths)) {
        char part[kPathField];
        FileNamePart(name, part);
        CopyText(name, kPathField, part);
    } else if (IsSeparator(name[0])) {
        memmove(name, name + 1, strlen(name));
    }

    // The base path is cut by length only: its characters are not compared.
    const size_t relLen = strlen(e.relativePath);
    if (relLen > 0 && strlen(name) > relLen) memmove(name, name + relLen + 1, strlen(name + relLen + 1) + 1);

    DropUnsafeComponents(name);
    if (name[0] == '\0') return PathResult::Skip;

    const size_t dirLen = strlen(e.outputPath);
    const size_t nameLen = strlen(name);
    if (dirLen + nameLen > kMaxText) return PathResult::TooLong;
    memcpy(out, e.outputPath, dirLen);
    memcpy(out + dirLen, name, nameLen + 1);
    return PathResult::Ok;
}

// True when the last component has a base name (directory entries and names
// like ".profile" have none).
bool HasBaseName(const char* path) {
    char drive[kPathField], dir[kPathField], base[kPathField], ext[kPathField];
    SplitPath(path, drive, dir, base, ext);
    return base[0] != '\0';
}

void ReportProgress(uint32_t written, uint32_t total) {
    EngineState& e = engine();
    if (Status() != 0 || !e.progressProc) return;
    if (e.progressProc.proc(e.progressProc.hostWord, Percent(written, total)) == 0) SetStatus(VX_CANCELLED);
}

// Method 0: straight from the archive to the output file.  With decryption
// the data starts behind the 12-byte header the password step consumed.
void StoredCopy(bool decrypt, int64_t dataStart) {
    EngineState& e = engine();
    StreamState& s = e.stream;
    uint32_t remaining = s.current.compressedSize;
    uint8_t* buffer = s.inBuf;
    uint32_t block = kInputBufferSize;
    if (decrypt) {
        remaining = remaining >= kCryptHeaderSize ? remaining - kCryptHeaderSize : 0;
        buffer = s.outBuf;
        block = kStoredCryptBlock;
        if (platform::FileSeek(s.inHandle, dataStart + kCryptHeaderSize, SEEK_SET) < 0) {
            SetStatus(VX_FILE_ERROR);
            remaining = 0;
        }
    }
    while (remaining > 0 && Status() == 0) {
        uint32_t n = remaining < block ? remaining : block;
        int32_t got = platform::FileRead(s.inHandle, buffer, n);
        if (got <= 0) {  // a failed read, or an archive cut short
            SetStatus(VX_FILE_ERROR);
            break;
        }
        n = static_cast<uint32_t>(got);
        if (decrypt) DecryptBuffer(e.cipher, buffer, n);
        s.crc = CrcUpdate(s.crc, buffer, n);
        if (platform::FileWrite(s.outHandle, buffer, n) != static_cast<int32_t>(n)) SetStatus(VX_FILE_ERROR);
        s.written += n;
        remaining -= n;
        ReportProgress(s.written, s.current.uncompressedSize);
    }
    s.outCount = 0;
}

void Decode(bool encrypted, int64_t dataStart) {
    if (engine().stream.current.method == 0)
        StoredCopy(encrypted, dataStart);
    else
        DecodeEntry();
}

// Reads the local header at the entry's offset and leaves the archive at the
// start of the entry's data.  `name` receives the local header's name.
bool ReadLocalHeader(int fd, const CentralFields& entry, char* name) {
    LocalFields local;
    if (platform::FileSeek(fd, static_cast<int64_t>(entry.localHeaderOffset) + 4, SEEK_SET) < 0) return false;
    if (platform::FileRead(fd, &local, sizeof local) != static_cast<int32_t>(sizeof local)) return false;
    if (!ReadName(fd, local.nameLength, entry.flags, name)) return false;
    return platform::FileSeek(fd, local.extraLength, SEEK_CUR) >= 0;
}

void DeleteOutput(const char* path) { platform::FileRemove(path); }

void ExtractEntry(const ZipFileEntry& node, const char* outputPath) {
    EngineState& e = engine();
    StreamState& s = e.stream;
    SetStatus(VX_OK);
    ResetStream(s, *FieldsOf(&node));
    const CentralFields& entry = s.current;

    if ((entry.versionNeeded & 0xFF) > 20 || entry.method == 7 || entry.method > 8) {
        SetStatus(VX_UNSUPPORTED_ENTRY);
        return;
    }
    const bool encrypted = (entry.flags & kFlagEncrypted) != 0;

    HeapBlock outBuf(static_cast<uint8_t*>(AllocateWork(kOutputBufferSize)));
    HeapBlock inBuf(static_cast<uint8_t*>(AllocateWork(kInputBufferSize)));
    if (!outBuf || !inBuf) {
        SetStatus(VX_OUT_OF_MEMORY);
        return;
    }
    s.outBuf = outBuf.get();
    s.inBuf = inBuf.get();
    s.encrypted = 0;
    s.pendingDecrypt = 0;
    struct Cleanup {
        StreamState& s;
        ~Cleanup() {
            s.encrypted = 0;
            s.pendingDecrypt = 0;
            s.inBuf = nullptr;
            s.outBuf = nullptr;
            s.outHandle = -1;
        }
    } cleanup{s};

    const int archive = e.archive.handle;
    s.inHandle = archive;
    s.memory = nullptr;
    const int64_t savedPos = platform::FileTell(archive);
    char localName[kPathField];
    if (!ReadLocalHeader(archive, entry, localName)) {
        SetStatus(VX_FILE_ERROR);
        return;
    }
    const int64_t dataStart = platform::FileTell(archive);

    s.outHandle = CreateOutputFile(outputPath);
    if (s.outHandle < 0) {
        SetStatus(VX_CANNOT_CREATE_OUTPUT);
        platform::FileSeek(archive, savedPos, SEEK_SET);
        return;
    }

    if (encrypted) {
        for (char* p = localName; *p; ++p)
            if (*p == '/') *p = '\\';
        SetStatus(VX_OK);
        if (!AcceptPassword(localName)) {
            SetStatus(VX_CANNOT_DECRYPT);
            platform::FileClose(s.outHandle);
            DeleteOutput(outputPath);
            return;
        }
        // The bytes already read behind the header are decrypted as they are
        // handed out; later blocks are decrypted whole as they are read.
        s.encrypted = 1;
        s.pendingDecrypt = 1;
    }

    SetStatus(VX_OK);
    Decode(encrypted, dataStart);

    platform::FileSeek(s.outHandle, 0, SEEK_SET);
    platform::FileClose(s.outHandle);
    s.outHandle = -1;
    if (Status() != 0) {
        DeleteOutput(outputPath);
        return;
    }

    if (platform::FileSeek(archive, savedPos, SEEK_SET) < 0)
        SetStatus(VX_FILE_ERROR);
    else if (~s.crc != entry.crc32)
        SetStatus(VX_CRC_MISMATCH);

    // A file that failed the CRC check is kept and dated like any other.
    SetDosDateTimeByPath(outputPath, entry.date, entry.time);
    SetAttributes(outputPath, entry.externalAttributes);
}

void ExtractList(const ZipFileList& list) {
    EngineState& e = engine();
    SetStatus(VX_OK);
    for (const ZipFileEntry* node = list.first; node && Status() == 0; node = node->next) {
        if (!node->selected) continue;
        char outputPath[kPathField];
        PathResult path = MakeOutputPath(node->name, outputPath);
        if (path == PathResult::Skip) continue;
        if (path == PathResult::TooLong) {
            SetStatus(VX_CANNOT_CREATE_OUTPUT);
            break;
        }
        if (!HasBaseName(outputPath)) continue;

        if (e.fileNameProc) {
            char text[kPathField];
            text[0] = '\\';
            CopyText(text + 1, kPathField - 1, node->name);
            e.fileNameProc.proc(e.fileNameProc.hostWord, text, outputPath);
        }
        if (e.overwriteCheck) {
            int answer = e.overwriteCheck(*node, outputPath);
            if (answer == 1) continue;
            if (answer == 2) {
                SetStatus(VX_CANCELLED);
                break;
            }
        }
        if (Status() == 0) ExtractEntry(*node, outputPath);
    }
}

}  // namespace

bool BuildOutputPath(const char* storedName, char* out) {
    out[0] = '\0';
    return MakeOutputPath(storedName, out) != PathResult::TooLong;
}

int OverwriteCheck(const ZipFileEntry& entry, const char* outputPath) {
    EngineState& e = engine();
    WIN32_FIND_DATAA existing{};
    platform::FindHandle h = platform::FindFirstFileA(outputPath, &existing);
    if (h == platform::kInvalidFind) return 0;
    platform::FindClose(h);
    if (!e.okToReplaceProc) return 0;

    WIN32_FIND_DATAA archived{};
    FindDataFromEntry(entry, &archived);
    int answer = e.okToReplaceProc.proc(e.okToReplaceProc.hostWord, &existing, &archived);
    if (answer == 0) MakeWritable(outputPath);
    return answer;
}

void ExtractEntries(FileMaskList* masks) {
    EngineState& e = engine();
    ZipFileList list;
    InitZipFileList(&list);
    SetStatus(VX_OK);
    const uint16_t saved = e.options;
    e.options = static_cast<uint16_t>(e.options & ~arKeepComments);
    BuildZipFileList(&list, masks);
    e.options = saved;
    if (Status() == 0) ExtractList(list);
    DoneZipFileList(&list);
}

}  // namespace vardex
