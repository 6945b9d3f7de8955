// Archives written by other ZIP tools list here exactly as Python's zipfile
// reads them: through "vardex list" and through BuildZipFileList.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "api/engine.h"
#include "support/test_support.h"

using vxtest::TempDir;

namespace {

struct Listed {
    std::string name;
    uint32_t size = 0;
    uint32_t compressedSize = 0;
    std::string method;
    std::string crc;  // 8 hex digits
    std::string when;  // YYYY-MM-DD HH:MM:SS from the DOS date and time
    bool encrypted = false;
    uint16_t flags = 0;  // only known from Python

    bool operator==(const Listed& o) const {
        return name == o.name && size == o.size && compressedSize == o.compressedSize && method == o.method &&
               crc == o.crc && when == o.when && encrypted == o.encrypted;
    }
};

std::ostream& operator<<(std::ostream& out, const Listed& e) {
    return out << e.name << " " << e.size << "/" << e.compressedSize << " " << e.method << " " << e.crc << " "
               << e.when << (e.encrypted ? " *" : "");
}

std::string MethodName(unsigned method) {
    static const std::map<unsigned, std::string> names = {{0, "Stored"},   {1, "Shrunk"},   {2, "Reduced1"},
                                                          {3, "Reduced2"}, {4, "Reduced3"}, {5, "Reduced4"},
                                                          {6, "Imploded"}, {8, "Deflated"}};
    auto it = names.find(method);
    return it != names.end() ? it->second : std::to_string(method);
}

std::string Hex8(uint32_t v) {
    char buf[9];
    snprintf(buf, sizeof buf, "%08x", v);
    return buf;
}

const char kZipfileTruth[] = R"(import sys, zipfile
z = zipfile.ZipFile(sys.argv[1])
print("COMMENT", z.comment.hex())
for i in z.infolist():
    when = "%04d-%02d-%02d %02d:%02d:%02d" % i.date_time
    print(f"{i.filename}\t{i.file_size}\t{i.compress_size}\t{i.compress_type}\t{i.CRC:08x}\t{i.flag_bits}\t{when}")
)";

// What Python's zipfile reads from the archive: the entries and the comment.
std::vector<Listed> ZipfileTruth(const TempDir& dir, const std::string& archive, std::string* comment) {
    vxtest::WriteFile(dir / "truth.py", std::string(kZipfileTruth));
    std::string out;
    EXPECT_EQ(vxtest::Run(vxtest::Python() + " '" + (dir / "truth.py") + "' '" + archive + "'", &out), 0) << out;
    std::vector<Listed> entries;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind("COMMENT ", 0) == 0) {
            comment->clear();
            for (size_t i = 8; i + 1 < line.size(); i += 2)
                comment->push_back(static_cast<char>(std::stoi(line.substr(i, 2), nullptr, 16)));
            continue;
        }
        std::vector<std::string> f;
        std::istringstream fields(line);
        for (std::string part; std::getline(fields, part, '\t');) f.push_back(part);
        if (f.size() != 7) continue;
        Listed e;
        e.name = f[0];
        e.size = static_cast<uint32_t>(std::stoul(f[1]));
        e.compressedSize = static_cast<uint32_t>(std::stoul(f[2]));
        e.method = MethodName(static_cast<unsigned>(std::stoul(f[3])));
        e.crc = f[4];
        e.flags = static_cast<uint16_t>(std::stoul(f[5]));
        e.when = f[6];
        e.encrypted = (e.flags & 1) != 0;
        entries.push_back(e);
    }
    return entries;
}

// The totals line under the listing: both sizes and the entry count.
struct Totals {
    uint64_t size = 0, compressedSize = 0;
    size_t entries = 0;
    bool operator==(const Totals& o) const {
        return size == o.size && compressedSize == o.compressedSize && entries == o.entries;
    }
};

std::ostream& operator<<(std::ostream& out, const Totals& t) {
    return out << t.size << "/" << t.compressedSize << " in " << t.entries;
}

Totals Sum(const std::vector<Listed>& entries) {
    Totals t;
    for (const Listed& e : entries) t.size += e.size, t.compressedSize += e.compressedSize;
    t.entries = entries.size();
    return t;
}

