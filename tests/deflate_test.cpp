// The Deflate compressor: streams that zlib decodes to the input, the
// encoder's own decisions (block types, trees, runs, matches), encryption,
// failures, and a golden hash of its output.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <utility>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "support/deflate_support.h"
#include "support/sha256.h"
#include "support/test_support.h"

using vxtest::DeflateMemory;
using vxtest::DeflateRun;
namespace dfl = vardex::deflate;

namespace {

class Deflate : public ::testing::Test {
protected:
    void SetUp() override { vxtest::ResetEngine(); }
};

std::vector<uint8_t> Repeat(uint8_t byte, size_t n) { return std::vector<uint8_t>(n, byte); }

std::vector<uint8_t> Concat(std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// Every input at every level decodes with zlib to exactly itself, and the
// reported size is the stream's length.
TEST_F(Deflate, EveryStreamInflatesToTheInputAtEveryLevel) {
    struct Case {
        const char* name;
        std::vector<uint8_t> input;
    };
    const std::vector<Case> cases = {
        {"empty", {}},
        {"one byte", {'A'}},
        {"two bytes", {0x00, 0xFF}},
        {"run of one byte", Repeat('z', 100000)},
        {"text", vxtest::TextBytes(50000, 1)},
        {"binary", vxtest::RandomBytes(3000, 2)},
        {"incompressible", vxtest::RandomBytes(200000, 3)},
        {"below slide", vxtest::TextBytes(65273, 4)},
        {"at slide", vxtest::TextBytes(65274, 5)},
        {"above slide", vxtest::TextBytes(65275, 6)},
        {"random at slide", vxtest::RandomBytes(65274, 7)},
        {"random above slide", vxtest::RandomBytes(65536 + 1, 8)},
        {"full buffers", vxtest::TextBytes(1500000, 9)},
        {"mixed", Concat({vxtest::RandomBytes(40000, 10), vxtest::TextBytes(70000, 11), Repeat(0, 50000),
                          vxtest::RandomBytes(30000, 12), vxtest::TextBytes(40000, 13)})},
    };
    for (uint32_t level = 1; level <= 4; ++level) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.name) + " level " + std::to_string(level));
            DeflateRun run = DeflateMemory(c.input, level);
            ASSERT_EQ(run.status, 0);
            EXPECT_EQ(run.outcome.compressedSize, run.stream.size());
            EXPECT_EQ(run.outcome.crc, crc32(0, c.input.data(), static_cast<uInt>(c.input.size())));
            std::vector<uint8_t> decoded;
            ASSERT_TRUE(vxtest::ZlibInflate(run.stream, &decoded));
            EXPECT_TRUE(decoded == c.input);
        }
    }
}

TEST_F(Deflate, EmptyInputIsOneFixedBlockOfTwoBytes) {
    DeflateRun run = DeflateMemory({}, 1);
    ASSERT_EQ(run.status, 0);
    EXPECT_EQ(run.stream, (std::vector<uint8_t>{0x03, 0x00}));
    EXPECT_EQ(run.outcome.compressedSize, 2u);
    EXPECT_EQ(run.outcome.crc, 0u);
}


// ---------------------------------------------------------------------------
// What the blocks held and how they were sent, collected through the block
// observer while a stream is made.
// ---------------------------------------------------------------------------
struct Match {
    uint32_t distance;
    uint32_t length;
};

struct ObservedBlock {
    dfl::BlockType type;
    int64_t fixedBytes;
    int64_t dynamicBytes;
    uint32_t storedLength;
    bool inWindow;
    uint32_t literals = 0;
    std::vector<Match> matches;
};

class BlockLog {
public:
    BlockLog() { dfl::SetBlockObserverForTesting(&BlockLog::Observe, this); }
    ~BlockLog() { dfl::SetBlockObserverForTesting(nullptr, nullptr); }
    std::vector<ObservedBlock> blocks;

private:
    static void Observe(const dfl::BlockReport& r, void* context) {
        ObservedBlock b{r.type, r.fixedBytes, r.dynamicBytes, r.storedLength, r.inWindow, 0, {}};
        const dfl::BlockTables& t = *r.tables;
        uint32_t dx = 0;
        for (uint32_t i = 0; i < t.symbolCount; ++i) {
            if ((t.flags[i >> 3] >> (i & 7)) & 1) {
                b.matches.push_back({t.distances[dx++] + 1u, t.literals[i] + 3u});
            } else {
                b.literals++;
            }
        }
        static_cast<BlockLog*>(context)->blocks.push_back(std::move(b));
    }
};

