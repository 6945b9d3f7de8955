// The self-extractor head: the program at the front of a self-extracting
// archive.  It finds the archive behind itself (reassembling a split set from
// the volumes beside it), checks the configuration blocks the library sealed
// (checksum and recorded archive length), and extracts with the engine.
//
//   usage: ARCHIVE [-d DIR] [-l] [-o] [-h]
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <chrono>
#include "common/crc32.h"
#include "head_terminal.h"
#include "platform/platform.h"
#include "sfx/blocks.h"
#include "sfx_layout.h"
#include "vardex32.h"

namespace plat = vardex::platform;
namespace sfx = vardex::sfx;

namespace {

struct Options {
    std::string dir;
    bool dirGiven = false;
    bool list = false;
    bool overwrite = false;
};

struct Config {
    bool sealed = false;  // second form: checksum and length were verified
    uint32_t flags = 0;
    std::string defaultDir, title, message;
};

bool ReadAt(int fd, int64_t pos, uint8_t* out, uint32_t n) {
    return plat::FileSeek(fd, pos, SEEK_SET) == pos && plat::FileRead(fd, out, n) == static_cast<int32_t>(n);
}

// True when the file ends with an end-of-central-directory record somewhere
// in its last 64 KiB + 22 bytes.
bool HasEndRecord(const std::string& path) {
    plat::ScopedFile f(plat::FileOpen(path.c_str(), plat::OpenMode::ReadOnly));
    int64_t len = plat::FileLength(f.fd);
    if (len < 22) return false;
    int64_t from = len > 65557 ? len - 65557 : 0;
    std::vector<uint8_t> tail(static_cast<size_t>(len - from));
    if (!ReadAt(f.fd, from, tail.data(), static_cast<uint32_t>(tail.size()))) return false;
    for (size_t i = tail.size() - 22 + 1; i-- > 0;)
        if (tail[i] == 0x50 && tail[i + 1] == 0x4B && tail[i + 2] == 5 && tail[i + 3] == 6) return true;
    return false;
}

// Where the first entry starts: the local-header offset of the first central
// header, or the directory's own offset when it holds no entry.
int64_t HeadLength(const std::string& path) {
    plat::ScopedFile f(plat::FileOpen(path.c_str(), plat::OpenMode::ReadOnly));
    int64_t len = plat::FileLength(f.fd);
    if (len < 22) return -1;
    int64_t from = len > 65557 ? len - 65557 : 0;
    std::vector<uint8_t> tail(static_cast<size_t>(len - from));
    if (!ReadAt(f.fd, from, tail.data(), static_cast<uint32_t>(tail.size()))) return -1;
    for (size_t i = tail.size() - 22 + 1; i-- > 0;) {
        if (!(tail[i] == 0x50 && tail[i + 1] == 0x4B && tail[i + 2] == 5 && tail[i + 3] == 6)) continue;
        const uint32_t entries = tail[i + 10] | tail[i + 11] << 8;
        const int64_t central = korval::GetU32(&tail[i + 16]);
        if (entries == 0) return central;
        uint8_t header[46];
        if (!ReadAt(f.fd, central, header, sizeof header) || header[0] != 0x50 || header[1] != 0x4B || header[2] != 1 ||
            header[3] != 2)
            return -1;
        const int64_t first = korval::GetU32(header + 42);
        return first <= central ? first : -1;
    }
    return -1;
}

// Joins the first volume and the ones beside it into one temporary file.
std::string Reassemble(const std::string& first, std::string* error) {
    char tmp[MAX_PATH];
    if (!plat::GetTempPathA(sizeof tmp, tmp)) {
        *error = "no temporary directory";
        return "";
    }
    std::string joined = plat::NativePath(tmp) + "vardex-sfx-" +
                         std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) + ".zip";
    plat::ScopedFile out(plat::FileOpen(joined.c_str(), plat::OpenMode::Create));
    if (out.fd < 0) {
        *error = "cannot create " + joined;
        return "";
    }
    std::vector<uint8_t> buf(65536);
    for (uint32_t volume = 1;; ++volume) {
        std::string name = volume == 1 ? first : korval::VolumeName(first, volume);
        plat::ScopedFile in(plat::FileOpen(name.c_str(), plat::OpenMode::ReadOnly));
        if (in.fd < 0) {
            if (volume == 1)
                *error = "cannot read " + name;
            else
                *error = "volume " + std::to_string(volume) + " (" + name + ") is missing";
            break;
        }
        int32_t got;
        while ((got = plat::FileRead(in.fd, buf.data(), static_cast<uint32_t>(buf.size()))) > 0)
            if (plat::FileWrite(out.fd, buf.data(), static_cast<uint32_t>(got)) != got) {
                *error = "cannot write " + joined;
                plat::FileRemove(joined.c_str());
                return "";
            }
        // Volumes left over from an earlier, longer set are not joined on.
        if (HasEndRecord(joined)) return joined;
    }
    plat::FileRemove(joined.c_str());
    return "";
}

