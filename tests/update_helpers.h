// Helpers shared by the update, delete and peer tests: mask lists, running
// an update or delete through the exports, and reading archives back with
// Python's zipfile (a peer nobody here wrote).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <sstream>
#include <string>
#include <vector>

#include "support/test_support.h"
#include "vardex32.h"

namespace vxtest {

// A FileMaskList built from texts, released at the end of the scope.
class Masks {
public:
    Masks() { InitFileMaskList(&list_); }
    Masks(std::initializer_list<std::string> masks) : Masks() {
        for (const std::string& m : masks) Add(m);
    }
    explicit Masks(const std::vector<std::string>& masks) : Masks() {
        for (const std::string& m : masks) Add(m);
    }
    ~Masks() { DoneFileMaskList(&list_); }
    Masks(const Masks&) = delete;
    Masks& operator=(const Masks&) = delete;
    void Add(const std::string& mask) { EXPECT_EQ(AppendFileMask(mask.c_str(), &list_), 1); }
    FileMaskList* get() { return &list_; }

private:
    FileMaskList list_;
};

// Run() under a name that test bodies (members of testing::Test, which has
// its own Run) can call.
inline int Sh(const std::string& command, std::string* output = nullptr) { return Run(command, output); }

// Runs a Python snippet with the archive path as sys.argv[1]; returns stdout.
inline std::string Py(const std::string& code, const std::string& archive, int* rc = nullptr) {
    std::string out;
    const int status = Run(Python() + " -c " + Quote(code) + " " + Quote(archive) + " 2>&1", &out);
    if (rc) *rc = status;
    return out;
}

// Entry names in central directory order, one per line.
inline std::string PyNames(const std::string& archive) {
    return Py("import zipfile,sys\nfor n in zipfile.ZipFile(sys.argv[1]).namelist(): print(n)", archive);
}

// Python's testzip over every entry (with an optional password).
inline bool PyTestZip(const std::string& archive, const std::string& password = "") {
    int rc = 0;
    const std::string out = Py(
        "import zipfile,sys\nz=zipfile.ZipFile(sys.argv[1])\n" +
            (password.empty() ? std::string() : "z.setpassword(b\"" + password + "\")\n") +
            "r=z.testzip()\nprint('BAD' if r else 'OK')",
        archive, &rc);
    if (rc != 0 || out != "OK\n") ADD_FAILURE() << "zipfile says: " << out;
    return rc == 0 && out == "OK\n";
}

// The content of one entry as Python reads it.
inline std::vector<uint8_t> PyRead(const std::string& archive, const std::string& name,
                                   const std::string& password = "") {
    TempDir tmp;
    const std::string out = tmp / "entry.bin";
    int rc = 0;
    Py("import zipfile,sys\nz=zipfile.ZipFile(sys.argv[1])\nopen(\"" + out + "\",\"wb\").write(z.read(\"" + name +
           "\"" + (password.empty() ? std::string() : ", pwd=b\"" + password + "\"") + "))",
       archive, &rc);
    EXPECT_EQ(rc, 0) << name;
    return FileExists(out) ? ReadFile(out) : std::vector<uint8_t>{};
}

// The raw bytes of an entry (local header from its signature to the end of
// its data) at the offset its central header gives.
inline std::vector<uint8_t> RawEntry(const std::string& archive, const std::string& name) {
    TempDir tmp;
    const std::string out = tmp / "raw.bin";
    Py("import zipfile,sys,struct\nz=zipfile.ZipFile(sys.argv[1])\ni=z.getinfo(\"" + name +
           "\")\nf=open(sys.argv[1],\"rb\")\nf.seek(i.header_offset)\nh=f.read(30)\nn,e=struct.unpack(\"<HH\",h[26:30])"
           "\nf.seek(i.header_offset+30+n+e)\nopen(\"" +
           out + "\",\"wb\").write(f.read(i.compress_size))",
       archive);
    return FileExists(out) ? ReadFile(out) : std::vector<uint8_t>{};
}

// Creates an archive with the named files (relative to dir, which becomes
// the input path) through the exports.  Returns the status.
inline uint16_t CreateArchive(const std::string& archive, const std::string& dir,
                              const std::vector<std::string>& files, const std::string& password = "") {
    ResetEngine();
    CreateZipFile(EnginePath(archive).c_str());
    if (GetArchiveStatus() != 0) return GetArchiveStatus();
    SetInputPath(EnginePath(dir).c_str());
    if (!password.empty()) SetCryptKey(password.c_str());
    Masks masks(files);
    CompressFileMaskListZip(masks.get());
    const uint16_t status = GetArchiveStatus();
    DoneZipFile();
    return status;
}

// Opens an existing archive, sets the input path and runs one update.
inline uint16_t UpdateArchive(const std::string& archive, const std::string& dir,
                              const std::vector<std::string>& files) {
    ResetEngine();
    InitZipFile(EnginePath(archive).c_str());
    if (GetArchiveStatus() != 0) return GetArchiveStatus();
    SetInputPath(EnginePath(dir).c_str());
    Masks masks(files);
    CompressFileMaskListZip(masks.get());
    const uint16_t status = GetArchiveStatus();
    DoneZipFile();
    return status;
}

inline std::string Lines(std::initializer_list<std::string> names) {
    std::string out;
    for (const std::string& n : names) out += n + "\n";
    return out;
}

}  // namespace vxtest