// The entries as "vardex list" prints them, the comment it shows and its totals.
std::vector<Listed> CliListing(const std::string& archive, std::string* comment, Totals* totals) {
    std::string out;
    EXPECT_EQ(vxtest::Run("'" + vxtest::BinaryDir() + "/vardex' list '" + archive + "'", &out), 0) << out;
    std::vector<Listed> entries;
    std::istringstream lines(out);
    std::string line;
    int rules = 0;
    comment->clear();
    bool inComment = false;
    while (std::getline(lines, line)) {
        if (inComment) {
            *comment += (comment->empty() ? "" : "\n") + line;
            continue;
        }
        if (line == "Archive comment:") inComment = true;
        if (line.rfind("----------  ----------", 0) == 0) {
            ++rules;
            continue;
        }
        if (rules == 2 && !line.empty()) {
            std::istringstream fields(line);
            std::string word;
            fields >> totals->size >> totals->compressedSize >> totals->entries >> word;
            rules = 3;
        }
        if (rules != 1) continue;
        Listed e;
        std::istringstream fields(line.substr(0, 67));
        std::string date, time, crc;
        fields >> e.size >> e.compressedSize >> e.method >> date >> time >> crc;
        e.when = date + " " + time;
        e.encrypted = crc.size() == 9 && crc[8] == '*';
        e.crc = crc.substr(0, 8);
        e.name = line.size() > 67 ? line.substr(67) : "";
        entries.push_back(e);
    }
    return entries;
}

// The entries as BuildZipFileList gives them to a host.
std::vector<Listed> EngineListing(const std::string& archive, uint32_t* firstEntryOffset) {
    vxtest::ResetEngine();
    InitZipFile(vxtest::EnginePath(archive).c_str());
    EXPECT_EQ(GetArchiveStatus(), 0);
    *firstEntryOffset = vardex::engine().archive.firstEntryOffset;
    ZipFileList list;
    InitZipFileList(&list);
    FileMaskList masks;
    InitFileMaskList(&masks);
    BuildZipFileList(&list, &masks);
    EXPECT_EQ(GetArchiveStatus(), 0);
    std::vector<Listed> entries;
    for (const ZipFileEntry* e = list.first; e; e = e->next) {
        Listed l;
        l.name = e->name;
        l.size = e->uncompressedSize;
        l.compressedSize = e->compressedSize;
        l.method = MethodName(e->method);
        l.crc = Hex8(e->crc32);
        char when[32];
        snprintf(when, sizeof when, "%04u-%02u-%02u %02u:%02u:%02u", 1980u + (e->date >> 9), (e->date >> 5) & 15u,
                 e->date & 31u, static_cast<unsigned>(e->time >> 11), (e->time >> 5) & 63u, (e->time & 31u) * 2);
        l.when = when;
        l.encrypted = (e->flags & 1) != 0;
        entries.push_back(l);
    }
    DoneZipFileList(&list);
    DoneFileMaskList(&masks);
    DoneZipFile();
    return entries;
}

// Writes an archive with Python's zipfile: a stored and a deflated entry,
// names that need bit 11 (UTF-8), and one name stored in CP437 without it.
const char kZipfileWriter[] = R"(import sys, zipfile
path = sys.argv[1]
with zipfile.ZipFile(path, "w") as z:
    z.writestr(zipfile.ZipInfo("stored.txt", (2001, 2, 3, 4, 5, 6)), b"stored " * 50)
    z.writestr("deflated.txt", b"deflated text " * 300, compress_type=zipfile.ZIP_DEFLATED)
    z.writestr("na\u00efve/\u65e5\u672c\u8a9e.txt", b"utf-8 name", compress_type=zipfile.ZIP_DEFLATED)
    z.writestr("Gr\u00fc\u00dfe.txt", b"more", compress_type=zipfile.ZIP_STORED)
    z.writestr("menu_Q.txt", b"cp437 name")
    z.comment = b"written by zipfile"
data = open(path, "rb").read()
# The same name in CP437 (0x82 is e-acute), flag bit 11 left clear.
data = data.replace(b"menu_Q.txt", b"menu_\x82.txt")
open(path, "wb").write(data)
)";

struct PeerCase {
    const char* what;
    const char* tool;
    std::string recipe;         // shell commands run in the work directory; write out.zip
    uint16_t flagSeen = 0;      // a flag bit at least one entry must carry (shows the case is what it says)
    uint32_t prefixBytes = 0;   // bytes in front of the first entry
};

class ListPeers : public ::testing::TestWithParam<PeerCase> {};