std::string TextAt(const uint8_t* p, size_t size) {
    return std::string(reinterpret_cast<const char*>(p), strnlen(reinterpret_cast<const char*>(p), size));
}

// Reads and checks the configuration at the end of the head.  headLength is
// where the first entry starts.
bool ReadConfig(const std::string& path, int64_t headLength, Config* config, std::string* error) {
    plat::ScopedFile f(plat::FileOpen(path.c_str(), plat::OpenMode::ReadOnly));
    const int64_t fileLength = plat::FileLength(f.fd);
    uint32_t trailer = 0;
    if (headLength >= sfx::kTrailerSize) {
        uint8_t t[sfx::kTrailerSize];
        if (ReadAt(f.fd, headLength - sfx::kTrailerSize, t, sizeof t) && !memcmp(t, korval::kMagicTrailer, 8))
            trailer = sfx::kTrailerSize;
    }
    const int64_t blocksStart = headLength - trailer - sfx::kBlocksSize;
    if (blocksStart < 0) {
        *error = "the configuration of this self-extractor is missing";
        return false;
    }
    std::vector<uint8_t> stored(sfx::kBlocksSize), plain(sfx::kBlocksSize);
    if (!ReadAt(f.fd, blocksStart, stored.data(), sfx::kBlocksSize)) {
        *error = "cannot read the configuration";
        return false;
    }
    sfx::KeyTables keys;
    sfx::PrepareKeyTables(keys);
    uint8_t* a = plain.data();
    uint8_t* b = a + sfx::kBlockASize;
    uint8_t* c = b + sfx::kBlockBSize;
    sfx::UnscrambleBlock(keys, a, stored.data(), sfx::kBlockASize);
    sfx::UnscrambleBlock(keys, b, stored.data() + sfx::kBlockASize, sfx::kBlockBSize);
    sfx::UnscrambleBlock(keys, c, stored.data() + sfx::kBlockASize + sfx::kBlockBSize, sfx::kBlockCSize);
    if (!memcmp(a, korval::kMagicSecond, 8) && !memcmp(c + korval::kMagicCAt, korval::kMagicC, 8)) {
        // Sealed by the library: verify the recorded length and the checksum.
        const uint32_t recordedLength = sfx::GetValue(b, sfx::kArchiveLengthPos);
        const uint32_t recordedSum = sfx::GetValue(b, sfx::kChecksumPos);
        if (fileLength - trailer != static_cast<int64_t>(recordedLength)) {
            *error = "the archive is damaged or incomplete (its length is not the recorded one)";
            return false;
        }
        for (int i = 0; i < 4; ++i) b[sfx::kChecksumPos.at[i]] = sfx::kChecksumPlaceholder[i];
        uint32_t sum = 0;
        if (!sfx::SealChecksum(f.fd, a, b, c, blocksStart, headLength, fileLength, &sum) || sum != recordedSum) {
            *error = "the archive is damaged or has been tampered with (checksum mismatch)";
            return false;
        }
        config->sealed = true;
    } else if (!memcmp(stored.data(), korval::kMagicFirst, 8)) {
        plain = stored;  // first form: the blocks stay as the stub wrote them
        a = plain.data();
        c = a + sfx::kBlockASize + sfx::kBlockBSize;
    } else {
        *error = "the configuration of this self-extractor is damaged";
        return false;
    }
    // The program and the texts carry CRCs of their own, which catch every
    // change the design's checksum lets through.
    if (korval::GetU32(a + korval::kProgramLengthAt) != blocksStart) {
        *error = "the configuration of this self-extractor is damaged";
        return false;
    }
    uint32_t programCrc = 0xFFFFFFFFu;
    {
        std::vector<uint8_t> piece(sfx::kPieceSize);
        if (plat::FileSeek(f.fd, 0, SEEK_SET) != 0) return false;
        for (int64_t at = 0; at < blocksStart;) {
            uint32_t n = static_cast<uint32_t>(blocksStart - at < sfx::kPieceSize ? blocksStart - at : sfx::kPieceSize);
            if (plat::FileRead(f.fd, piece.data(), n) != static_cast<int32_t>(n)) {
                *error = "cannot read this program's own file";
                return false;
            }
            programCrc = vardex::CrcUpdate(programCrc, piece.data(), n);
            at += n;
        }
    }
    if (~programCrc != korval::GetU32(a + korval::kProgramCrcAt) ||
        korval::ConfigCrc(a, c, sfx::kBlockCSize) != korval::GetU32(a + korval::kConfigCrcAt)) {
        *error = "the program or its configuration has been damaged or altered";
        return false;
    }
    config->flags = korval::GetU32(a + korval::kFlagsAt);
    config->defaultDir = TextAt(a + korval::kDefaultDirAt, 256);
    config->title = TextAt(a + korval::kTitleAt, 256);
    config->message = TextAt(c + korval::kMessageAt, korval::kMessageSize);
    return true;
}

