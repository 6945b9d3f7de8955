// Archives written by the update are checked by peers nobody here wrote:
// unzip, 7z, bsdtar and Python's zipfile test them and extract them byte
// for byte, with and without a password.  Archives those peers wrote with
// data descriptors are updated and must stay readable by them.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "update_helpers.h"

using namespace vxtest;

namespace {

bool Sanitized() { return getenv("VARDEX_SANITIZED") != nullptr; }

struct Sample {
    std::string name;
    std::vector<uint8_t> data;
};

std::vector<Sample> Samples(bool withLarge) {
    std::vector<Sample> s = {
        {"empty.txt", {}},
        {"one.bin", {0x5A}},
        {"random.bin", RandomBytes(70000, 11)},  // does not compress: stored
        {"text.txt", TextBytes(300000, 12)},
    };
    if (withLarge) {
        // Over 25 MB, mostly compressible, with an incompressible stretch.
        std::vector<uint8_t> big = TextBytes(24 * 1024 * 1024, 13);
        const std::vector<uint8_t> noise = RandomBytes(2 * 1024 * 1024, 14);
        big.insert(big.begin() + 1000000, noise.begin(), noise.end());
        s.push_back({"large.dat", big});
    }
    return s;
}

// Tests the archive with every peer and compares what each extracts.
void CheckWithPeers(const std::string& archive, const std::vector<Sample>& samples, const std::string& password) {
    std::string out;
    const std::string p = password.empty() ? "" : " -P " + password;
    EXPECT_EQ(Sh("unzip -t" + p + " " + archive, &out), 0) << out;
    EXPECT_EQ(out.find("warning"), std::string::npos) << out;
    EXPECT_TRUE(PyTestZip(archive, password));
    if (HaveTool("7z")) {
        const std::string q = password.empty() ? "" : " -p" + password;
        EXPECT_EQ(Sh("7z t" + q + " " + archive, &out), 0) << out;
    }
    if (HaveTool("bsdtar")) {
        EXPECT_EQ(Sh("bsdtar -tf " + archive, &out), 0) << out;
        for (const Sample& s : samples) EXPECT_NE(out.find(s.name), std::string::npos) << s.name;
    }
    for (const Sample& s : samples) {
        SCOPED_TRACE(s.name);
        TempDir x;
        EXPECT_EQ(Sh("unzip -q" + p + " " + archive + " " + s.name + " -d " + x.path(), &out), 0) << out;
        EXPECT_EQ(ReadFile(x / s.name), s.data);
        EXPECT_EQ(PyRead(archive, s.name, password), s.data);
        if (HaveTool("7z")) {
            TempDir y;
            const std::string q = password.empty() ? "" : " -p" + password;
            EXPECT_EQ(Sh("7z x -y" + q + " -o" + y.path() + " " + archive + " " + s.name, &out), 0) << out;
            EXPECT_EQ(ReadFile(y / s.name), s.data);
        }
        if (HaveTool("bsdtar") && password.empty()) {
            TempDir z;
            EXPECT_EQ(Sh("bsdtar -xf " + archive + " -C " + z.path() + " " + s.name, &out), 0) << out;
            EXPECT_EQ(ReadFile(z / s.name), s.data);
        }
    }
}

TEST(UpdatePeers, NewArchivesPassEveryPeerWithAndWithoutPassword) {
    for (const std::string password : {"", "Geheim42"}) {
        SCOPED_TRACE(password);
        TempDir tmp;
        const std::vector<Sample> samples = Samples(password.empty() && !Sanitized());
        std::vector<std::string> names;
        for (const Sample& s : samples) {
            WriteFile(tmp / s.name, s.data);
            names.push_back(s.name);
        }
        const std::string archive = tmp / "peers.zip";
        ASSERT_EQ(CreateArchive(archive, tmp.path(), names, password), 0);
        CheckWithPeers(archive, samples, password);
        // Methods and flags as the writer sets them: the empty file is stored
        // and never encrypted; random data falls back to storing.
        const std::string f = password.empty() ? " 0 0" : " 1 12";
        EXPECT_EQ(Py("import zipfile,sys\nz=zipfile.ZipFile(sys.argv[1])\n"
                     "for n in (\"empty.txt\",\"one.bin\",\"random.bin\"):\n"
                     " i=z.getinfo(n); print(n, i.compress_type, i.flag_bits & 1, i.compress_size - i.file_size)",
                     archive),
                  "empty.txt 0 0 0\none.bin 0" + f + "\nrandom.bin 0" + f + "\n");
        EXPECT_NE(Py("import zipfile,sys\nprint(zipfile.ZipFile(sys.argv[1]).getinfo(\"text.txt\").compress_type)",
                     archive),
                  "0\n");
    }
}

TEST(UpdatePeers, StoreFallBackOnTheLastEntryLeavesNoStaleBytes) {
    TempDir tmp;
    // Deflate output of random data is a little longer than the data; the
    // abandoned pass reaches beyond the directory of the stored entry.
    WriteFile(tmp / "r.bin", RandomBytes(4 * 1024 * 1024, 21));
    const std::string archive = tmp / "r.zip";
    ASSERT_EQ(CreateArchive(archive, tmp.path(), {"r.bin"}), 0);
    const size_t expected = 30 + 5 + 4 * 1024 * 1024 + 46 + 5 + 22;
    EXPECT_EQ(ReadFile(archive).size(), expected);
    std::string out;
    EXPECT_EQ(Sh("unzip -t " + archive, &out), 0) << out;
    EXPECT_EQ(out.find("warning"), std::string::npos) << out;
}

// Archives written to a pipe carry data descriptors (flag bit 3); zip -e
// checks encrypted ones by the time byte.
TEST(UpdatePeers, EntriesWithDataDescriptorsStayReadableAfterAnUpdate) {
    for (const std::string password : {"", "pw"}) {
        SCOPED_TRACE(password);
        TempDir tmp;
        WriteFile(tmp / "s1.txt", TextBytes(20000, 31));
        WriteFile(tmp / "s2.bin", RandomBytes(3000, 32));
        WriteFile(tmp / "new.txt", TextBytes(500, 33));
        const std::string archive = tmp / "stream.zip";
        std::string out;
        const std::string p = password.empty() ? "" : " -P " + password;
        ASSERT_EQ(Sh("cd " + tmp.path() + " && zip -q" + p + " - s1.txt s2.bin | cat > " + archive, &out), 0) << out;
        ASSERT_EQ(Py("import zipfile,sys\nprint([i.flag_bits & 8 for i in zipfile.ZipFile(sys.argv[1]).infolist()])",
                     archive),
                  "[8, 8]\n");
        ASSERT_EQ(UpdateArchive(archive, tmp.path(), {"new.txt"}), 0);

        EXPECT_EQ(Sh("unzip -t" + p + " " + archive, &out), 0) << out;
        EXPECT_EQ(out.find("warning"), std::string::npos) << out;
        EXPECT_EQ(PyRead(archive, "s1.txt", password), TextBytes(20000, 31));
        EXPECT_EQ(PyRead(archive, "s2.bin", password), RandomBytes(3000, 32));
        if (HaveTool("7z")) {
            EXPECT_EQ(Sh("7z t" + (password.empty() ? std::string() : " -p" + password) + " " + archive, &out), 0)
                << out;
        }
        // Local and central flags agree; plain entries lose the descriptor
        // flag, encrypted ones keep it (with a descriptor behind their data).
        const std::string flags = Py(
            "import zipfile,sys,struct\nf=open(sys.argv[1],\"rb\")\n"
            "for i in zipfile.ZipFile(sys.argv[1]).infolist():\n"
            " f.seek(i.header_offset+6); print(i.filename, i.flag_bits & 8, struct.unpack(\"<H\",f.read(2))[0] & 8)",
            archive);
        const std::string d = password.empty() ? "0 0" : "8 8";
        EXPECT_EQ(flags, "s1.txt " + d + "\ns2.bin " + d + "\nnew.txt 0 0\n");
        // A streaming reader (bsdtar reads the local headers) sees the data.
        if (HaveTool("bsdtar") && password.empty()) {
            EXPECT_EQ(Sh("bsdtar -xOf - s1.txt < " + archive + " | cmp - " + tmp / "s1.txt", &out), 0) << out;
        }
    }
}

TEST(UpdatePeers, CliAddsDirectoriesAndDeletesWithMasks) {
    const std::string vardex = BinaryDir() + "/vardex";
    ASSERT_TRUE(FileExists(vardex)) << "vardex not built";
    TempDir tmp;
    ASSERT_EQ(system(("mkdir -p " + tmp / "tree/sub").c_str()), 0);
    WriteFile(tmp / "tree/a.txt", TextBytes(1000, 41));
    WriteFile(tmp / "tree/sub/b.bin", RandomBytes(1000, 42));
    const std::string archive = tmp / "cli.zip";
    std::string out;
    ASSERT_EQ(Sh(vardex + " add " + archive + " --relative " + tmp.path() + " --level 4 tree", &out), 0) << out;
    EXPECT_EQ(PyNames(archive), Lines({"tree/a.txt", "tree/sub/b.bin"}));
    // An existing entry is kept when the question gets no answer (and the
    // command says so and fails), replaced with --overwrite.
    WriteFile(tmp / "tree/a.txt", "changed");
    ASSERT_EQ(Sh(vardex + " add " + archive + " --relative " + tmp.path() + " tree/a.txt < /dev/null", &out), 1)
        << out;
    EXPECT_NE(out.find("kept"), std::string::npos) << out;
    EXPECT_EQ(PyRead(archive, "tree/a.txt"), TextBytes(1000, 41));
    ASSERT_EQ(
        Sh(vardex + " add " + archive + " --relative " + tmp.path() + " --overwrite --password=pw tree/a.txt", &out),
        0)
        << out;
    EXPECT_EQ(PyNames(archive), Lines({"tree/sub/b.bin", "tree/a.txt"}));
    EXPECT_EQ(Sh("unzip -P pw -t " + archive, &out), 0) << out;
    ASSERT_EQ(Sh(vardex + " delete " + archive + " 'tree/sub/*.*'", &out), 0) << out;
    EXPECT_EQ(PyNames(archive), "tree/a.txt\n");
    ASSERT_EQ(Sh(vardex + " delete " + archive + " 'tree/*.txt'", &out), 0) << out;
    EXPECT_FALSE(FileExists(archive));
    // A file that cannot be read is reported and makes the exit status 1.
    EXPECT_EQ(Sh(vardex + " add " + archive + " " + tmp / "missing.txt" + " " + tmp / "tree/a.txt", &out), 1);
    EXPECT_NE(out.find("cannot read"), std::string::npos) << out;
}

TEST(UpdatePeers, DemoAddsGeneratedFilesAndGetsThemBack) {
    const std::string vardex = BinaryDir() + "/vardex";
    ASSERT_TRUE(FileExists(vardex)) << "vardex not built";
    TempDir tmp;
    std::string out;
    ASSERT_EQ(Sh("TMPDIR='" + tmp.path() + "' " + vardex + " demo", &out), 0) << out;
    std::string demo;
    ASSERT_EQ(Sh("ls -d '" + tmp.path() + "'/vardex-demo-*", &demo), 0);
    demo.pop_back();
    // The files it generated come back the same through its own extraction,
    // through the self-extractor and through unzip; diff judges, not the demo.
    std::string count;
    Sh("cd '" + demo + "/generated' && find . -type f | wc -l", &count);
    EXPECT_EQ(atoi(count.c_str()), 4) << count;
    EXPECT_EQ(Sh("unzip -q '" + demo + "/added.zip' -d '" + demo + "/by-unzip'", &out), 0) << out;
    for (const char* copy : {"roundtrip", "from-sfx", "by-unzip"}) {
        EXPECT_EQ(Sh("diff -r '" + demo + "/generated' '" + demo + "/" + copy + "'", &out), 0) << copy << "\n" << out;
    }
}

}  // namespace
