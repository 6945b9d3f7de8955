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

#include <ctime>
#include "archive/records.h"
#include "common/crc32.h"
#include "head_terminal.h"
#include "platform/platform.h"
#include "sfx/blocks.h"
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

// The end record of the archive in fd, found as the library finds it, and
// only where an archive's end record can be: within the last 22 + 65,535
// bytes.  (The first volume of a split set has none there, though the
// program in front of it holds the signature's bytes.)
bool FindEndRecord(int fd, vardex::EndRecord* end) {
    const int64_t at = vardex::FindEndSignature(fd);
    const int64_t length = plat::FileLength(fd);
    uint8_t raw[vardex::kEndFieldsSize];
    if (at < 0 || length - (at - 4) > 22 + 65535 || !vardex::ReadExactlyAt(fd, at, raw, sizeof raw)) return false;
    *end = vardex::ParseEndRecord(raw);
    return true;
}

bool HasEndRecord(const std::string& path) {
    plat::ScopedFile f(plat::FileOpen(path.c_str(), plat::OpenMode::ReadOnly));
    vardex::EndRecord end;
    return f.fd >= 0 && FindEndRecord(f.fd, &end);
}

// Where the first entry starts: the local-header offset of the first central
// header, or the directory's own offset when it holds no entry.
int64_t HeadLength(const std::string& path) {
    plat::ScopedFile f(plat::FileOpen(path.c_str(), plat::OpenMode::ReadOnly));
    vardex::EndRecord end;
    if (f.fd < 0 || !FindEndRecord(f.fd, &end)) return -1;
    const int64_t central = end.centralOffset;
    if (end.entriesTotal == 0) return central;
    uint8_t header[46];
    if (!vardex::ReadExactlyAt(f.fd, central, header, sizeof header) ||
        memcmp(header, vardex::kCentralSignature, 4) != 0)
        return -1;
    const int64_t first = vardex::Le32(header + 42);
    return first <= central ? first : -1;
}

// Joins the first volume and the ones beside it into one temporary file.
std::string Reassemble(const std::string& first, std::string* error) {
    char tmp[MAX_PATH];
    if (!plat::GetTempPathA(sizeof tmp, tmp)) {
        *error = "no temporary directory";
        return "";
    }
    // A new file of its own in a shared directory: never one that is already
    // there, nor one reached through a link someone planted under the name.
    std::string joined;
    plat::ScopedFile out(-1);
    const unsigned long long stamp = static_cast<unsigned long long>(time(nullptr));
    for (unsigned attempt = 0; attempt < 100 && out.fd < 0; ++attempt) {
        joined = plat::NativePath(tmp) + "vardex-sfx-" + std::to_string(stamp) + "-" + std::to_string(attempt) + ".zip";
        out.fd = plat::FileCreateNew(joined.c_str());
    }
    if (out.fd < 0) {
        *error = "cannot create " + joined;
        return "";
    }
    std::vector<uint8_t> buf(65536);
    for (uint32_t volume = 1;; ++volume) {
        std::string name = volume == 1 ? first : sfx::VolumeName(first, volume);
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
        if (vardex::ReadExactlyAt(f.fd, headLength - sfx::kTrailerSize, t, sizeof t) &&
            !memcmp(t, sfx::kMagicTrailer, 8))
            trailer = sfx::kTrailerSize;
    }
    const int64_t blocksStart = headLength - trailer - sfx::kBlocksSize;
    if (blocksStart < 0) {
        *error = "the configuration of this self-extractor is missing";
        return false;
    }
    std::vector<uint8_t> stored(sfx::kBlocksSize), plain(sfx::kBlocksSize);
    if (!vardex::ReadExactlyAt(f.fd, blocksStart, stored.data(), sfx::kBlocksSize)) {
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
    if (!memcmp(a, sfx::kMagicSecond, 8) && !memcmp(c + sfx::kMagicCAt, sfx::kMagicC, 8)) {
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
    } else if (!memcmp(stored.data(), sfx::kMagicFirst, 8)) {
        plain = stored;  // first form: the blocks stay as the stub wrote them
        a = plain.data();
        c = a + sfx::kBlockASize + sfx::kBlockBSize;
    } else {
        *error = "the configuration of this self-extractor is damaged";
        return false;
    }
    // The program and the texts carry CRCs of their own, which catch every
    // change the design's checksum lets through.
    if (vardex::Le32(a + sfx::kProgramLengthAt) != blocksStart) {
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
    if (~programCrc != vardex::Le32(a + sfx::kProgramCrcAt) ||
        sfx::ConfigCrc(a, c, sfx::kBlockCSize) != vardex::Le32(a + sfx::kConfigCrcAt)) {
        *error = "the program or its configuration has been damaged or altered";
        return false;
    }
    config->flags = vardex::Le32(a + sfx::kFlagsAt);
    config->defaultDir = TextAt(a + sfx::kDefaultDirAt, 256);
    config->title = TextAt(a + sfx::kTitleAt, 256);
    config->message = TextAt(c + sfx::kMessageAt, sfx::kMessageSize);
    return true;
}

// Every central header must agree with its local header: same name bytes,
// method and, unless sizes follow the data, the same CRC-32 and sizes.  A
// damaged directory cannot then send a file to another name unnoticed.
bool CheckHeaders(const std::string& path, std::string* error) {
    plat::ScopedFile f(plat::FileOpen(path.c_str(), plat::OpenMode::ReadOnly));
    *error = "the archive's directory is damaged";
    vardex::EndRecord end;
    if (f.fd < 0 || !FindEndRecord(f.fd, &end)) return false;
    const uint32_t entries = end.entriesTotal;
    int64_t at = end.centralOffset;
    for (uint32_t k = 0; k < entries; ++k) {
        uint8_t c[46], l[30];
        if (!vardex::ReadExactlyAt(f.fd, at, c, sizeof c) || memcmp(c, "PK\x01\x02", 4) != 0) return false;
        const uint32_t nameLength = vardex::Le16(c + 28);
        const int64_t next = at + 46 + nameLength + vardex::Le16(c + 30) + vardex::Le16(c + 32);
        const int64_t local = vardex::Le32(c + 42);
        std::vector<uint8_t> centralName(nameLength), localName(nameLength);
        if (!vardex::ReadExactlyAt(f.fd, at + 46, centralName.data(), nameLength) ||
            !vardex::ReadExactlyAt(f.fd, local, l, sizeof l) || memcmp(l, "PK\x03\x04", 4) != 0 ||
            vardex::Le16(l + 26) != nameLength ||
            !vardex::ReadExactlyAt(f.fd, local + 30, localName.data(), nameLength) || centralName != localName ||
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
    return vxhead::Run(opt.list, opt.overwrite || (config.flags & sfx::kFlagOverwrite),
                       opt.dirGiven ? opt.dir : config.defaultDir, config.message);
}
