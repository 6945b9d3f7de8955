// Small helpers shared by the commands.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "vardex32.h"
#include "windows_compat.h"

namespace cli {

// The engine's form of a native path: '/' becomes '\'.
std::string EnginePath(const std::string& native);

// The archive comment as stored in the file's end record, read directly from
// the file (the engine keeps it to itself).  Empty when there is none.
std::string ReadArchiveComment(const std::string& archive);

// A file mask list that releases itself.
class MaskList {
public:
    MaskList() { InitFileMaskList(&list_); }
    ~MaskList() { DoneFileMaskList(&list_); }
    MaskList(const MaskList&) = delete;
    MaskList& operator=(const MaskList&) = delete;
    // False when memory runs out (status 8).
    bool Append(const std::string& mask);
    FileMaskList* get() { return &list_; }

private:
    FileMaskList list_;
};

// An entry list that releases itself.
class EntryList {
public:
    EntryList() { InitZipFileList(&list_); }
    ~EntryList() { DoneZipFileList(&list_); }
    EntryList(const EntryList&) = delete;
    EntryList& operator=(const EntryList&) = delete;
    ZipFileList* get() { return &list_; }

private:
    ZipFileList list_;
};

// A name made safe for a terminal: control characters become '?'.
std::string Printable(std::string_view text, bool keepNewlines = false);

// The files a PATH names: the file itself, or every regular file under a
// directory and every empty directory (in name order, so that archives come
// out the same each time).  Links to files are followed; links to
// directories, dangling links and special files are named on stderr and
// counted in *leftOut.  A path that does not exist is passed on, for the
// library to report.  False (with a message naming the command) when a
// directory cannot be walked.
bool CollectFiles(const std::string& path, std::vector<std::string>* files, const char* command,
                  int* leftOut = nullptr);

// Reports an archive that cannot be opened or read: the system's cause when
// there is one ("No such file or directory"), then the status in words.
// Returns exit status 1.
int ReportArchiveFailure(const char* command, const std::string& archive, uint16_t status);

// True when something exists at the path.
bool PathExists(const std::string& path);

// True when the argument asks for help.
bool IsHelpOption(const char* arg);

// The number of threads to compress on: the processor's cores unless
// --threads says otherwise.
uint32_t DefaultThreadCount();
// "--threads N": N from 1 to 64.  False for anything else.
bool ParseThreadCount(const char* text, uint32_t* threads);

}  // namespace cli