TEST_P(ListPeers, ListsWhatZipfileReads) {
    const PeerCase& c = GetParam();
    ASSERT_TRUE(vxtest::HaveTool(c.tool)) << c.tool;
    ASSERT_TRUE(vxtest::FileExists(vxtest::BinaryDir() + "/vardex"));
    TempDir dir;
    vxtest::WriteFile(dir / "a.txt", vxtest::TextBytes(5000, 1));
    vxtest::WriteFile(dir / "b.bin", vxtest::RandomBytes(3000, 2));
    mkdir((dir / "sub").c_str(), 0755);
    vxtest::WriteFile(dir / "sub/c.txt", std::string("a small file\n"));
    vxtest::WriteFile(dir / "\xc3\xbc.txt", std::string("u umlaut\n"));
    vxtest::WriteFile(dir / "writer.py", std::string(kZipfileWriter));
    std::string out;
    ASSERT_EQ(vxtest::Run("cd '" + dir.path() + "' && " + c.recipe, &out), 0) << out;
    const std::string archive = dir / "out.zip";

    std::string truthComment, cliComment;
    const std::vector<Listed> truth = ZipfileTruth(dir, archive, &truthComment);
    ASSERT_FALSE(truth.empty());
    if (c.flagSeen) {
        bool seen = false;
        for (const Listed& e : truth) seen = seen || (e.flags & c.flagSeen);
        EXPECT_TRUE(seen) << "no entry has flag " << c.flagSeen;
    }

    Totals totals;
    EXPECT_EQ(CliListing(archive, &cliComment, &totals), truth);
    EXPECT_EQ(totals, Sum(truth));
    EXPECT_EQ(cliComment, truthComment);
    uint32_t firstEntryOffset = 0;
    EXPECT_EQ(EngineListing(archive, &firstEntryOffset), truth);
    EXPECT_EQ(firstEntryOffset, c.prefixBytes);
}

const PeerCase kPeerCases[] = {
    {"zip_comment_and_extra_fields", "zip",
     "zip -q -r out.zip a.txt b.bin sub && echo 'a comment from zip -z' | zip -q -z out.zip"},
    {"zip_streaming_with_data_descriptors", "zip", "zip -q - a.txt b.bin sub/c.txt | cat > out.zip", 0x0008},
    {"zip_from_stdin", "zip", "cat a.txt | zip -q - - | cat > out.zip", 0x0008},
    // Written straight to a file, zip adds a Zip64 end record and locator in
    // front of the end record; the directory ends there.
    {"zip_from_stdin_with_zip64_end_record", "zip", "cat a.txt | zip -q - - > out.zip"},
    {"zip_encrypted", "zip", "zip -q -P secret out.zip a.txt sub/c.txt", 0x0001},
    {"zipfile_stored_deflated_utf8_and_cp437_names", "python3", vxtest::Python() + " writer.py out.zip", 0x0800},
    {"7z_deflate", "7z", "7z a -tzip -bd out.zip a.txt b.bin sub \xc3\xbc.txt >/dev/null"},
    {"7z_bzip2_method_shown_as_number", "7z", "7z a -tzip -mm=BZip2 -bd out.zip a.txt >/dev/null"},
    {"bytes_in_front_adjusted_by_zip_A", "zip",
     "zip -q out0.zip a.txt sub/c.txt && head -c 777 b.bin > out.zip && cat out0.zip >> out.zip && "
     "zip -q -A out.zip",
     0, 777},
    // A directory of about 1 MB: read in several blocks, with headers, names,
    // extra fields and comments cut across the blocks' edges.
    {"zipfile_directory_larger_than_a_read_block", "python3",
     vxtest::Python() +
         " -c 'import zipfile\nwith zipfile.ZipFile(\"out.zip\", \"w\") as z:\n"
         "  for i in range(6000):\n"
         "    n = \"dir%03d/\" % (i % 97) + \"long-name-\" * (i % 13) + \"entry%05d.txt\" % i\n"
         "    info = zipfile.ZipInfo(n, (2020, 1, 1, 0, 0, 0))\n"
         "    info.comment = b\"c\" * (i % 41)\n"
         "    info.extra = b\"\\xfe\\xca\" + bytes([i % 29, 0]) + b\"x\" * (i % 29)\n"
         "    z.writestr(info, b\"%d\" % i)\n'"},
};

INSTANTIATE_TEST_SUITE_P(Peers, ListPeers, ::testing::ValuesIn(kPeerCases),
                         [](const ::testing::TestParamInfo<PeerCase>& info) { return std::string(info.param.what); });

}  // namespace
