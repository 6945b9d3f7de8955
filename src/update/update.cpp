// The update driver: adds the files the host names to the open archive.
//
// The archive is rewritten as a whole.  For an existing archive every entry
// is carried over except those a named file replaces (the host is asked
// through OkToReplaceProc); the named files follow as new entries, in the
// order they were named.  The caller's list names files, not patterns.
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "api/engine.h"
#include "api/masks.h"
#include "api/names.h"
#include "api/paths.h"
#include "archive/archive.h"
#include "archive/records.h"
#include "archive/rewrite.h"
#include "deflate/deflate.h"
#include "platform/platform.h"
#include "update/ahead.h"
#include "update/update.h"
#include "vardex32x.h"

namespace vardex {

// The number of files an update may name at most: every entry needs a
// place in the 16-bit counts of the end record.
constexpr uint32_t kMaxNamedFiles = 0xFFFF;

// The stored name a given path gets: the drive, a UNC server and share and a
// leading backslash dropped; reduced to name.ext with arNoInputPath; the
// relative path put in front.
void MakeStoredName(const char* path, char* out);
// Drops what would let the name leave the extraction directory: leading
// separators, drives, "." and ".." components.
void CleanStoredName(const char* name, char* out);
// The named-file node of the list whose entry name equals name (up-cased
// comparison), or null.  Nodes that name no file ("" or "*...") are skipped.
const FileMask* FindNamedFile(const char* name, const FileMaskList* list);

// 0 replace, 1 keep, 2 stop.  sourcePath is the file that would replace the
// entry.
int ConfirmReplace(ZipFileEntry* entry, const char* sourcePath);

// The names of an entry list (exact), kept beside it so that a name is
// found without walking the list.
class EntryNames {
public:
    // False when memory runs out.
    bool Add(const char* name);
    void Remove(const char* name);
    bool Holds(const char* name) const { return counts_.count(name) != 0; }

private:
    std::unordered_map<std::string, uint32_t> counts_;
};

// False when an entry of that name is in the list already; otherwise true,
// with the new entry (or status 8 / 5 when it cannot be recorded).  `names`,
// when given, holds the list's names and is kept up to date.
bool AddEntryForFile(ZipFileList* entries, const FileMask* file, ZipFileEntry** added, EntryNames* names = nullptr);
// Whether the named file is the archive or the new archive being written,
// whatever the spelling of its path (links and ".." included).
bool IsArchiveItself(const FileMask* file);

// Reads the backup's entries into the list, copies those that stay and
// records the names the host kept.  Status on failure.
void SelectExistingEntries(Rewrite& rewrite, ZipFileList* entries, FileMaskList* matchAll, const FileMaskList* masks,
                           FileMaskList* kept);

void AddFilesToExistingArchive(const UpdateBuffers& buffers, const RunCompressor& compressor, ZipFileList* entries,
                               const FileMaskList* masks, FileMaskList* named, const FileMaskList* kept);

namespace {

constexpr uint16_t kVersionMadeBy = 20;
constexpr uint16_t kDefaultDosDate = (0 << 9) | (1 << 5) | 1;  // 1980-01-01
constexpr int64_t kMaxSourceSize = 0xFFFFFFFFll;

// A node names a file unless it names nothing (a directory alone) or its
// file-name part starts with '*'.  A dot-file (".gitignore") has only an
// extension and is a file like any other.
bool NamesFile(const FileMask* node) { return (node->name[0] != '\0' || node->ext[0] != '\0') && node->name[0] != '*'; }

void GivenPath(const FileMask* node, char* out) { MaskText(node, out); }

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

std::string UpperKey(const char* name) {
    char key[kTextField];
    UpperCase(name, key);
    return key;
}

// The names the host chose to keep, up-cased.  False when memory runs out.
bool CollectKept(const FileMaskList* kept, std::unordered_set<std::string>* keys) {
    if (!kept) return true;
    try {
        for (const FileMask* node = kept->first; node; node = node->next) {
            char text[kPathField];
            GivenPath(node, text);
            keys->insert(UpperKey(text));
        }
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

// Each caller mask that names a file becomes a node of the named-file list.
void BuildNamedList(const FileMaskList* masks, FileMaskList* named) {
    if (!masks) return;
    for (const FileMask* node = masks->first; node; node = node->next) {
        if (!NamesFile(node)) continue;
        char text[kPathField];
        MaskText(node, text);
        if (!AppendMask(text, named)) {
            SetStatus(VX_OUT_OF_MEMORY);
            return;
        }
    }
}

// Every file named needs an entry of its own: a list that no archive could
// hold is refused (VxTooManyEntries) before any file is read.
bool RefuseTooManyNamed(const FileMaskList* masks) {
    uint32_t count = 0;
    if (masks)
        for (const FileMask* node = masks->first; node; node = node->next)
            if (NamesFile(node)) ++count;
    if (count <= kMaxNamedFiles) return false;
    SetStatus(VxTooManyEntries);
    return true;
}

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
    entry->externalAttributes =
        (attributes == INVALID_FILE_ATTRIBUTES ? FILE_ATTRIBUTE_ARCHIVE : attributes) | (mode << 16);
}

// Names the file and its entry to SetFileNameProc: the full entry name
// behind a backslash, also when arStripPaths will shorten it, and for a
// directory with a backslash behind it too.
void ReportEntryName(const char* given, const char* source, bool directory) {
    const EngineState& e = engine();
    if (!e.fileNameProc) return;
    char full[kPathField], clean[kPathField], text[kPathField] = "\\";
    MakeStoredName(given, full);
    CleanStoredName(full, clean);
    AppendText(text, sizeof text, clean);
    if (directory) AppendText(text, sizeof text, "\\");
    e.fileNameProc.proc(e.fileNameProc.hostWord, source, text);
}

void AddDirectoryEntry(ZipFileEntry* entry, const char* given, const char* source) {
    uint16_t date = kDefaultDosDate, time = 0;
    DirectoryDosTime(source, &date, &time);
    if (platform::StoreNameAsUtf8(entry->name)) entry->flags |= kFlagUtf8Name;
    ReportEntryName(given, source, true);
    WriteDirectoryEntry(entry, date, time);
    entry->commentLength = 0;
    entry->diskNumberStart = 0;
    entry->internalAttributes = 0;
    SetHostAttributes(entry, source);
}

// With more than one thread and no password, the files the loop may deflate
// are compressed ahead on worker threads; the loop writes them in order.
std::unique_ptr<CompressAhead> StartCompressingAhead(const FileMaskList* named) {
    const EngineState& e = engine();
    if (e.threads <= 1 || e.passwordSet != 0 || !named->first || !named->first->next) return nullptr;
    std::vector<std::string> paths;
    for (const FileMask* file = named->first; file; file = file->next) {
        char source[kPathField];
        SourcePath(file, source);
        paths.emplace_back(IsArchiveItself(file) ? "" : source);
    }
    return std::make_unique<CompressAhead>(std::move(paths), e.threads, DeflateLevelOf(e.descriptor[9]));
}

// The per-file loop shared by the new-archive and existing-archive variants;
// gives the number of named files it dealt with.
uint32_t AddNamedFiles(const UpdateBuffers& buffers, const RunCompressor& compressor, ZipFileList* entries,
                       const FileMaskList* masks, FileMaskList* named, const FileMaskList* kept) {
    EngineState& e = engine();
    uint32_t handled = 0;
    BuildNamedList(masks, named);
    if (Status() != 0) return handled;
    if (RefuseTooManyNamed(masks)) return handled;

    // Names are looked up, not searched for: those of the entries so far and
    // those the host kept.
    EntryNames names;
    std::unordered_set<std::string> keptKeys;
    bool listed = CollectKept(kept, &keptKeys);
    for (const ZipFileEntry* entry = entries->first; entry && listed; entry = entry->next)
        listed = names.Add(entry->name);
    if (!listed) {
        SetStatus(VX_OUT_OF_MEMORY);
        return handled;
    }

    // Memory or a thread that cannot be had leaves the work to this thread.
    std::unique_ptr<CompressAhead> ahead;
    try {
        ahead = StartCompressingAhead(named);
    } catch (const std::exception&) {
        ahead.reset();
    }
    size_t index = 0;
    for (const FileMask* file = named->first; file; file = file->next, ++index) {
        char given[kPathField], source[kPathField], entryName[kPathField];
        GivenPath(file, given);
        SourcePath(file, source);
        EntryNameOfFile(file, entryName);
        // Without paths a directory entry would have no name.
        const bool directory = IsDirectorySource(source);
        const bool passOver = (kept && keptKeys.count(UpperKey(entryName)) != 0) || IsArchiveItself(file) ||
                              (directory && OptionsOn(arStripPaths));
        ZipFileEntry* entry = nullptr;
        bool duplicate = false;
        if (!passOver) {
            duplicate = !AddEntryForFile(entries, file, &entry, &names);
            if (!duplicate && Status() != 0) return handled;
        }
        if (directory && !passOver) {
            if (!duplicate) {
                AddDirectoryEntry(entry, given, source);
                if (Status() != 0) return handled;
            }
            ++handled;
            continue;
        }
        // A name already in the list is passed over, unless its file cannot
        // be read: an entry kept because its file was missing is reported
        // like any unreadable file (and stays when the host skips it).
        if (passOver || (duplicate && SourceReadable(source))) {
            ++handled;
            continue;
        }

        EntrySource open(buffers, compressor);
        open.fd = duplicate ? -1 : OpenSource(source);
        if (open.fd < 0) {
            SetStatus(VX_FILE_ERROR);
            if (!e.skipFileProc) return handled;
            if (e.skipFileProc.proc(e.skipFileProc.hostWord, source) == 2) {
                SetStatus(VX_CANCELLED);
                return handled;
            }
            SetStatus(0);
            if (entry) {
                names.Remove(entry->name);
                RemoveEntry(entries, entry);
            }
            continue;
        }
        // Sizes are 32-bit fields: a file that cannot be recorded stops the
        // update before any of it is read.
        const int64_t length = platform::FileLength(open.fd);
        if (length < 0 || length > kMaxSourceSize - (e.passwordSet ? 12 : 0)) {
            SetStatus(VX_FILE_ERROR);
            return handled;
        }
        uint16_t date = kDefaultDosDate, time = 0;
        if (GetDosDateTime(open.fd, &date, &time) != 0) {
            date = kDefaultDosDate;
            time = 0;
        }
        if (platform::StoreNameAsUtf8(entry->name)) entry->flags |= kFlagUtf8Name;

        ReportEntryName(given, source, false);

        WriteNewEntry(open, entry, date, time, ahead ? ahead->Take(index) : nullptr);
        const uint16_t status = Status();
        entry->commentLength = 0;
        entry->diskNumberStart = 0;
        entry->internalAttributes = open.textFlag;
        SetHostAttributes(entry, source);
        if (status != 0) return handled;
        ++handled;
    }
    return handled;
}

}  // namespace

void MakeStoredName(const char* path, char* out) {
    char drive[kPathField], dir[kPathField], name[kPathField], ext[kPathField];
    SplitPath(path, drive, dir, name, ext);
    char s[kPathField];
    CopyText(s, sizeof s, dir);
    AppendText(s, sizeof s, name);
    AppendText(s, sizeof s, ext);

    StripNamePrefix(s);

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
    // The same safe form extraction gives a name, so that an entry is
    // stored, listed and extracted under one name.
    CopyText(out, kPathField, name);
    MakeSafeName(out);
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

int ConfirmReplace(ZipFileEntry* entry, const char* sourcePath) {
    WIN32_FIND_DATAA found{};
    const platform::FindHandle search = platform::FindFirstFileA(sourcePath, &found);
    if (search == platform::kInvalidFind) return 0;
    platform::FindClose(search);
    // The named file is only read, so its attributes are left as they are
    // whatever the answer.
    switch (AskToReplace(*entry, found, Replacing::EntryByFile)) {
        case ReplaceAnswer::Replace:
        case ReplaceAnswer::ReplaceAsIs: return 0;
        case ReplaceAnswer::Keep: return 1;
        case ReplaceAnswer::Stop: return 2;
    }
    return 0;
}

bool EntryNames::Add(const char* name) {
    try {
        ++counts_[name];
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

void EntryNames::Remove(const char* name) {
    const auto it = counts_.find(name);
    if (it != counts_.end() && --it->second == 0) counts_.erase(it);
}

bool AddEntryForFile(ZipFileList* entries, const FileMask* file, ZipFileEntry** added, EntryNames* names) {
    *added = nullptr;
    char stored[kPathField];
    EntryNameOfFile(file, stored);
    // A path that leaves no name (such as "..\") cannot become an entry.
    if (stored[0] == '\0') return false;
    if (names) {
        if (names->Holds(stored)) return false;
    } else {
        for (const ZipFileEntry* entry = entries->first; entry; entry = entry->next)
            if (strcmp(entry->name, stored) == 0) return false;
    }
    if (entries->count == 0xFFFF) {
        // The 16-bit entry counts of the end record cannot hold another one.
        SetStatus(VX_FILE_ERROR);
        return true;
    }
    CentralFields fields{};
    *added = AddEntry(entries, fields, stored, nullptr, nullptr);
    if (!*added || (names && !names->Add(stored))) SetStatus(VX_OUT_OF_MEMORY);
    return true;
}

bool IsArchiveItself(const FileMask* file) {
    const Rewrite* rewrite = engine().rewrite.active;
    if (!rewrite) return false;
    // The file itself, not its spelling: "./a.zip", "../dir/a.zip", the
    // input path in front or a link all lead to the same device and inode.
    char source[kPathField];
    SourcePath(file, source);
    platform::FileIdentity identity{};
    return platform::PathIdentity(source, &identity) && rewrite->IsOwnFile(identity);
}

void SelectExistingEntries(Rewrite& rewrite, ZipFileList* entries, FileMaskList* matchAll, const FileMaskList* masks,
                           FileMaskList* kept) {
    ListArchiveEntries(entries, matchAll);
    // An archive without entries has nothing to carry over.
    if (Status() == VX_NOTHING_SELECTED) SetStatus(0);
    if (Status() != 0) return;

    // Each named file's entry name, made once: the first file of a name
    // counts, as when the list is searched from its start.
    std::unordered_map<std::string, const FileMask*> namedFiles;
    try {
        for (const FileMask* node = masks ? masks->first : nullptr; node; node = node->next) {
            if (!NamesFile(node)) continue;
            char given[kPathField], candidate[kPathField];
            GivenPath(node, given);
            EntryNameFor(given, candidate);
            namedFiles.emplace(UpperKey(candidate), node);
        }
    } catch (const std::bad_alloc&) {
        SetStatus(VX_OUT_OF_MEMORY);
        return;
    }

    for (ZipFileEntry* entry = entries->first; entry;) {
        ZipFileEntry* next = entry->next;
        const auto found = namedFiles.find(UpperKey(entry->name));
        const FileMask* named = found == namedFiles.end() ? nullptr : found->second;
        if (!named) {
            rewrite.CopyEntry(entry);
            if (Status() != 0) return;
        } else {
            char source[kPathField];
            SourcePath(named, source);
            // The named file is not there: the entry is kept rather than
            // dropped for a file that cannot be added (the add loop then
            // reports the file as unreadable).
            const int answer = platform::PathExists(source) ? ConfirmReplace(entry, source) : -1;
            if (answer == -1) {
                rewrite.CopyEntry(entry);
                if (Status() != 0) return;
                entry = next;
                continue;
            }
            switch (answer) {
                case 0: RemoveEntry(entries, entry); break;
                case 1:
                    rewrite.CopyEntry(entry);
                    if (Status() != 0) return;
                    if (!AppendMask(entry->name, kept)) {
                        SetStatus(VX_OUT_OF_MEMORY);
                        return;
                    }
                    break;
                default: SetStatus(VX_CANCELLED); return;
            }
        }
        entry = next;
    }
}

uint32_t AddFilesToArchive(const UpdateBuffers& buffers, const RunCompressor& compressor, ZipFileList* entries,
                           const FileMaskList* masks, FileMaskList* named) {
    return AddNamedFiles(buffers, compressor, entries, masks, named, nullptr);
}

void AddFilesToExistingArchive(const UpdateBuffers& buffers, const RunCompressor& compressor, ZipFileList* entries,
                               const FileMaskList* masks, FileMaskList* named, const FileMaskList* kept) {
    AddNamedFiles(buffers, compressor, entries, masks, named, kept);
}

void CompressFileMaskList(const FileMaskList* masks) {
    EngineState& e = engine();
    ArchiveState& a = e.archive;
    SetStatus(0);
    e.options = static_cast<uint16_t>((e.options | arUpdateDone) & ~arDeleteDone);
    if (RefuseTooManyNamed(masks)) return;
    UpdateBuffers buffers(true);
    if (!buffers.ok()) return;

    RunLists lists;
    Rewrite rewrite;
    if (!rewrite.Begin()) return;
    RunCompressor compressor;
    if (!compressor.ok()) return;

    // An archive made by CreateZipFile counts as existing once an update has
    // been committed to it (or another writer filled it meanwhile), so that
    // a second update keeps the first one's entries.
    const bool existing = !a.newArchive || a.updateCommitted;
    if (existing) {
        SelectExistingEntries(rewrite, &lists.entries, &lists.matchAll, masks, &lists.kept);
        if (Status() != 0) return;
        AddFilesToExistingArchive(buffers, compressor, &lists.entries, masks, &lists.named, &lists.kept);
    } else {
        ReleaseArchiveComment();
        a.end.commentLength = 0;
        AddFilesToArchive(buffers, compressor, &lists.entries, masks, &lists.named);
    }
    if (Status() != 0) return;

    rewrite.WriteCentralDirectory(&lists.entries);
    if (Status() != 0) return;
    rewrite.Commit();
    if (Status() == 0) a.updateCommitted = true;
}

}  // namespace vardex