// Random lower-case letters: text by the guess, yet mostly literals.
std::vector<uint8_t> Letters(size_t n, uint32_t seed) {
    std::vector<uint8_t> v = vxtest::RandomBytes(n, seed);
    for (auto& b : v) b = static_cast<uint8_t>('a' + b % 26);
    return v;
}

TEST_F(Deflate, MatchesStayWithinTheRulesAtEveryLevel) {
    // A run, text with far repeats, and data that slides the window.
    std::vector<uint8_t> text = vxtest::TextBytes(120000, 21);
    std::vector<uint8_t> input = Concat({Repeat(7, 5000), text, vxtest::RandomBytes(20000, 22), text});
    for (uint32_t level = 1; level <= 4; ++level) {
        SCOPED_TRACE("level " + std::to_string(level));
        BlockLog log;
        DeflateRun run = DeflateMemory(input, level);
        ASSERT_EQ(run.status, 0);
        size_t covered = 0;
        for (const auto& b : log.blocks) {
            covered += b.literals;
            for (const auto& m : b.matches) {
                covered += m.length;
                EXPECT_GE(m.length, 3u);
                EXPECT_LE(m.length, 258u);
                EXPECT_LE(m.distance, 32506u);
                if (m.length == 3) {
                    EXPECT_LE(m.distance, 4096u);
                }
            }
        }
        EXPECT_EQ(covered, input.size());
        // The opening run: one literal, then matches at distance 1 of 258.
        ASSERT_FALSE(log.blocks.empty());
        ASSERT_GE(log.blocks[0].matches.size(), 3u);
        EXPECT_EQ(log.blocks[0].matches[0].distance, 1u);
        EXPECT_EQ(log.blocks[0].matches[0].length, 258u);
    }
}

TEST_F(Deflate, ThreeByteMatchIsKeptNearButBecomesLiteralsBeyond4096) {
    for (size_t gap : {1000u, 5000u}) {
        SCOPED_TRACE("gap " + std::to_string(gap));
        // Position 0 never starts a match, so the first string starts at 1.
        std::vector<uint8_t> input = Concat({{'#', 'Q', 'X', 'J', '#'}, Letters(gap, 31), {'Q', 'X', 'J', '%'}});
        BlockLog log;
        ASSERT_EQ(DeflateMemory(input, 4).status, 0);
        ASSERT_EQ(log.blocks.size(), 1u);
        bool found = false;
        for (const auto& m : log.blocks[0].matches) found |= m.length == 3 && m.distance == gap + 4;
        EXPECT_EQ(found, gap < 4096);
    }
}

TEST_F(Deflate, LevelOutsideOneToFourCompressesAsLevelOne) {
    std::vector<uint8_t> input = vxtest::TextBytes(200000, 41);
    DeflateRun one = DeflateMemory(input, 1);
    DeflateRun four = DeflateMemory(input, 4);
    EXPECT_NE(one.stream, four.stream);
    for (uint32_t level : {0u, 5u, 9u}) {
        DeflateRun run = DeflateMemory(input, level);
        EXPECT_EQ(run.stream, one.stream) << "level " << level;
    }
}

TEST_F(Deflate, TextGuessComesFromTheFirstBlockOnly) {
    struct Case {
        const char* name;
        std::vector<uint8_t> input;
        uint8_t textFlag;
    } cases[] = {
        {"text", Letters(50000, 51), 1},
        {"binary", vxtest::RandomBytes(50000, 52), 0},
        {"text then binary", Concat({Letters(30000, 53), vxtest::RandomBytes(100000, 54)}), 1},
        {"binary then text", Concat({vxtest::RandomBytes(30000, 55), Letters(100000, 56)}), 0},
    };
    for (const auto& c : cases) {
        BlockLog log;
        DeflateRun run = DeflateMemory(c.input, 1);
        EXPECT_EQ(run.outcome.textFlag, c.textFlag) << c.name;
    }
}

