// The extraction driver and the per-entry flow: output path, host callbacks,
// local header, output file, password step, decoder, CRC check, time and
// attributes.  The first entry that fails ends the extraction with its
// status code.
#include "extract/extract.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "api/engine.h"
#include "api/names.h"
#include "api/paths.h"
#include "archive/archive.h"
#include "common/crc32.h"
#include "crypt/password.h"
#include "extract/decode.h"
#include "extract/streams.h"
#include "platform/platform.h"

namespace vardex {

namespace {

constexpr uint32_t kCryptHeaderSize = kCryptHeaderBytes;
// The stored copy hands data on in these steps, one progress report each.
constexpr uint32_t kStoredBlock = 4096;
constexpr uint32_t kStoredCryptBlock = 8192;
constexpr uint64_t kLocalHeaderSize = 30;

struct FreeDeleter {
    void operator()(void* p) const { free(p); }
};
using HeapBlock = std::unique_ptr<uint8_t, FreeDeleter>;

enum class PathResult { Ok, Directory, Skip, TooLong };

// Where an entry goes: the whole output path (shown to the host), and below
// the output directory the directory levels and the file name.
struct OutputTarget {
    char path[kPathField] = {};
    char relativeDir[kPathField] = {};
    char leaf[kPathField] = {};
};

PathResult MakeOutputPath(const char* storedName, OutputTarget* target) {
    const EngineState& e = engine();
    char name[kPathField];
    ToWorkingSeparators(storedName, name);
    // Only a name ending in a separator is a directory entry; a dot-file is
    // a file like any other.  With paths kept a directory entry is made, so
    // that empty directories survive; without them it has nothing to make.
    const bool directory = NamesDirectory(name);
    if (directory) {
        if (!OptionsOn(arUsePaths)) return PathResult::Skip;
        for (size_t n = strlen(name); n > 0 && name[n - 1] == '\\'; --n) name[n - 1] = '\0';
    }
    StripNamePrefix(name);

    if (!OptionsOn(arUsePaths)) {
        char part[kPathField];
        FileNamePart(name, part);
        CopyText(name, kPathField, part);
    }

    // The base path is cut by length only: its characters are not compared.
    // Lengths count characters, so a cut never splits one.
    const size_t relChars = CharacterCount(e.relativePath);
    if (relChars > 0 && CharacterCount(name) > relChars) {
        const size_t cut = BytesOfCharacters(name, relChars + 1);
        memmove(name, name + cut, strlen(name + cut) + 1);
    }

    if (!MakeSafeName(name)) return PathResult::Skip;
    // The name the file is really made under, as the host is shown it.
    char systemName[kPathField];
    if (!platform::OutputNameForSystem(name, systemName, sizeof systemName)) return PathResult::TooLong;
    CopyText(name, kPathField, systemName);

    const size_t dirLen = strlen(e.outputPath);
    const size_t nameLen = strlen(name);
    if (dirLen + nameLen > kMaxText) return PathResult::TooLong;
    memcpy(target->path, e.outputPath, dirLen);
    memcpy(target->path + dirLen, name, nameLen + 1);
    if (directory) {
        CopyText(target->relativeDir, kPathField, name);
        return PathResult::Directory;
    }
    const char* slash = strrchr(name, '\\');
    const size_t leafAt = slash ? static_cast<size_t>(slash - name) + 1 : 0;
    CopyPart(name, 0, leafAt, target->relativeDir);
    CopyText(target->leaf, kPathField, name + leafAt);
    return PathResult::Ok;
}

// An entry made on Unix carries the file's mode in the high word of its
// external attributes; a regular file gets its permission bits back (links
// and devices are not made, so their modes mean nothing here).
void RestoreUnixMode(const CentralFields& entry, int fd) {
    const uint32_t mode = entry.externalAttributes >> 16;
    const uint32_t type = mode & 0170000;
    if ((entry.versionMadeBy >> 8) != platform::kHostUnix || mode == 0) return;
    if (type != 0 && type != 0100000) return;
    platform::SetFileModeOf(fd, mode);
}

void ReportProgress(uint32_t written, uint32_t total) {
    EngineState& e = engine();
    if (Status() != 0 || !e.progressProc) return;
    if (e.progressProc.proc(e.progressProc.hostWord, Percent(written, total)) == 0) SetStatus(VX_CANCELLED);
}

// Method 0: from the source straight to the output file, in steps of 4,096
// bytes (8,192 when decrypting, behind the 12-byte header the password step
// consumed), one progress report each.
void StoredCopy(StreamState& s, bool decrypted) {
    DecodeSource& in = s.in;
    uint32_t remaining = s.current.compressedSize;
    uint32_t step = kStoredBlock;
    if (decrypted) {
        remaining = remaining >= kCryptHeaderSize ? remaining - kCryptHeaderSize : 0;
        step = kStoredCryptBlock;
    }
    uint8_t gathered[kStoredCryptBlock];
    while (remaining > 0 && Status() == 0) {
        const uint32_t n = remaining < step ? remaining : step;
        if (in.InHand() == 0 && !in.Refill()) {  // a failed read, or an archive cut short
            SetStatus(VX_FILE_ERROR);
            break;
        }
        const uint8_t* block = in.next;
        if (in.InHand() >= n) {
            in.next += n;
        } else {
            // A step that spans two reads of the source.
            uint32_t have = 0;
            while (have < n && (in.InHand() > 0 || in.Refill())) {
                const uint32_t inHand = static_cast<uint32_t>(in.InHand());
                const uint32_t take = inHand < n - have ? inHand : n - have;
                memcpy(gathered + have, in.next, take);
                in.next += take;
                have += take;
            }
            if (have < n) {  // a failed read, or an archive cut short
                SetStatus(VX_FILE_ERROR);
                break;
            }
            block = gathered;
        }
        const uint16_t result = s.out.Put(block, n, VX_FILE_ERROR);
        if (result != VX_OK) SetStatus(result);
        s.out.written += n;
        remaining -= n;
        ReportProgress(s.out.written, s.current.uncompressedSize);
    }
}

// The entry's data into the output: the stored copy or the method's decoder.
void WriteEntryData(StreamState& s, bool encrypted) {
    if (s.current.method == 0)
        StoredCopy(s, encrypted);
    else
        DecodeEntry(s);
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

// The output side of one entry: the directory it is created in (opened
// level by level, never through a link) and the file itself.  Unless kept,
// a created file is removed again.
struct OutputFile {
    platform::ScopedFile opened;  // when the directory had to be opened (and made) here
    int dirFd = -1;
    const OutputTarget& target;
    DecodeSink& out;  // its handle is the created file
    bool created = false;
    bool keep = false;
    OutputFile(const OutputTarget& t, DecodeSink& sink) : target(t), out(sink) {}
    ~OutputFile() {
        platform::CloseFile(&out.handle);
        if (created && !keep) platform::RemoveFileAt(dirFd, target.leaf);
    }
    // knownDir: the entry's directory when it is open already, else -1.
    bool Create(int knownDir, int archive) {
        platform::OutputFailure why;
        dirFd = knownDir;
        if (dirFd < 0) {
            opened.fd =
                platform::OpenOutputDirectory(engine().outputPath, target.relativeDir, OptionsOn(arUsePaths), &why);
            dirFd = opened.fd;
        }
        if (dirFd < 0) return false;
        out.handle = platform::CreateOutputFileAt(dirFd, target.leaf, archive, &why);
        created = out.handle >= 0;
        return created;
    }
    // Time and attributes go through the open descriptor, never a path.
    void Finish(const CentralFields& entry) {
        const int handle = out.handle;
        FILETIME local, utc;
        if (platform::DosDateTimeToFileTime(entry.date, entry.time, &local) &&
            platform::LocalFileTimeToFileTime(&local, &utc))
            platform::FileSetLastWriteTime(handle, &utc);
        platform::SetFileAttributesOf(handle, entry.externalAttributes);
        RestoreUnixMode(entry, handle);
        keep = true;
    }
};

// Local records and data of the listed entries must not overlap: several
// central entries sharing one record would write its data again and again.
// Each span runs from the local header to the end of the entry's data.
bool EntriesOverlap(const ZipFileList& list) {
    struct Span {
        uint64_t begin, end;
    };
    std::vector<Span> spans;
    const int archive = engine().archive.handle;
    const int64_t savedPos = platform::FileTell(archive);
    for (const ZipFileEntry* node = list.first; node; node = node->next) {
        uint64_t headerLength = kLocalHeaderSize;
        LocalFields local;
        if (platform::FileSeek(archive, static_cast<int64_t>(node->localHeaderOffset) + 4, SEEK_SET) >= 0 &&
            platform::FileRead(archive, &local, sizeof local) == static_cast<int32_t>(sizeof local))
            headerLength += local.nameLength + local.extraLength;
        spans.push_back({node->localHeaderOffset, node->localHeaderOffset + headerLength + node->compressedSize});
    }
    std::sort(spans.begin(), spans.end(), [](const Span& a, const Span& b) { return a.begin < b.begin; });
    const bool overlap = std::adjacent_find(spans.begin(), spans.end(), [](const Span& a, const Span& b) {
                             return b.begin < a.end;
                         }) != spans.end();
    platform::FileSeek(archive, savedPos, SEEK_SET);
    return overlap;
}

// knownDir: the entry's output directory when it is open already, else -1.
void ExtractEntry(StreamState& s, const ZipFileEntry& node, const OutputTarget& target, int knownDir) {
    EngineState& e = engine();
    SetStatus(VX_OK);
    ResetStream(s, *FieldsOf(&node));
    const CentralFields& entry = s.current;

    if ((entry.versionNeeded & 0xFF) > 20 || entry.method == 7 || entry.method > 8) {
        SetStatus(VX_UNSUPPORTED_ENTRY);
        return;
    }
    const bool encrypted = (entry.flags & kFlagEncrypted) != 0;

    HeapBlock inBuf(static_cast<uint8_t*>(AllocateWork(kSourceBufferSize)));
    if (!inBuf) {
        SetStatus(VX_OUT_OF_MEMORY);
        return;
    }
    const int archive = e.archive.handle;
    s.in.buffer = inBuf.get();
    s.in.handle = archive;
    s.in.memory = nullptr;
    s.in.Reset(entry.compressedSize);
    struct Cleanup {
        StreamState& s;
        ~Cleanup() {
            s.in.buffer = nullptr;
            s.in.cipher = nullptr;
            s.in.Reset(0);
            s.out.handle = -1;
        }
    } cleanup{s};

    const int64_t savedPos = platform::FileTell(archive);
    char localName[kPathField];
    if (!ReadLocalHeader(archive, entry, localName)) {
        SetStatus(VX_FILE_ERROR);
        return;
    }
    s.in.position = platform::FileTell(archive);

    OutputFile output(target, s.out);
    if (!s.out.checkOnly && !output.Create(knownDir, archive)) {
        SetStatus(VX_CANNOT_CREATE_OUTPUT);
        platform::FileSeek(archive, savedPos, SEEK_SET);
        return;
    }

    if (encrypted) {
        ToWorkingSeparatorsInPlace(localName);
        SetStatus(VX_OK);
        if (!PasswordStep(s, localName)) {
            SetStatus(VX_CANNOT_DECRYPT);
            return;
        }
    }

    SetStatus(VX_OK);
    WriteEntryData(s, encrypted);
    if (Status() != 0) return;

    if (platform::FileSeek(archive, savedPos, SEEK_SET) < 0)
        SetStatus(VX_FILE_ERROR);
    else if (~s.out.crc != entry.crc32)
        SetStatus(VX_CRC_MISMATCH);

    // A file that failed the CRC check is kept and dated like any other.
    if (!s.out.checkOnly) output.Finish(entry);
}

// A directory entry with paths kept: its levels are made below the output
// directory, level by level and never through a link.
void MakeEntryDirectory(const OutputTarget& target) {
    platform::OutputFailure why;
    platform::ScopedFile dir;
    dir.fd = platform::OpenOutputDirectory(engine().outputPath, target.relativeDir, true, &why);
    if (dir.fd < 0) SetStatus(VX_CANNOT_CREATE_OUTPUT);
}

void ExtractList(StreamState& s, const ZipFileList& list) {
    EngineState& e = engine();
    SetStatus(VX_OK);
    if (EntriesOverlap(list)) {
        SetStatus(VX_BAD_DATA);
        return;
    }
    const bool checkOnly = s.out.checkOnly;
    platform::ScopedFile dir;
    char dirName[kPathField] = {};
    for (const ZipFileEntry* node = list.first; node && Status() == 0; node = node->next) {
        if (!node->selected) continue;
        // A name cut to fit could stand for another entry's name.
        if (EntryNameWasCut(*node)) {
            SetStatus(VX_CANNOT_CREATE_OUTPUT);
            break;
        }
        OutputTarget target;
        PathResult path = MakeOutputPath(node->name, &target);
        if (path == PathResult::Skip) continue;
        if (path == PathResult::TooLong) {
            SetStatus(VX_CANNOT_CREATE_OUTPUT);
            break;
        }
        if (path == PathResult::Directory) {
            if (!checkOnly) MakeEntryDirectory(target);
            continue;
        }
        if (checkOnly) {
            // The host hears of each entry checked; there is no output path.
            if (e.fileNameProc) {
                char text[kPathField];
                text[0] = '\\';
                CopyText(text + 1, kPathField - 1, node->name);
                e.fileNameProc.proc(e.fileNameProc.hostWord, text, "");
            }
            ExtractEntry(s, *node, target, -1);
            continue;
        }

        if (e.fileNameProc) {
            char text[kPathField];
            text[0] = '\\';
            CopyText(text + 1, kPathField - 1, node->name);
            e.fileNameProc.proc(e.fileNameProc.hostWord, text, target.path);
        }

        // What is there already, seen without following links: a link at a
        // directory level refuses the entry, and the archive itself is never
        // an output file.  Nothing is asked about a refused entry.
        // Entries of one directory follow each other: the directory found
        // for the last one is held open and used again.
        if (dir.fd < 0 || strcmp(dirName, target.relativeDir) != 0) {
            platform::OutputFailure why;
            platform::CloseFile(&dir.fd);
            dir.fd = platform::OpenOutputDirectory(e.outputPath, target.relativeDir, false, &why);
            CopyText(dirName, kPathField, target.relativeDir);
            if (dir.fd < 0 && why == platform::OutputFailure::Link) {
                SetStatus(VX_CANNOT_CREATE_OUTPUT);
                break;
            }
        }
        if (platform::IsSameFileAt(dir.fd, target.leaf, e.archive.handle)) {
            SetStatus(VX_CANNOT_CREATE_OUTPUT);
            break;
        }
        if (e.overwriteCheck) {
            int answer = e.overwriteCheck(*node, target.path, dir.fd, target.leaf);
            if (answer == 1) continue;
            if (answer == 2) {
                SetStatus(VX_CANCELLED);
                break;
            }
        }
        if (Status() == 0) ExtractEntry(s, *node, target, dir.fd);
    }
}

// checkOnly: decode and check, write nothing.
void RunExtraction(FileMaskList* masks, bool checkOnly) {
    ZipFileList list{};
    SetStatus(VX_OK);
    // Extraction has no use for entry comments; extra fields (and the archive
    // comment) are kept as the host's options say.
    BuildEntryList(&list, masks, KeepBlocks{.extraFields = OptionsOn(arKeepExtraFields), .comments = false});
    // The streams live for this pass only (a few hundred bytes; the source's
    // block is taken per entry): a host callback that starts another pass
    // gets streams of its own.
    StreamState stream{};
    stream.out.checkOnly = checkOnly;
    if (Status() == 0) ExtractList(stream, list);
    ReleaseEntryList(&list);
}

}  // namespace

bool BuildOutputPath(const char* storedName, char* out) {
    out[0] = '\0';
    OutputTarget target;
    const PathResult result = MakeOutputPath(storedName, &target);
    if (result == PathResult::Ok) CopyText(out, kPathField, target.path);
    return result != PathResult::TooLong;
}

int OverwriteCheck(const ZipFileEntry& entry, const char* /*outputPath*/, int dirFd, const char* leaf) {
    // A link counts as an existing file, dangling or not.
    WIN32_FIND_DATAA existing{};
    if (!platform::FindOutputFile(dirFd, leaf, &existing)) return 0;
    switch (AskToReplace(entry, existing, Replacing::FileByEntry)) {
        case ReplaceAnswer::Replace:
            // A link is replaced, not written through, so it needs no change.
            platform::MakeWritableAt(dirFd, leaf);
            return 0;
        case ReplaceAnswer::ReplaceAsIs: return 0;
        case ReplaceAnswer::Keep: return 1;
        case ReplaceAnswer::Stop: return 2;
    }
    return 0;
}

bool PasswordStep(StreamState& s, const char* name) {
    if (!PasswordAtHand(name)) return false;
    uint8_t header[kCryptHeaderBytes];
    for (uint8_t& b : header) {
        const int c = s.in.Byte();
        if (c < 0) return false;
        b = static_cast<uint8_t>(c);
    }
    if (!AcceptPassword(name, header, s.current, s.cipher)) return false;
    s.in.StartDecrypting(s.cipher);
    return true;
}

void ExtractEntries(FileMaskList* masks) { RunExtraction(masks, false); }

void CheckEntries(FileMaskList* masks) { RunExtraction(masks, true); }

}  // namespace vardex
