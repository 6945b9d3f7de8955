// At home on Unix: names every tool reads the same, file modes kept both
// ways, empty directories kept.  Peers (Python's zipfile, unzip, bsdtar, 7z,
// zip) judge what the engine writes and provide what it reads.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <zlib.h>

#include <cstring>
#include <string>
#include <vector>

#include "update_helpers.h"
#include "vardex32.h"

using namespace vxtest;

namespace {

using Bytes = std::vector<uint8_t>;

// One Stored entry with the given host system, flags, raw name and extra
// field, written by hand.
Bytes OneEntryArchive(uint8_t host, uint16_t flags, const std::string& name, const Bytes& extra) {
    const std::string data = "data";
    const uint32_t crc = static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytes::value_type*>(data.data()),
                                                     static_cast<uInt>(data.size())));
    Bytes zip, central;
    auto fields = [&](Bytes& b, bool withExtra) {
        Put16(b, flags);
        Put16(b, 0);
        Put16(b, 0x6000);
        Put16(b, 0x5A21);
        Put32(b, crc);
        Put32(b, static_cast<uint32_t>(data.size()));
        Put32(b, static_cast<uint32_t>(data.size()));
        Put16(b, static_cast<uint32_t>(name.size()));
        Put16(b, withExtra ? static_cast<uint32_t>(extra.size()) : 0);
    };
    Put32(zip, 0x04034b50);
    Put16(zip, 10);
    fields(zip, false);
    zip.insert(zip.end(), name.begin(), name.end());
    zip.insert(zip.end(), data.begin(), data.end());
    Put32(central, 0x02014b50);
    Put16(central, static_cast<uint32_t>(host << 8 | 30));
    Put16(central, 10);
    fields(central, true);
    Put16(central, 0);
    Put16(central, 0);
    Put16(central, 0);
    Put32(central, host == 3 ? 0100644u << 16 : 0x20);
    Put32(central, 0);
    central.insert(central.end(), name.begin(), name.end());
    central.insert(central.end(), extra.begin(), extra.end());
    const uint32_t centralOffset = static_cast<uint32_t>(zip.size());
    zip.insert(zip.end(), central.begin(), central.end());
    Put32(zip, 0x06054b50);
    Put32(zip, 0);
    Put16(zip, 1);
    Put16(zip, 1);
    Put32(zip, static_cast<uint32_t>(central.size()));
    Put32(zip, centralOffset);
    Put16(zip, 0);
    return zip;
}

// The Unicode path extra field for `unicode`, standing for the stored name
// whose CRC-32 is given.
Bytes UnicodePath(const std::string& unicode, uint32_t storedCrc) {
    Bytes b;
    Put16(b, 0x7075);
    Put16(b, static_cast<uint32_t>(5 + unicode.size()));
    b.push_back(1);
    Put32(b, storedCrc);
    b.insert(b.end(), unicode.begin(), unicode.end());
    return b;
}

uint32_t Crc(const std::string& s) {
    return static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytes::value_type*>(s.data()),
                                       static_cast<uInt>(s.size())));
}

// The one entry's working name and flags, as a host reads them.
std::string ListedName(const std::string& archive, uint16_t* flags = nullptr) {
    ResetEngine();
    InitZipFile(EnginePath(archive).c_str());
    EXPECT_EQ(GetArchiveStatus(), 0);
    ZipFileList list;
    InitZipFileList(&list);
    BuildZipFileList(&list, nullptr);
    std::string name = list.first ? list.first->name : "";
    if (flags && list.first) *flags = list.first->flags;
    DoneZipFileList(&list);
    DoneZipFile();
    return name;
}

const std::string kUtf8Name = "Gr\xC3\xBC\xC3\x9F" "e.txt";  // Grüße.txt
const std::string kCp437Name = "Gr\x81\xE1" "e.txt";         // Grüße.txt in CP437
const std::string kOtherName = "Gr\xC3\xB6\xC3\x9F" "e.txt"; // Größe.txt

struct NameCase {
    const char* what;
    uint8_t host;
    uint16_t flags;
    std::string stored;
    Bytes extra;
    std::string expected;
};