// ---------------------------------------------------------------------------
// Block output driven directly: symbols in, one final block out.
// ---------------------------------------------------------------------------
class BlockOutput : public Deflate {
protected:
    void SetUp() override {
        Deflate::SetUp();
        streams_.read = vxtest::ReadMemoryStreams;
        streams_.write = vxtest::WriteMemory;
        streams_.context = &ms_;
        StartBlock();
    }
    void StartBlock() {
        ms_.sink = {};
        dfl::ClearDeflateTables(T());
        dfl::StartTrees(T());
        S().status = 0;
        dfl::StartOutput(S(), buffer_, nullptr, &streams_);
    }
    void Literals(const std::vector<uint8_t>& bytes) {
        for (uint8_t b : bytes) dfl::RecordSymbol(T(), 0, b);
    }
    // Ends the block as final and returns the stream.
    std::vector<uint8_t> End(const uint8_t* data, uint32_t storedLength, uint64_t* size = nullptr) {
        uint64_t n = dfl::EndBlock(S(), data, storedLength, true);
        if (size) *size = n;
        return ms_.sink.bytes;
    }
    dfl::DeflateState& S() { return compressor_.state(); }
    dfl::BlockTables& T() { return S().tables; }

    vardex::Compressor compressor_;

    vxtest::MemoryStreams ms_;
    dfl::DeflateStreams streams_;
    uint8_t buffer_[8192];
};

// Kraft sum of a tree's lengths scaled by 2^15: 2^15 for a complete code.
int Kraft(const dfl::TreeDesc& desc) {
    int sum = 0;
    for (int n = 0; n <= desc.maxCode; ++n)
        if (desc.tree[n].len) sum += 1 << (15 - desc.tree[n].len);
    return sum;
}

int Longest(const dfl::TreeDesc& desc) {
    int longest = 0;
    for (int n = 0; n <= desc.maxCode; ++n) longest = std::max<int>(longest, desc.tree[n].len);
    return longest;
}

TEST_F(BlockOutput, BlockOfOnlyEndOfBlockGetsLeafZeroAdded) {
    dfl::BuildHuffmanTree(T(), T().litDesc);
    EXPECT_EQ(T().litDesc.maxCode, 256);
    EXPECT_EQ(T().litTree[0].len, 1);
    EXPECT_EQ(T().litTree[256].len, 1);
    EXPECT_EQ(Kraft(T().litDesc), 1 << 15);
}

TEST_F(BlockOutput, BlockWithoutMatchesSentDynamicallyHasTwoDistanceCodesOfLengthOne) {
    std::vector<uint8_t> skewed;
    for (int i = 0; i < 400; ++i) skewed.push_back(i % 10 == 0 ? 'b' : 'a');
    Literals(skewed);
    BlockLog log;
    std::vector<uint8_t> stream = End(nullptr, 0);
    ASSERT_EQ(log.blocks.size(), 1u);
    ASSERT_EQ(log.blocks[0].type, dfl::BlockType::Dynamic);
    EXPECT_EQ(stream[0] & 7, 5);                 // final, dynamic
    EXPECT_EQ(stream[1] & 0x1F, 1);              // HDIST - 1: two distance codes
    EXPECT_EQ(T().distDesc.maxCode, 1);
    EXPECT_EQ(T().distTree[0].len, 1);
    EXPECT_EQ(T().distTree[1].len, 1);
    std::vector<uint8_t> decoded;
    ASSERT_TRUE(vxtest::ZlibInflate(stream, &decoded));
    EXPECT_EQ(decoded, skewed);
}

// Over many small blocks: the size predicted for the chosen type is the size
// emitted, the cheaper coding is chosen, and fixed codes win a tie.
TEST_F(BlockOutput, ChosenCodingIsTheSmallerAndFixedWinsATie) {
    int ties = 0;
    int dynamics = 0;
    for (uint32_t trial = 0; trial < 3000; ++trial) {
        StartBlock();
        std::vector<uint8_t> r = vxtest::RandomBytes(1 + trial % 60, trial);
        uint8_t alphabet = static_cast<uint8_t>(2 + trial % 9);
        for (auto& b : r) b = static_cast<uint8_t>(b % alphabet + (trial & 1 ? 'a' : 200));
        Literals(r);
        BlockLog log;
        std::vector<uint8_t> stream = End(nullptr, 0);
        ASSERT_EQ(log.blocks.size(), 1u);
        const ObservedBlock& b = log.blocks[0];
        if (b.fixedBytes <= b.dynamicBytes) {
            ASSERT_EQ(b.type, dfl::BlockType::Fixed) << trial;
            ASSERT_EQ(static_cast<int64_t>(stream.size()), b.fixedBytes) << trial;
            ties += b.fixedBytes == b.dynamicBytes;
        } else {
            ASSERT_EQ(b.type, dfl::BlockType::Dynamic) << trial;
            ASSERT_EQ(static_cast<int64_t>(stream.size()), b.dynamicBytes) << trial;
            dynamics++;
        }
        std::vector<uint8_t> decoded;
        ASSERT_TRUE(vxtest::ZlibInflate(stream, &decoded)) << trial;
        ASSERT_EQ(decoded, r) << trial;
    }
    EXPECT_GT(ties, 0);
    EXPECT_GT(dynamics, 0);
}

