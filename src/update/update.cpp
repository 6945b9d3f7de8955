// The update driver: adds the files the host names to the open archive.
//
// The archive is rewritten as a whole.  For an existing archive every entry
// is carried over except those a named file replaces (the host is asked
// through OkToReplaceProc); the named files follow as new entries, in the
// order they were named.  The caller's list names files, not patterns.
#include <cstdlib>
#include <cstring>

#include "api/engine.h"
#include "api/masks.h"
#include "api/paths.h"
#include "archive/archive.h"
#include "archive/records.h"
#include "deflate/deflate.h"
#include "platform/platform.h"
#include "update/update.h"

namespace vardex {

namespace {

constexpr uint16_t kVersionMadeBy = 20;
constexpr uint16_t kDefaultDosDate = (0 << 9) | (1 << 5) | 1;  // 1980-01-01
constexpr int64_t kMaxSourceSize = 0xFFFFFFFFll;

void Fail(uint16_t status) { SetStatus(status); }

// A node names a file unless its file-name part is empty or starts with '*'.
bool NamesFile(const FileMask* node) { return node->name[0] != '\0' && node->name[0] != '*'; }

// dir + name + ("." + ext when ext is not empty)
void GivenPath(const FileMask* node, char* out) {
    CopyText(out, kPathField, node->dir ? node->dir : "");
    AppendText(out, kPathField, node->name);
    if (node->ext[0] != '\0') {
        AppendText(out, kPathField, ".");
        AppendText(out, kPathField, node->ext);
    }
}

// The path the named file is read from: the input path in front unless
// arNoInputPath is on.
void SourcePath(const FileMask* node, char* out) {
    const EngineState& e = engine();
    char given[kPathField];
    GivenPath(node, given);
    out[0] = '\0';
    if (e.inputPath[0] != '\0' && !OptionsOn(arNoInputPath)) CopyText(out, kPathField, e.inputPath);
    AppendText(out, kPathField, given);
}

// A path in a comparable form: '/' as '\', no "." components, no doubled
// separators.
void ComparablePath(const char* path, char* out) {
    size_t o = 0;
    for (size_t i = 0; path[i] != '\0' && o + 1 < kPathField;) {
        char c = path[i] == '/' ? '\\' : path[i];
        const bool atStart = i == 0 || path[i - 1] == '\\' || path[i - 1] == '/';
        if (atStart && c == '.' && (path[i + 1] == '\\' || path[i + 1] == '/')) {
            i += 2;
            continue;
        }
        if (c == '\\' && o > 0 && out[o - 1] == '\\') {
            ++i;
            continue;
        }
        out[o++] = c;
        ++i;
    }
    out[o] = '\0';
}

bool SamePath(const char* a, const char* b) {
    char ca[kPathField], cb[kPathField];
    ComparablePath(a, ca);
    ComparablePath(b, cb);
    return ca[0] != '\0' && strcmp(ca, cb) == 0;
}

// Whether the kept-name list holds the entry name (up-cased comparison).
bool KeptHolds(const char* name, const FileMaskList* kept) {
    if (!kept) return false;
    char key[kTextField];
    UpperCase(name, key);
    for (const FileMask* node = kept->first; node; node = node->next) {
        char text[kPathField], upper[kTextField];
        GivenPath(node, text);
        UpperCase(text, upper);
        if (strcmp(upper, key) == 0) return true;
    }
    return false;
}

// Each caller mask that names a file becomes a node of the named-file list.
void BuildNamedList(const FileMaskList* masks, FileMaskList* named) {
    if (!masks) return;
    for (const FileMask* node = masks->first; node; node = node->next) {
        if (!NamesFile(node)) continue;
        char text[kPathField];
        AddSeparator(node->dir ? node->dir : "", text);
        AppendText(text, sizeof text, node->name);
        AppendText(text, sizeof text, ".");
        AppendText(text, sizeof text, node->ext);
        if (!AppendFileMask(text, named)) {
            Fail(VX_OUT_OF_MEMORY);
            return;
        }
    }
}

struct SourceGuard {
    ~SourceGuard() {
        RewriteState& r = engine().rewrite;
        if (r.source >= 0) platform::FileClose(r.source);
        r.source = -1;
    }
};

// Opens a named file for reading; -1 when it cannot be opened (a directory
// counts as a file that cannot be opened).
int OpenSource(const char* path) {
    const uint32_t attributes = platform::GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) return -1;
    return platform::FileOpen(path, platform::OpenMode::ReadOnly);
}

bool SourceReadable(const char* path) {
    const int fd = OpenSource(path);
    if (fd < 0) return false;
    platform::FileClose(fd);
    return true;
}

// A directory named for the update becomes an entry of its own, its name
// ending in a separator, so that empty directories survive.
bool IsDirectorySource(const char* source) {
    const uint32_t attributes = platform::GetFileAttributesA(source);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

void EntryNameOfFile(const FileMask* file, char* out) {
    char given[kPathField], source[kPathField];
    GivenPath(file, given);
    SourcePath(file, source);
    EntryNameFor(given, out);
    if (out[0] != '\0' && IsDirectorySource(source)) AppendText(out, kPathField, "\\");
}

// The directory's own time, as a file's is taken from the file.
void DirectoryDosTime(const char* source, uint16_t* date, uint16_t* time) {
    WIN32_FIND_DATAA found{};
    FILETIME local{};
    const platform::FindHandle h = platform::FindFirstFileA(source, &found);
    if (h == platform::kInvalidFind) return;
    platform::FindClose(h);
    uint16_t d = 0, t = 0;
    if (platform::FileTimeToLocalFileTime(&found.ftLastWriteTime, &local) &&
        platform::FileTimeToDosDateTime(&local, &d, &t)) {
        *date = d;
        *time = t;
    }
}

// "Made by" and the external attributes of a new entry: the DOS attributes
// in the low word and, where the host keeps one, the file's Unix mode in the
// high word, with the host system saying which.
void SetHostAttributes(ZipFileEntry* entry, const char* source) {
    const uint32_t attributes = platform::GetFileAttributesA(source);
    const uint32_t mode = platform::FileModeForEntry(source);
    const uint8_t host = mode != 0 ? platform::HostSystem() : platform::kHostDos;
    entry->versionMadeBy = static_cast<uint16_t>((host << 8) | kVersionMadeBy);
    entry->externalAttributes = (attributes == INVALID_FILE_ATTRIBUTES ? FILE_ATTRIBUTE_ARCHIVE : attributes) |
                                (mode << 16);
}

void AddDirectoryEntry(ZipFileEntry* entry, const char* given, const char* source) {
    EngineState& e = engine();
    uint16_t date = kDefaultDosDate, time = 0;
    DirectoryDosTime(source, &date, &time);
    if (platform::StoreNameAsUtf8(entry->name)) entry->flags |= kFlagUtf8Name;
    if (e.fileNameProc) {
        char full[kPathField], clean[kPathField], text[kPathField] = "\\";
        MakeStoredName(given, full);
        CleanStoredName(full, clean);
        AppendText(text, sizeof text, clean);
        AppendText(text, sizeof text, "\\");
        e.fileNameProc.proc(e.fileNameProc.hostWord, source, text);
    }
    WriteDirectoryEntry(entry, date, time);
    entry->commentLength = 0;
    entry->diskNumberStart = 0;
    entry->internalAttributes = 0;
    SetHostAttributes(entry, source);
}

// The per-file loop shared by the new-archive and existing-archive variants.
void AddNamedFiles(ZipFileList* entries, const FileMaskList* masks, FileMaskList* named, const FileMaskList* kept,
                   bool countHandled) {
    EngineState& e = engine();
    RewriteState& r = e.rewrite;
    BuildNamedList(masks, named);
    if (Status() != 0) return;
    if (countHandled) r.filesHandled = 0;

    for (const FileMask* file = named->first; file; file = file->next) {
        char given[kPathField], source[kPathField], entryName[kPathField];
        GivenPath(file, given);
        SourcePath(file, source);
        EntryNameOfFile(file, entryName);
        // Without paths a directory entry would have no name.
        const bool directory = IsDirectorySource(source);
        const bool passOver = KeptHolds(entryName, kept) || IsArchiveItself(file, r.backupPath) ||
                              (directory && OptionsOn(arStripPaths));
        ZipFileEntry* entry = nullptr;
        bool duplicate = false;
        if (!passOver) {
            duplicate = !AddEntryForFile(entries, file, &entry);
            if (!duplicate && Status() != 0) return;
        }
        if (directory && !passOver) {
            if (!duplicate) {
                AddDirectoryEntry(entry, given, source);
                if (Status() != 0) return;
            }
            if (countHandled) ++r.filesHandled;
            continue;
        }
        // A name already in the list is passed over, unless its file cannot
        // be read: an entry kept because its file was missing is reported
        // like any unreadable file (and stays when the host skips it).
        if (passOver || (duplicate && SourceReadable(source))) {
            if (countHandled) ++r.filesHandled;
            continue;
        }

        SourceGuard guard;
        r.source = duplicate ? -1 : OpenSource(source);
        if (r.source < 0) {
            Fail(VX_FILE_ERROR);
            if (!e.skipFileProc) return;
            if (e.skipFileProc.proc(e.skipFileProc.hostWord, source) == 2) {
                Fail(VX_CANCELLED);
                return;
            }
            SetStatus(0);
            if (entry) RemoveEntry(entries, entry);
            continue;
        }
        // Sizes are 32-bit fields: a file that cannot be recorded stops the
        // update before any of it is read.
        const int64_t length = platform::FileLength(r.source);
        if (length < 0 || length > kMaxSourceSize - (e.passwordSet ? 12 : 0)) {
            Fail(VX_FILE_ERROR);
            return;
        }
        uint16_t date = kDefaultDosDate, time = 0;
        if (GetDosDateTime(r.source, &date, &time) != 0) {
            date = kDefaultDosDate;
            time = 0;
        }
        r.method = 8;
        if (platform::StoreNameAsUtf8(entry->name)) entry->flags |= kFlagUtf8Name;

        if (e.fileNameProc) {
            // The full entry name, also when arStripPaths will shorten it.
            char full[kPathField], clean[kPathField], text[kPathField] = "\\";
            MakeStoredName(given, full);
            CleanStoredName(full, clean);
            AppendText(text, sizeof text, clean);
            e.fileNameProc.proc(e.fileNameProc.hostWord, source, text);
        }

        WriteNewEntry(entry, date, time);
        const uint16_t status = Status();
        entry->commentLength = 0;
        entry->diskNumberStart = 0;
        entry->internalAttributes = r.textFlag;
        SetHostAttributes(entry, source);
        if (status != 0) return;
        if (countHandled) ++r.filesHandled;
    }
}

}  // namespace

void MakeStoredName(const char* path, char* out) {
    char drive[kPathField], dir[kPathField], name[kPathField], ext[kPathField];
    SplitPath(path, drive, dir, name, ext);
    char s[kPathField];
    CopyText(s, sizeof s, dir);
    AppendText(s, sizeof s, name);
    AppendText(s, sizeof s, ext);

    if (s[0] == '\\' && s[1] == '\\') {
        // \\server\share\rest: the server and share go.
        const char* first = strchr(s + 2, '\\');
        const char* second = first ? strchr(first + 1, '\\') : nullptr;
        char rest[kPathField];
        CopyText(rest, sizeof rest, second ? second : first ? "" : s + 2);
        CopyText(s, sizeof s, rest[0] == '\\' ? rest + 1 : rest);
    } else if (s[0] == '\\') {
        memmove(s, s + 1, strlen(s));
    }

    if (OptionsOn(arNoInputPath)) {
        SplitPath(s, nullptr, nullptr, name, ext);
        CopyText(s, sizeof s, name);
        AppendText(s, sizeof s, ext);
    }
    const char* relative = engine().relativePath;
    if (relative[0] != '\0') {
        CopyText(out, kPathField, relative);
        AppendText(out, kPathField, "\\");
        AppendText(out, kPathField, s);
    } else {
        CopyText(out, kPathField, s);
    }
}

void CleanStoredName(const char* name, char* out) {
    // Component by component: a drive in front, empty, "." and ".."
    // components are dropped, so that the name can neither be absolute nor
    // climb out of the directory it is extracted into.
    size_t o = 0;
    out[0] = '\0';
    bool first = true;
    for (const char* p = name; *p;) {
        const char* end = p;
        while (*end && *end != '\\' && *end != '/') ++end;
        const size_t length = static_cast<size_t>(end - p);
        const char* part = p;
        size_t partLength = length;
        if (first && partLength >= 2 && part[1] == ':' &&
            ((part[0] >= 'A' && part[0] <= 'Z') || (part[0] >= 'a' && part[0] <= 'z'))) {
            part += 2;
            partLength -= 2;
        }
        const bool dots = (partLength == 1 && part[0] == '.') || (partLength == 2 && part[0] == '.' && part[1] == '.');
        if (partLength > 0 && !dots && o + partLength + 1 < kPathField) {
            if (o > 0) out[o++] = '\\';
            memcpy(out + o, part, partLength);
            o += partLength;
            out[o] = '\0';
            first = false;
        } else if (partLength > 0 && !dots) {
            break;
        }
        p = *end ? end + 1 : end;
    }
}

void EntryNameFor(const char* givenPath, char* out) {
    char stored[kPathField];
    MakeStoredName(givenPath, stored);
    CleanStoredName(stored, out);
    if (OptionsOn(arStripPaths)) {
        char part[kPathField];
        FileNamePart(out, part);
        CopyText(out, kPathField, part);
    }
}

const FileMask* FindNamedFile(const char* name, const FileMaskList* list) {
    if (!list) return nullptr;
    char key[kTextField];
    UpperCase(name, key);
    for (const FileMask* node = list->first; node; node = node->next) {
        if (!NamesFile(node)) continue;
        char given[kPathField], candidate[kPathField], upper[kTextField];
        GivenPath(node, given);
        EntryNameFor(given, candidate);
        UpperCase(candidate, upper);
        if (strcmp(upper, key) == 0) return node;
    }
    return nullptr;
}

bool NameInMaskList(const char* name, const FileMaskList* list) { return FindNamedFile(name, list) != nullptr; }

int ConfirmReplace(ZipFileEntry* entry, const char* sourcePath) {
    const EngineState& e = engine();
    WIN32_FIND_DATAA found{};
    const platform::FindHandle search = platform::FindFirstFileA(sourcePath, &found);
    if (search == platform::kInvalidFind) return 0;
    platform::FindClose(search);
    if (!e.okToReplaceProc) return 0;

    WIN32_FIND_DATAA existing{};
    FindDataFromEntry(*entry, &existing);
    const int32_t answer = e.okToReplaceProc.proc(e.okToReplaceProc.hostWord, &existing, &found);
    // Only 0 drops the entry and only 2 stops; any other answer keeps the
    // entry, so that the directory never names data the archive lacks.  The
    // named file is only read, so its attributes are left as they are.
    if (answer == 0 || answer == 2) return answer;
    return 1;
}

bool AddEntryForFile(ZipFileList* entries, const FileMask* file, ZipFileEntry** added) {
    *added = nullptr;
    char stored[kPathField];
    EntryNameOfFile(file, stored);
    // A path that leaves no name (such as "..\") cannot become an entry.
    if (stored[0] == '\0') return false;
    for (const ZipFileEntry* entry = entries->first; entry; entry = entry->next)
        if (strcmp(entry->name, stored) == 0) return false;
    if (entries->count == 0xFFFF) {
        // The 16-bit entry counts of the end record cannot hold another one.
        Fail(VX_FILE_ERROR);
        return true;
    }
    CentralFields fields{};
    *added = AddEntry(entries, fields, stored, nullptr, nullptr);
    if (!*added) Fail(VX_OUT_OF_MEMORY);
    return true;
}

bool IsArchiveItself(const FileMask* file, const char* backupPath) {
    const ArchiveState& a = engine().archive;
    char text[kPathField];
    AddSeparator(file->dir ? file->dir : "", text);
    AppendText(text, sizeof text, file->name);
    AppendText(text, sizeof text, ".");
    AppendText(text, sizeof text, file->ext);
    if (strcmp(text, a.path) == 0 || strcmp(text, backupPath) == 0) return true;
    // The same file under another spelling ("./a.zip", doubled separators,
    // the input path in front) would be read while it is being written.
    char source[kPathField];
    SourcePath(file, source);
    return SamePath(source, a.path) || SamePath(source, backupPath);
}

void SelectExistingEntries(ZipFileList* entries, FileMaskList* matchAll, const FileMaskList* masks,
                           FileMaskList* kept) {
    ListBackupEntries(entries, matchAll);
    // An archive without entries has nothing to carry over.
    if (Status() == VX_NOTHING_SELECTED) SetStatus(0);
    if (Status() != 0) return;

    for (ZipFileEntry* entry = entries->first; entry;) {
        ZipFileEntry* next = entry->next;
        if (!SeekBackupTo(entry)) return;
        const FileMask* named = FindNamedFile(entry->name, masks);
        if (!named) {
            CopyEntry(entry);
            if (Status() != 0) return;
        } else {
            char source[kPathField];
            SourcePath(named, source);
            // The named file is not there: the entry is kept rather than
            // dropped for a file that cannot be added (the add loop then
            // reports the file as unreadable).
            const int answer = platform::PathExists(source) ? ConfirmReplace(entry, source) : -1;
            if (answer == -1) {
                CopyEntry(entry);
                if (Status() != 0) return;
                entry = next;
                continue;
            }
            switch (answer) {
                case 0:
                    RemoveEntry(entries, entry);
                    break;
                case 1:
                    CopyEntry(entry);
                    if (Status() != 0) return;
                    if (!AppendFileMask(entry->name, kept)) {
                        Fail(VX_OUT_OF_MEMORY);
                        return;
                    }
                    break;
                default:
                    Fail(VX_CANCELLED);
                    return;
            }
        }
        entry = next;
    }
}

void AddFilesToArchive(ZipFileList* entries, const FileMaskList* masks, FileMaskList* named) {
    AddNamedFiles(entries, masks, named, nullptr, true);
}

void AddFilesToExistingArchive(ZipFileList* entries, const FileMaskList* masks, FileMaskList* named,
                               const FileMaskList* kept) {
    AddNamedFiles(entries, masks, named, kept, false);
}

void CompressFileMaskList(const FileMaskList* masks) {
    EngineState& e = engine();
    ArchiveState& a = e.archive;
    SetStatus(0);
    e.options = static_cast<uint16_t>((e.options | arUpdateDone) & ~arDeleteDone);
    if (!AllocateUpdateBuffers(true)) return;

    ZipFileList entries{};
    FileMaskList matchAll{}, named{}, kept{};
    // An archive made by CreateZipFile counts as existing once an update has
    // been committed to it, so that a second update keeps the first one's
    // entries.
    const bool existing = !a.newArchive || a.updateCommitted;
    bool tablesHeld = false;
    auto finish = [&](bool failed) {
        DoneFileMaskList(&kept);
        FinishUpdate(&entries, &matchAll, &named, failed);
        if (tablesHeld) FreeCompressorTables();
    };

    BeginRewrite();
    if (Status() != 0) return finish(true);
    if (!AllocateCompressorTables()) {
        Fail(VX_OUT_OF_MEMORY);
        return finish(true);
    }
    tablesHeld = true;
    BuildCodeTables();

    if (existing) {
        SelectExistingEntries(&entries, &matchAll, masks, &kept);
        if (Status() != 0) return finish(true);
        AddFilesToExistingArchive(&entries, masks, &named, &kept);
    } else {
        ReleaseArchiveComment();
        a.end.commentLength = 0;
        AddFilesToArchive(&entries, masks, &named);
    }
    if (Status() != 0) return finish(true);

    WriteCentralDirectory(&entries);
    const bool failed = Status() != 0;
    finish(failed);
    if (!failed && Status() == 0) a.updateCommitted = true;
}

}  // namespace vardex