TEST(ForeignNames, DecodedByFlagUnicodeFieldHostAndCodePage) {
    const NameCase cases[] = {
        {"flag bit 11", 0, 0x0800, kUtf8Name, {}, kUtf8Name},
        {"Unix host, UTF-8 bytes, no flag", 3, 0, kUtf8Name, {}, kUtf8Name},
        {"DOS host, CP437 bytes", 0, 0, kCp437Name, {}, kUtf8Name},
        {"DOS host, UTF-8 bytes are CP437 there", 0, 0, kUtf8Name, {}, "Gr\xE2\x94\x9C\xE2\x95\x9D\xE2\x94\x9C\xC6\x92" "e.txt"},
        {"Unix host, not UTF-8: CP437", 3, 0, kCp437Name, {}, kUtf8Name},
        {"Unicode path field with matching CRC", 0, 0, kCp437Name, UnicodePath(kOtherName, Crc(kCp437Name)), kOtherName},
        {"Unicode path field with stale CRC", 0, 0, kCp437Name, UnicodePath(kOtherName, Crc("old.txt")), kUtf8Name},
        {"ASCII stays as it is", 3, 0, "plain/a.txt", {}, "plain/a.txt"},
    };
    for (const NameCase& c : cases) {
        TempDir dir;
        WriteFile(dir / "a.zip", OneEntryArchive(c.host, c.flags, c.stored, c.extra));
        std::string expected = c.expected;
        EXPECT_EQ(ListedName(dir / "a.zip"), expected) << c.what;
    }
}

TEST(ForeignNames, ARewriteKeepsTheStoredBytesOfAUnixName) {
    // A zip-made name without the flag survives a delete of another entry
    // byte for byte (now flagged as what it is).
    if (!HaveTool("zip")) GTEST_SKIP() << "zip not installed";
    TempDir dir;
    WriteFile(dir / kUtf8Name, std::string("umlauts"));
    WriteFile(dir / "other.txt", std::string("other"));
    ASSERT_EQ(Sh("cd " + Quote(dir.path()) + " && zip -q a.zip " + Quote(kUtf8Name) + " other.txt"), 0);
    ResetEngine();
    InitZipFile(EnginePath(dir / "a.zip").c_str());
    ASSERT_EQ(GetArchiveStatus(), 0);
    Masks other{"other.txt"};
    DeleteFileMaskListZip(other.get());
    EXPECT_EQ(GetArchiveStatus(), 0);
    DoneZipFile();
    EXPECT_EQ(PyNames(dir / "a.zip"), kUtf8Name + "\n");
    PyTestZip(dir / "a.zip");
}