// Every central header must agree with its local header: same name bytes,
// method and, unless sizes follow the data, the same CRC-32 and sizes.  A
// damaged directory cannot then send a file to another name unnoticed.
bool CheckHeaders(const std::string& path, std::string* error) {
    plat::ScopedFile f(plat::FileOpen(path.c_str(), plat::OpenMode::ReadOnly));
    const int64_t len = plat::FileLength(f.fd);
    int64_t from = len > 65557 ? len - 65557 : 0;
    std::vector<uint8_t> tail(static_cast<size_t>(len - from));
    if (len < 22 || !ReadAt(f.fd, from, tail.data(), static_cast<uint32_t>(tail.size()))) return false;
    size_t endAt = tail.size();
    for (size_t i = tail.size() - 22 + 1; i-- > 0;)
        if (tail[i] == 0x50 && tail[i + 1] == 0x4B && tail[i + 2] == 5 && tail[i + 3] == 6) {
            endAt = i;
            break;
        }
    *error = "the archive's directory is damaged";
    if (endAt == tail.size()) return false;
    const uint32_t entries = tail[endAt + 10] | tail[endAt + 11] << 8;
    int64_t at = korval::GetU32(&tail[endAt + 16]);
    for (uint32_t k = 0; k < entries; ++k) {
        uint8_t c[46], l[30];
        if (!ReadAt(f.fd, at, c, sizeof c) || memcmp(c, "PK\x01\x02", 4) != 0) return false;
        const uint32_t nameLength = c[28] | c[29] << 8;
        const int64_t next = at + 46 + nameLength + (c[30] | c[31] << 8) + (c[32] | c[33] << 8);
        const int64_t local = korval::GetU32(c + 42);
        std::vector<uint8_t> centralName(nameLength), localName(nameLength);
        if (!ReadAt(f.fd, at + 46, centralName.data(), nameLength) || !ReadAt(f.fd, local, l, sizeof l) ||
            memcmp(l, "PK\x03\x04", 4) != 0 || static_cast<uint32_t>(l[26] | l[27] << 8) != nameLength ||
            !ReadAt(f.fd, local + 30, localName.data(), nameLength) || centralName != localName ||
            memcmp(l + 8, c + 10, 2) != 0)
            return false;
        const bool sizesFollow = (c[8] & 8) != 0;
        if (!sizesFollow && memcmp(l + 14, c + 16, 12) != 0) return false;
        at = next;
    }
    error->clear();
    return true;
}

int Usage(const char* self) {
    printf(
        "usage: %s [-d DIR] [-l] [-o] [-h]\n"
        "  -d DIR  extract into DIR (default: the directory the archive names, else the current one)\n"
        "  -l      list the entries instead of extracting them\n"
        "  -o      overwrite existing files without asking\n",
        self);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "-d" && i + 1 < argc)
            opt.dir = argv[++i], opt.dirGiven = true;
        else if (a == "-l")
            opt.list = true;
        else if (a == "-o")
            opt.overwrite = true;
        else if (a == "-h" || a == "--help")
            return Usage(argv[0]);
        else {
            fprintf(stderr, "%s: unknown option '%s'\n", argv[0], argv[i]);
            return 2;
        }
    }
    char self[MAX_PATH];
    if (!plat::GetModuleFileNameA(nullptr, self, sizeof self)) {
        fprintf(stderr, "cannot find this program's own file\n");
        return 1;
    }
    std::string selfPath = plat::NativePath(self);
    std::string error;
    std::string archive = selfPath;
    std::string joined;
    if (!HasEndRecord(selfPath)) {
        joined = Reassemble(selfPath, &error);
        if (joined.empty()) {
            fprintf(stderr, "%s: %s\n", argv[0], error.c_str());
            return 1;
        }
        archive = joined;
    }
    struct Cleanup {
        std::string path;
        ~Cleanup() {
            DoneZipFile();
            if (!path.empty()) vardex::platform::FileRemove(path.c_str());
        }
    } cleanup{joined};

    const std::string enginePath = plat::EnginePath(archive.c_str());
    InitZipFile(enginePath.c_str());
    if (GetArchiveStatus() != 0) {
        fprintf(stderr, "%s: the archive behind this program cannot be read (status %u)\n", argv[0],
                GetArchiveStatus());
        return 1;
    }
    const int64_t headLength = HeadLength(archive);
    if (headLength < 0) {
        fprintf(stderr, "%s: the archive behind this program is damaged\n", argv[0]);
        return 1;
    }
    Config config;
    if (!ReadConfig(archive, headLength, &config, &error)) {
        fprintf(stderr, "%s: %s; nothing was extracted\n", argv[0], error.c_str());
        return 1;
    }
    if (!CheckHeaders(archive, &error)) {
        fprintf(stderr, "%s: %s; nothing was extracted\n", argv[0], error.c_str());
        return 1;
    }
    if (!config.title.empty()) printf("%s\n", config.title.c_str());
    return vxhead::Run(opt.list, opt.overwrite || (config.flags & korval::kFlagOverwrite),
                       opt.dirGiven ? opt.dir : config.defaultDir, config.message);
}