TEST_F(BlockOutput, StoredOnlyWhenNotLargerThanBestCodedSizeAndStillInTheWindow) {
    // The block's symbols are the first 600 bytes; the stored length is free.
    std::vector<uint8_t> data = vxtest::RandomBytes(2000, 61);
    std::vector<uint8_t> symbols(data.begin(), data.begin() + 600);
    Literals(symbols);
    uint64_t coded = 0;
    End(nullptr, 0, &coded);  // no data: never stored, whatever the sizes
    ASSERT_GT(coded, 4u);
    EXPECT_NE(ms_.sink.bytes[0] & 6, 0);

    struct Case {
        uint32_t storedLength;
        bool stored;
    } cases[] = {{static_cast<uint32_t>(coded - 4), true}, {static_cast<uint32_t>(coded - 3), false}};
    for (const auto& c : cases) {
        StartBlock();
        Literals(symbols);
        uint64_t size = 0;
        std::vector<uint8_t> stream = End(data.data(), c.storedLength, &size);
        EXPECT_EQ((stream[0] & 6) == 0, c.stored) << c.storedLength;
        EXPECT_EQ(size, stream.size());
        if (c.stored) {
            // 3 type bits padded to a byte, LEN and NLEN little-endian, the data.
            ASSERT_EQ(stream.size(), c.storedLength + 5u);
            EXPECT_EQ(stream[0], 1);
            EXPECT_EQ(stream[1] | stream[2] << 8, static_cast<int>(c.storedLength));
            EXPECT_EQ(stream[3] | stream[4] << 8, static_cast<int>(c.storedLength ^ 0xFFFF));
            EXPECT_TRUE(std::equal(data.begin(), data.begin() + c.storedLength, stream.begin() + 5));
        }
    }
}

TEST_F(BlockOutput, TextWhenBytesOutside7To127AreAtMostAQuarter) {
    struct Case {
        uint32_t text;
        uint32_t binary;
        uint8_t low;   // a binary byte
        uint8_t textFlag;
    } cases[] = {
        {400, 100, 0, 1}, {400, 101, 0, 0}, {400, 100, 255, 1}, {400, 101, 128, 0}, {400, 101, 6, 0},
        {0, 0, 0, 1},     {7, 1, 200, 1},   {3, 1, 200, 0},
    };
    for (const auto& c : cases) {
        StartBlock();
        std::vector<uint8_t> bytes;
        for (uint32_t i = 0; i < c.text; ++i) bytes.push_back(static_cast<uint8_t>(i % 2 ? 7 : 127));
        for (uint32_t i = 0; i < c.binary; ++i) bytes.push_back(c.low);
        Literals(bytes);
        End(nullptr, 0);
        EXPECT_EQ(T().guess == dfl::TextGuess::Text, c.textFlag == 1) << c.text << "/" << c.binary << "/" << int(c.low);
    }
}

TEST_F(BlockOutput, RunOf140ZeroLengthsIsCode18Then2SingleZeros) {
    dfl::TreeNode* tree = T().litTree;
    for (int n = 0; n <= 142; ++n) tree[n].len = 0;
    tree[0].len = 4;
    tree[141].len = 4;
    dfl::CountLengthRuns(T(), tree, 141);
    const dfl::TreeNode* lt = T().lengthTree;
    EXPECT_EQ(lt[18].freq, 1);
    EXPECT_EQ(lt[0].freq, 2);
    EXPECT_EQ(lt[17].freq, 0);
    EXPECT_EQ(lt[4].freq, 2);
}