// A tree with a non-ASCII name, modes that matter and an empty directory,
// added through the exports with paths.
void MakeTree(const TempDir& dir) {
    ASSERT_EQ(mkdir((dir / "src").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((dir / "src/empty").c_str(), 0750), 0);
    ASSERT_EQ(mkdir((dir / "src/sub").c_str(), 0755), 0);
    WriteFile(dir / ("src/" + kUtf8Name), std::string("private"));
    WriteFile(dir / "src/sub/run.sh", std::string("#!/bin/sh\necho ran\n"));
    WriteFile(dir / "src/plain.txt", std::string("plain"));
    chmod((dir / ("src/" + kUtf8Name)).c_str(), 0600);
    chmod((dir / "src/sub/run.sh").c_str(), 0755);
    chmod((dir / "src/plain.txt").c_str(), 0644);
}

void AddTree(const TempDir& dir) {
    ResetEngine();
    CreateZipFile(EnginePath(dir / "a.zip").c_str());
    ASSERT_EQ(GetArchiveStatus(), 0);
    SetInputPath(EnginePath(dir.path() + "/").c_str());
    Masks files{"src\\" + kUtf8Name, "src\\sub\\run.sh", "src\\plain.txt", "src\\empty"};
    CompressFileMaskListZip(files.get());
    EXPECT_EQ(GetArchiveStatus(), 0);
    DoneZipFile();
}

TEST(UnixMetadata, PeersReadOurNamesFlagsAndModes) {
    TempDir dir;
    MakeTree(dir);
    AddTree(dir);
    const std::string truth = Py(
        "import zipfile,sys\n"
        "for i in zipfile.ZipFile(sys.argv[1]).infolist():\n"
        "  print(i.filename, i.flag_bits & 0x800, i.create_system, oct(i.external_attr >> 16))",
        dir / "a.zip");
    EXPECT_EQ(truth, "src/" + kUtf8Name + " 2048 3 0o100600\n"
                     "src/sub/run.sh 0 3 0o100755\n"
                     "src/plain.txt 0 3 0o100644\n"
                     "src/empty/ 0 3 0o40750\n");
    PyTestZip(dir / "a.zip");

    // unzip, bsdtar and 7z extract the same names with the same modes.
    struct Peer {
        const char* tool;
        const char* command;
    };
    for (const Peer& p : {Peer{"unzip", "unzip -q ARCHIVE -d OUT"}, Peer{"bsdtar", "bsdtar -xpf ARCHIVE -C OUT"},
                          Peer{"7z", "7z x -y -bd -oOUT ARCHIVE >/dev/null"}}) {
        if (!HaveTool(p.tool)) continue;
        TempDir out;
        std::string command = p.command;
        command.replace(command.find("ARCHIVE"), 7, Quote(dir / "a.zip"));
        command.replace(command.find("OUT"), 3, Quote(out.path()));
        std::string log;
        ASSERT_EQ(Sh(command, &log), 0) << p.tool << ": " << log;
        struct stat st {};
        ASSERT_EQ(stat((out / ("src/" + kUtf8Name)).c_str(), &st), 0) << p.tool;
        EXPECT_EQ(st.st_mode & 0777, 0600u) << p.tool;
        ASSERT_EQ(stat((out / "src/sub/run.sh").c_str(), &st), 0) << p.tool;
        EXPECT_EQ(st.st_mode & 0777, 0755u) << p.tool;
        ASSERT_EQ(stat((out / "src/empty").c_str(), &st), 0) << p.tool;
        EXPECT_TRUE(S_ISDIR(st.st_mode)) << p.tool;
    }
}

uint16_t ExtractAllWithPaths(const std::string& archive, const std::string& out) {
    ResetEngine();
    InitZipFile(EnginePath(archive).c_str());
    if (GetArchiveStatus() != 0) return GetArchiveStatus();
    SetOutputPath(EnginePath(out + "/").c_str());
    arOptionsOn(arUsePaths);
    Masks all;
    ExtractFileMaskListZip(all.get());
    const uint16_t status = GetArchiveStatus();
    DoneZipFile();
    return status;
}

TEST(UnixMetadata, ZipMadeArchivesExtractWithTheirNamesModesAndEmptyDirectories) {
    if (!HaveTool("zip")) GTEST_SKIP() << "zip not installed";
    TempDir dir;
    MakeTree(dir);
    // setuid, setgid and sticky never come back from an archive.
    WriteFile(dir / "src/suid", std::string("s"));
    chmod((dir / "src/suid").c_str(), 06755);
    ASSERT_EQ(Sh("cd " + Quote(dir.path()) + " && zip -qr z.zip src"), 0);

    TempDir out;
    ASSERT_EQ(ExtractAllWithPaths(dir / "z.zip", out.path()), 0);
    struct Expect {
        std::string name;
        mode_t mode;
    };
    for (const Expect& x : {Expect{"src/" + kUtf8Name, 0600}, Expect{"src/sub/run.sh", 0755},
                            Expect{"src/plain.txt", 0644}, Expect{"src/suid", 0755}}) {
        struct stat st {};
        ASSERT_EQ(stat((out / x.name).c_str(), &st), 0) << x.name;
        EXPECT_EQ(st.st_mode & 07777, x.mode) << x.name;
    }
    struct stat st {};
    ASSERT_EQ(stat((out / "src/empty").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
}

TEST(UnixMetadata, OurArchivesRoundTripModesAndDirectories) {
    TempDir dir;
    MakeTree(dir);
    AddTree(dir);
    TempDir out;
    ASSERT_EQ(ExtractAllWithPaths(dir / "a.zip", out.path()), 0);
    struct stat st {};
    ASSERT_EQ(stat((out / "src/sub/run.sh").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0755u);
    ASSERT_EQ(stat((out / ("src/" + kUtf8Name)).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(stat((out / "src/empty").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
}

}  // namespace
