// A whole archive from arbitrary bytes: open it, list it, extract every entry
// into a scratch directory (with stored paths when the input's length is odd),
// close it, and remove what was written.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "engine_reset.h"
#include "vardex32.h"

namespace {

namespace fs = std::filesystem;

// The host's answer alternates between the password "x" and giving up, so
// that a wrong password is asked for once more and then refused (a host that
// answers forever is asked forever).
bool g_give = false;  // reset for every input

int32_t GivePassword(uint32_t, char* password, const char*) {
    bool& give = g_give;
    give = !give;
    std::strcpy(password, "x");
    return give ? 1 : 0;
}

// A fresh scratch directory for one input; the caller removes it.
fs::path MakeScratch() {
    static const std::string base = fs::exists("/dev/shm") ? "/dev/shm" : fs::temp_directory_path().string();
    std::string tmpl = base + "/vardex-archive-fuzz-XXXXXX";
    if (!mkdtemp(tmpl.data())) abort();
    return fs::path(tmpl);
}

std::string Engine(const fs::path& p) {
    std::string s = p.string();
    for (char& c : s)
        if (c == '/') c = '\\';
    return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    vxfuzz::ResetEngine();
    g_give = false;
    const fs::path scratch = MakeScratch();
    const fs::path archive = scratch / "in.zip";
    const fs::path out = scratch / "out";
    {
        std::ofstream f(archive, std::ios::binary | std::ios::trunc);
        f.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    fs::create_directories(out);

    InitZipFile(Engine(archive).c_str());
    if (GetArchiveStatus() == 0) {
        FileMaskList all;
        InitFileMaskList(&all);
        ZipFileList list;
        InitZipFileList(&list);
        BuildZipFileList(&list, &all);
        DoneZipFileList(&list);

        SetOutputPath((Engine(out) + "\\").c_str());
        if (size & 1)
            arOptionsOn(arUsePaths);
        else
            arOptionsOff(arUsePaths);
        SetSetCryptKeyProc(0, GivePassword);
        ExtractFileMaskListZip(&all);
        DoneFileMaskList(&all);
    }
    DoneZipFile();

    // Nothing may be written beside the output directory: a name that climbed
    // out of it would show up here.
    for (const fs::directory_entry& e : fs::directory_iterator(scratch)) {
        if (e.path() != archive && e.path() != out) abort();
    }
    std::error_code ignored;
    fs::remove_all(scratch, ignored);
    return 0;
}