TEST_F(BlockOutput, LengthsCutTo15StayACompletePrefixCode) {
    // Frequencies 1, 1, 2, 3, 5, ... make a chain-shaped tree 21 levels deep.
    T().litTree[dfl::kEndBlock].freq = 0;
    uint16_t a = 1, b = 1;
    for (int n = 0; n < 22; ++n) {
        T().litTree[n].freq = a;
        uint16_t next = static_cast<uint16_t>(a + b);
        a = b;
        b = next;
    }
    dfl::BuildHuffmanTree(T(), T().litDesc);
    EXPECT_EQ(Longest(T().litDesc), 15);
    EXPECT_EQ(Kraft(T().litDesc), 1 << 15);

    // The same shape through a whole block (end-of-block being the first 1),
    // decoded by zlib, which refuses incomplete or oversubscribed codes.
    StartBlock();
    std::vector<uint8_t> symbols;
    a = 1;
    b = 2;
    for (int n = 0; n < 18; ++n) {
        for (int i = 0; i < a; ++i) symbols.push_back(static_cast<uint8_t>('A' + n));
        uint16_t next = static_cast<uint16_t>(a + b);
        a = b;
        b = next;
    }
    Literals(symbols);
    BlockLog log;
    std::vector<uint8_t> stream = End(nullptr, 0);
    ASSERT_EQ(log.blocks[0].type, dfl::BlockType::Dynamic);
    EXPECT_EQ(Longest(T().litDesc), 15);
    EXPECT_EQ(Kraft(T().litDesc), 1 << 15);
    std::vector<uint8_t> decoded;
    ASSERT_TRUE(vxtest::ZlibInflate(stream, &decoded));
    EXPECT_EQ(decoded, symbols);
}

// ---------------------------------------------------------------------------
// Encryption, failures and progress
// ---------------------------------------------------------------------------
TEST_F(Deflate, EncryptedStreamDecryptsToThePlainStream) {
    // Stored blocks (random data) between coded ones, over several buffers.
    std::vector<uint8_t> input = Concat({vxtest::TextBytes(60000, 71), vxtest::RandomBytes(50000, 72),
                                         vxtest::TextBytes(300000, 73), vxtest::RandomBytes(20000, 74)});
    BlockLog log;
    DeflateRun plain = DeflateMemory(input, 2);
    size_t stored = 0;
    for (const auto& b : log.blocks) stored += b.type == dfl::BlockType::Stored;
    ASSERT_GT(stored, 1u);
    ASSERT_GT(plain.stream.size(), 3 * 8192u);

    vardex::CipherState keys;
    vardex::InitKeys(keys, "secret");
    vardex::CipherState encryptKeys = keys;
    vxtest::DeflateOptions options;
    options.cipher = &encryptKeys;
    DeflateRun encrypted = DeflateMemory(input, 2, options);
    ASSERT_EQ(encrypted.status, 0);
    ASSERT_EQ(encrypted.stream.size(), plain.stream.size());
    EXPECT_NE(encrypted.stream, plain.stream);
    std::vector<uint8_t> decrypted = encrypted.stream;
    vardex::DecryptBuffer(keys, decrypted.data(), decrypted.size());
    EXPECT_EQ(decrypted, plain.stream);
    EXPECT_EQ(encryptKeys.key0, keys.key0);  // both key streams ended in step
}

TEST_F(Deflate, ShortWriteGives101AndNothingIsWrittenAfterIt) {
    std::vector<uint8_t> input = Concat({vxtest::TextBytes(200000, 81), vxtest::RandomBytes(100000, 82)});
    for (size_t budget : {0u, 100u, 8191u, 8192u, 20000u, 100000u}) {
        vxtest::DeflateOptions options;
        options.writeBudget = budget;
        DeflateRun run = DeflateMemory(input, 1, options);
        EXPECT_EQ(run.status, 101) << budget;
        EXPECT_EQ(run.outcome.compressedSize, 0u) << budget;
        EXPECT_EQ(run.writesAfterFailure, 0) << budget;
    }
}

TEST_F(Deflate, ReadFailureGives5AndCancelGives2926) {
    std::vector<uint8_t> input = vxtest::TextBytes(300000, 91);
    vxtest::DeflateOptions failing;
    failing.failReadAt = 100000;
    DeflateRun failed = DeflateMemory(input, 1, failing);
    EXPECT_EQ(failed.status, 5);
    EXPECT_EQ(failed.outcome.compressedSize, 0u);

    failing.failReadAt = 0;
    EXPECT_EQ(DeflateMemory(input, 1, failing).status, 5);

    static int calls;
    calls = 0;
    vxtest::DeflateOptions cancelling;
    cancelling.progress.proc = [](uint32_t, int32_t) -> int32_t { return ++calls < 3; };
    DeflateRun cancelled = DeflateMemory(input, 1, cancelling);
    EXPECT_EQ(cancelled.status, 2926);
    EXPECT_EQ(cancelled.outcome.compressedSize, 0u);
    EXPECT_EQ(calls, 3);
}

