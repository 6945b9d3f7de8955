#include "support.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <algorithm>

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

bool CollectFiles(const std::string& path, std::vector<std::string>* files, const char* command) {
    std::error_code ec;
    const std::filesystem::file_status st = std::filesystem::status(path, ec);
    if (ec || !std::filesystem::exists(st) || !std::filesystem::is_directory(st)) {
        files->push_back(path);
        return true;
    }
    std::vector<std::string> found;
    for (auto it = std::filesystem::recursive_directory_iterator(path, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_regular_file(ec)) found.push_back(it->path().string());
    }
    if (ec) {
        fprintf(stderr, "vardex: %s: cannot walk %s: %s\n", command, Printable(path).c_str(), ec.message().c_str());
        return false;
    }
    std::sort(found.begin(), found.end());
    files->insert(files->end(), found.begin(), found.end());
    return true;
}

bool IsHelpOption(const char* arg) { return !strcmp(arg, "--help") || !strcmp(arg, "-h"); }

}  // namespace cli
