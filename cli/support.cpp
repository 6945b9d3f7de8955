#include "support.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <thread>

#include "vardex32x.h"

namespace cli {

std::string EnginePath(const std::string& native) {
    std::string out = native;
    for (char& c : out)
        if (c == '/') c = '\\';
    return out;
}

std::string ReadArchiveComment(const std::string& archive) {
    FILE* f = fopen(archive.c_str(), "rb");
    if (!f) return {};
    // The end record (22 bytes) and a comment of at most 65,535 bytes.
    constexpr long kTail = 22 + 65535;
    std::string tail;
    if (fseek(f, 0, SEEK_END) == 0) {
        const long length = ftell(f);
        const long start = length > kTail ? length - kTail : 0;
        if (length > 0 && fseek(f, start, SEEK_SET) == 0) {
            tail.resize(static_cast<size_t>(length - start));
            tail.resize(fread(tail.data(), 1, tail.size(), f));
        }
    }
    fclose(f);
    // The last end signature whose record fits in the file.
    for (size_t i = tail.size() >= 22 ? tail.size() - 22 + 1 : 0; i-- > 0;) {
        if (memcmp(tail.data() + i, "PK\x05\x06", 4) != 0) continue;
        const auto* p = reinterpret_cast<const uint8_t*>(tail.data() + i);
        const size_t length = p[20] | (p[21] << 8);
        const size_t available = tail.size() - i - 22;
        return tail.substr(i + 22, length < available ? length : available);
    }
    return {};
}

bool MaskList::Append(const std::string& mask) { return AppendFileMask(EnginePath(mask).c_str(), &list_) != 0; }

std::string Printable(std::string_view text, bool keepNewlines) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (keepNewlines && c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        if (keepNewlines && (c == '\n' || c == '\t'))
            out += static_cast<char>(c);
        else
            out += (c < 0x20 || c == 0x7F) ? '?' : static_cast<char>(c);
    }
    return out;
}

namespace {

// Whether the directory holds nothing at all.
bool IsEmptyDirectory(const std::filesystem::path& dir) {
    std::error_code ec;
    return std::filesystem::directory_iterator(dir, ec) == std::filesystem::directory_iterator() && !ec;
}

void LeftOut(const char* command, const std::string& path, const char* why, int* leftOut) {
    fprintf(stderr, "vardex: %s: %s: %s, left out\n", command, Printable(path).c_str(), why);
    if (leftOut) ++*leftOut;
}

}  // namespace

bool CollectFiles(const std::string& path, std::vector<std::string>* files, const char* command, int* leftOut) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::file_status st = fs::status(path, ec);
    if (ec || !fs::exists(st) || !fs::is_directory(st)) {
        files->push_back(path);
        return true;
    }
    if (IsEmptyDirectory(path)) {
        std::string dir = path;
        while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
        files->push_back(dir);
        return true;
    }
    std::vector<std::string> found;
    for (auto it = fs::recursive_directory_iterator(path, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        const std::string name = it->path().string();
        std::error_code kind;
        const fs::file_status target = it->status(kind);  // follows links
        if (it->is_symlink(kind)) {
            // Links to files are followed, as zip does; a link to a directory
            // is not walked (it may lead anywhere, or in a circle).
            if (!fs::exists(target))
                LeftOut(command, name, "dangling link", leftOut);
            else if (fs::is_directory(target))
                LeftOut(command, name, "link to a directory", leftOut);
            else if (fs::is_regular_file(target))
                found.push_back(name);
            else
                LeftOut(command, name, "link to something other than a file", leftOut);
        } else if (fs::is_regular_file(target)) {
            found.push_back(name);
        } else if (fs::is_directory(target)) {
            // Directories with files come back through their files; an empty
            // one is named for an entry of its own.
            if (IsEmptyDirectory(it->path())) found.push_back(name);
        } else {
            LeftOut(command, name, "not a regular file", leftOut);
        }
    }
    if (ec) {
        fprintf(stderr, "vardex: %s: cannot walk %s: %s\n", command, Printable(path).c_str(), ec.message().c_str());
        return false;
    }
    std::sort(found.begin(), found.end());
    files->insert(files->end(), found.begin(), found.end());
    return true;
}

int ReportArchiveFailure(const char* command, const std::string& archive, uint16_t status) {
    std::string cause;
    struct stat st;
    if (stat(archive.c_str(), &st) != 0) {
        cause = strerror(errno);
    } else if (S_ISDIR(st.st_mode)) {
        cause = strerror(EISDIR);
    } else {
        const int fd = open(archive.c_str(), O_RDONLY);
        if (fd < 0)
            cause = strerror(errno);
        else
            close(fd);
    }
    fprintf(stderr, "vardex: %s: %s: %s%s%s (status %u)\n", command, Printable(archive).c_str(), cause.c_str(),
            cause.empty() ? "" : "; ", VxStatusText(status), status);
    return 1;
}

bool IsHelpOption(const char* arg) { return !strcmp(arg, "--help") || !strcmp(arg, "-h"); }

uint32_t DefaultThreadCount() {
    const unsigned cores = std::thread::hardware_concurrency();
    return cores == 0 ? 1 : cores > 64 ? 64 : cores;
}

bool ParseThreadCount(const char* text, uint32_t* threads) {
    if (!text || !*text) return false;
    char* end = nullptr;
    const unsigned long n = std::strtoul(text, &end, 10);
    if (*end != '\0' || text[0] == '-' || n < 1 || n > 64) return false;
    *threads = static_cast<uint32_t>(n);
    return true;
}

bool PathExists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

}  // namespace cli