TEST_F(Deflate, ProgressIsReportedPerReadFromHalvedValues) {
    static std::vector<std::pair<uint32_t, int32_t>> reports;
    vxtest::DeflateOptions options;
    options.progress.hostWord = 77;
    options.progress.proc = [](uint32_t word, int32_t percent) -> int32_t {
        reports.emplace_back(word, percent);
        return 1;
    };

    reports.clear();
    ASSERT_EQ(DeflateMemory({}, 1, options).status, 0);
    ASSERT_EQ(reports.size(), 1u);  // one report even for an empty source
    EXPECT_EQ(reports[0].first, 77u);

    // 30 MB: the shares come from halved values and never pass 100.
    reports.clear();
    std::vector<uint8_t> input = Repeat('x', 30000000);
    ASSERT_EQ(DeflateMemory(input, 1, options).status, 0);
    ASSERT_GT(reports.size(), 2u);
    int32_t last = -1;
    for (const auto& r : reports) {
        EXPECT_GE(r.second, last);
        EXPECT_LE(r.second, 100);
        last = r.second;
    }
    EXPECT_EQ(reports.back().second, 100);
    // First read: 32,768 bytes of 30,000,000.
    EXPECT_EQ(reports.front().second, 0);
    // A read that ends at 25,165,824 bytes is reported from halves: 12,582,912 * 100 / 15,000,000.
    bool sawHalved = false;
    for (const auto& r : reports) sawHalved |= r.second == 83;
    EXPECT_TRUE(sawHalved);
}

// The real path: source and output are file descriptors.
TEST_F(Deflate, EntryReadsTheSourceFileAndWritesTheOutputFile) {
    vxtest::TempDir dir;
    std::vector<uint8_t> input = Concat({vxtest::TextBytes(150000, 101), vxtest::RandomBytes(40000, 102)});
    vxtest::WriteFile(dir / "in", input);
    std::vector<uint8_t> buffer(8192);

    for (int64_t budget : {int64_t{-1}, int64_t{5000}}) {
        int in = vardex::platform::FileOpen(vxtest::EnginePath(dir / "in").c_str(), vardex::platform::OpenMode::ReadOnly);
        int out = vardex::platform::FileOpen(vxtest::EnginePath(dir / "out").c_str(), vardex::platform::OpenMode::Create);
        ASSERT_GE(in, 0);
        ASSERT_GE(out, 0);
        vardex::DeflateIo io;
        io.source = in;
        io.sourceSize = static_cast<uint32_t>(input.size());
        io.output = out;
        io.outputBuffer = buffer.data();
        vardex::DeflateOutcome outcome;
        vardex::platform::SetWriteBudgetForTesting(budget);
        uint16_t status = vardex::DeflateEntry(vxtest::TestCompressor(), io, &outcome);
        vardex::platform::SetWriteBudgetForTesting(-1);
        vardex::platform::FileClose(in);
        vardex::platform::FileClose(out);
        if (budget < 0) {
            ASSERT_EQ(status, 0);
            std::vector<uint8_t> stream = vxtest::ReadFile(dir / "out");
            EXPECT_EQ(outcome.compressedSize, stream.size());
            EXPECT_EQ(stream, DeflateMemory(input, 1).stream);
            std::vector<uint8_t> decoded;
            ASSERT_TRUE(vxtest::ZlibInflate(stream, &decoded));
            EXPECT_EQ(decoded, input);
        } else {
            EXPECT_EQ(status, 101);
            EXPECT_EQ(outcome.compressedSize, 0u);
        }
    }
}

// The bit total of an entry is counted in 64 bits: started just below 2^32
// bits, an entry of stored, fixed and dynamic blocks reports the preset bytes
// plus exactly what it wrote, and what it wrote is a sound stream.
TEST_F(Deflate, SizeIsCountedPastTwoToTheThirtyTwoBits) {
    const uint64_t preset = (uint64_t{1} << 32) - 8 * 4096;
    const std::vector<uint8_t> data =
        Concat({vxtest::RandomBytes(40000, 21), vxtest::TextBytes(60000, 22), Repeat('z', 3000)});
    for (uint32_t level : {1u, 4u}) {
        SCOPED_TRACE(level);
        dfl::SetStartingBitCountForTesting(preset);
        DeflateRun run = DeflateMemory(data, level);
        dfl::SetStartingBitCountForTesting(0);
        ASSERT_EQ(run.status, 0);
        std::vector<uint8_t> decoded;
        ASSERT_TRUE(vxtest::ZlibInflate(run.stream, &decoded));
        EXPECT_EQ(decoded, data);
        EXPECT_EQ(run.outcome.compressedSize, preset / 8 + run.stream.size());
    }
}

// An entry whose compressed data passes 256 MiB (2^31 bits) still reports its
// true size: the bit total is counted in 64 bits.
TEST_F(Deflate, EntryOver256MiBReportsItsTrueCompressedSize) {
    const char* sanitized = std::getenv("VARDEX_SANITIZED");
    if (sanitized && std::string(sanitized) == "1") GTEST_SKIP() << "too slow under the sanitizers";

    vxtest::TempDir dir;
    const std::string inPath = dir / "big.bin";
    const uint64_t size = 300000000;  // incompressible bytes, written in pieces of 1 MiB
    uLong crc = crc32(0, nullptr, 0);
    {
        FILE* f = std::fopen(inPath.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::vector<uint64_t> piece((1 << 20) / 8);
        uint64_t x = 0x9E3779B97F4A7C15ull;
        for (uint64_t done = 0; done < size;) {
            for (auto& w : piece) {
                x ^= x << 13;
                x ^= x >> 7;
                x ^= x << 17;
                w = x;
            }
            size_t n = static_cast<size_t>(std::min<uint64_t>(size - done, 1 << 20));
            crc = crc32(crc, reinterpret_cast<const Bytef*>(piece.data()), static_cast<uInt>(n));
            ASSERT_EQ(std::fwrite(piece.data(), 1, n, f), n);
            done += n;
        }
        std::fclose(f);
    }

    namespace pf = vardex::platform;
    int in = pf::FileOpen(vxtest::EnginePath(inPath).c_str(), pf::OpenMode::ReadOnly);
    int out = pf::FileOpen(vxtest::EnginePath(dir / "big.deflate").c_str(), pf::OpenMode::Create);
    ASSERT_GE(in, 0);
    ASSERT_GE(out, 0);
    std::vector<uint8_t> buffer(8192);
    vardex::DeflateIo io;
    io.source = in;
    io.sourceSize = static_cast<uint32_t>(size);
    io.output = out;
    io.outputBuffer = buffer.data();
    vardex::DeflateOutcome outcome;
    uint16_t status = vardex::DeflateEntry(vxtest::TestCompressor(), io, &outcome);
    int64_t written = pf::FileLength(out);
    pf::FileClose(in);
    pf::FileClose(out);
    pf::FileRemove(vxtest::EnginePath(inPath).c_str());

    ASSERT_EQ(status, 0);
    EXPECT_EQ(outcome.crc, crc);
    EXPECT_GT(outcome.compressedSize, uint64_t{1} << 28);
    EXPECT_EQ(outcome.compressedSize, static_cast<uint64_t>(written));

    // And the stream is sound: zlib decodes it to the same length and CRC.
    FILE* f = std::fopen((dir / "big.deflate").c_str(), "rb");
    ASSERT_NE(f, nullptr);
    z_stream z{};
    ASSERT_EQ(inflateInit2(&z, -15), Z_OK);
    std::vector<uint8_t> input(1 << 20), output(1 << 20);
    uLong decodedCrc = crc32(0, nullptr, 0);
    uint64_t decoded = 0;
    int rc = Z_OK;
    while (rc == Z_OK) {
        if (z.avail_in == 0) {
            z.avail_in = static_cast<uInt>(std::fread(input.data(), 1, input.size(), f));
            z.next_in = input.data();
            if (z.avail_in == 0) break;
        }
        z.next_out = output.data();
        z.avail_out = static_cast<uInt>(output.size());
        rc = inflate(&z, Z_NO_FLUSH);
        size_t n = output.size() - z.avail_out;
        decodedCrc = crc32(decodedCrc, output.data(), static_cast<uInt>(n));
        decoded += n;
    }
    inflateEnd(&z);
    std::fclose(f);
    EXPECT_EQ(rc, Z_STREAM_END);
    EXPECT_EQ(decoded, size);
    EXPECT_EQ(decodedCrc, crc);
}

// ---------------------------------------------------------------------------
// Golden output: the streams for a fixed corpus, pinned by their SHA-256 so
// that no change of speed can change a single output bit unnoticed.
// ---------------------------------------------------------------------------
// The corpus is generated here (not by shared helpers) so it never drifts.
std::vector<uint8_t> GoldenCorpus() {
    uint32_t x = 0x2545F491;
    auto next = [&x] {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        return x;
    };
    static const char* words[] = {"the ",    "local ",  "header ", "central ", "directory ", "of ",
                                  "entry ",  "window ", "match ",  "deflate ", "block ",     "and ",
                                  "stored ", "tree.\n", "code, ",  "length ",  "distance ",  "archive "};
    std::vector<uint8_t> v;
    while (v.size() < 150000) {
        const char* w = words[next() % (sizeof words / sizeof *words)];
        v.insert(v.end(), w, w + std::strlen(w));
    }
    for (int i = 0; i < 40000; ++i) v.push_back(static_cast<uint8_t>(next() >> 24));  // incompressible
    for (int i = 0; i < 60000; ++i) {  // structured binary: small records with counters
        uint32_t r = next();
        v.push_back(static_cast<uint8_t>(i));
        v.push_back(static_cast<uint8_t>(i >> 8));
        v.push_back(static_cast<uint8_t>(r & 0x0F));
        v.push_back(0);
        if (i % 7 == 0) v.push_back(static_cast<uint8_t>(r >> 24));
    }
    v.insert(v.end(), 70000, 0xAA);  // a long run
    for (int i = 0; i < 90000; ++i) v.push_back(static_cast<uint8_t>("abcdefgh"[next() % 8]));
    return v;
}

// Size of zlib's raw stream for the data at a level (window 32 KiB).
size_t ZlibSize(const std::vector<uint8_t>& data, int level) {
    uLongf size = compressBound(static_cast<uLong>(data.size())) + 64;
    std::vector<uint8_t> out(size);
    z_stream z{};
    EXPECT_EQ(deflateInit2(&z, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
    z.next_in = const_cast<Bytef*>(data.data());
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
    deflateEnd(&z);
    return z.total_out;
}

// A change detector, not a judge: any change to match finding or block
// choice moves these values.  When a change is meant, take the new size and
// hash from this test's failure message and accept them only when the
// independent checks below still hold: zlib decodes every level back to the
// corpus, every level's size stays between zlib's at level 1 and 98 % of
// zlib's at level 9 on the same corpus (level 4 is within a byte of zlib -9
// today), and no level is larger than the one below it.
TEST_F(Deflate, OutputForAFixedCorpusIsPinnedBitForBit) {
    EXPECT_EQ(vxtest::Sha256::Of({'a', 'b', 'c'}),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    const std::vector<uint8_t> corpus = GoldenCorpus();
    const size_t zlibBest = ZlibSize(corpus, 9), zlibFast = ZlibSize(corpus, 1);
    size_t previous = SIZE_MAX;
    const std::map<uint32_t, std::pair<size_t, std::string>> golden = {
        {1, {258296, "0feb9870a9a33a47d43458027c06916f4db7733c66df369284619728d5e44231"}},
        {2, {256549, "156e8c0fe30b64f589ca287dd59aa9ee8d1b052d0f1d2646bdbe84dbd5e9dadf"}},
        {3, {254076, "683918a1504572618a06dbeb34875e375071935b01a83efcdad67e612358ab44"}},
        {4, {253100, "6b1a27e6a0207a6472ee67929368fbd4ef21dfe2f5b3504a70327d35995aab27"}},
    };
    for (const auto& [level, expected] : golden) {
        DeflateRun run = DeflateMemory(corpus, level);
        ASSERT_EQ(run.status, 0);
        std::vector<uint8_t> decoded;
        ASSERT_TRUE(vxtest::ZlibInflate(run.stream, &decoded));
        ASSERT_EQ(decoded, corpus);
        EXPECT_EQ(run.stream.size(), expected.first) << "level " << level;
        EXPECT_EQ(vxtest::Sha256::Of(run.stream), expected.second) << "level " << level;
        EXPECT_LE(run.stream.size(), previous) << "level " << level;
        EXPECT_GE(run.stream.size(), zlibBest * 98 / 100) << "level " << level;
        EXPECT_LE(run.stream.size(), zlibFast) << "level " << level;
        previous = run.stream.size();
    }
}

}  // namespace
