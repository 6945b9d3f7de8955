// The decoders for Shrink, Reduce and Implode, driven directly over
// hand-built bit streams and over archives made by an independent encoder.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "api/engine.h"
#include "common/crc32.h"
#include "crypt/crypt.h"
#include "extract/decode.h"
#include "extract/legacy.h"
#include "extract/streams.h"
#include "platform/platform.h"
#include "support/test_support.h"
#include "support/zip_writer.h"

using namespace vxtest;
using Bytes = std::vector<uint8_t>;

namespace {

// Packs values least significant bit first, as all three methods read them.
class BitWriter {
public:
    void Put(uint32_t value, unsigned bits) {
        for (unsigned i = 0; i < bits; ++i) PutBit((value >> i) & 1);
    }
    void Byte(uint8_t b) { Put(b, 8); }
    // A Shannon-Fano code as Implode stores it: every bit inverted, the
    // first bit of the code first.
    void Code(uint32_t code, unsigned length) {
        for (unsigned i = length; i-- > 0;) PutBit(((code >> i) & 1) ^ 1);
    }
    Bytes Finish() const { return bytes_; }

private:
    void PutBit(unsigned bit) {
        if (used_ == 0) bytes_.push_back(0);
        if (bit) bytes_.back() |= static_cast<uint8_t>(1u << used_);
        used_ = (used_ + 1) & 7;
    }
    Bytes bytes_;
    unsigned used_ = 0;
};

struct Decoded {
    Bytes out;
    uint32_t crc = 0;     // CRC-32 of what the writers saw
    uint16_t status = 0;
    int result = 0;       // Explode's result
    uint32_t unread = 0;  // compressed bytes the decoder left unread
};

// Runs the decoder seam over `size` compressed bytes found at `offset` in the
// file `archive`, as the driver does.
Decoded DecodeAt(const std::string& archive, int64_t offset, uint32_t csize, uint16_t method, uint16_t flags,
                 uint32_t usize) {
    using namespace vardex;
    TempDir dir;
    Decoded d;
    int in = platform::FileOpen(EnginePath(archive).c_str(), platform::OpenMode::ReadOnly);
    int out = platform::FileOpen(EnginePath(dir / "out").c_str(), platform::OpenMode::Create);
    EXPECT_GE(in, 0);
    EXPECT_GE(out, 0);
    platform::FileSeek(in, offset, SEEK_SET);

    Bytes inBuf(kSourceBufferSize);
    StreamState stream;
    StreamState& s = stream;
    CentralFields f{};
    f.method = method;
    f.flags = flags;
    f.compressedSize = csize;
    f.uncompressedSize = usize;
    ResetStream(s, f);
    s.in.handle = in;
    s.in.position = offset;
    s.in.buffer = inBuf.data();
    s.out.handle = out;
    SetStatus(0);

    d.result = DecodeEntry(s);

    d.crc = ~s.out.crc;
    d.status = Status();
    d.unread = static_cast<uint32_t>(s.in.InHand()) + s.in.toRead;
    s.in = {};
    s.out.handle = -1;
    platform::FileClose(in);
    platform::FileClose(out);
    d.out = ReadFile(dir / "out");
    return d;
}

Decoded Decode(uint16_t method, const Bytes& data, uint32_t usize, uint16_t flags = 0) {
    TempDir dir;
    WriteFile(dir / "in", data);
    return DecodeAt(dir / "in", 0, static_cast<uint32_t>(data.size()), method, flags, usize);
}

Bytes Str(const std::string& s) { return Bytes(s.begin(), s.end()); }

// ---------------------------------------------------------------------------
// Unshrink
// ---------------------------------------------------------------------------

// Writes codes, widening after each 256,1 as the decoder does.
struct ShrinkWriter {
    BitWriter bits;
    unsigned width = 9;
    void Code(unsigned c) { bits.Put(c, width); }
    void Widen() {
        Code(256);
        Code(1);
        ++width;
    }
    void Clear() {
        Code(256);
        Code(2);
    }
};

TEST(Unshrink, EmptyStreamGivesEmptyFileAndOneCodeGivesOneByte) {
    Decoded empty = Decode(1, {}, 0);
    EXPECT_TRUE(empty.out.empty());
    EXPECT_EQ(empty.status, 0);

    ShrinkWriter w;
    w.Code('Z');
    Decoded one = Decode(1, w.bits.Finish(), 1);
    EXPECT_EQ(one.out, Str("Z"));
}

TEST(Unshrink, KwKwKCodeRepeatsThePreviousStringAndItsFirstByte) {
    // 257 = AB, 258 = BA, 259 is used before the decoder has defined it.
    ShrinkWriter w;
    for (unsigned c : {65u, 66u, 257u, 259u}) w.Code(c);
    EXPECT_EQ(Decode(1, w.bits.Finish(), 7).out, Str("ABABABA"));
}

TEST(Unshrink, FourWideningsReach13BitsAndAFifthEndsDecoding) {
    ShrinkWriter w;
    w.Code('a');
    for (char c : std::string("bcde")) {
        w.Widen();
        w.Code(static_cast<unsigned>(c));
    }
    ASSERT_EQ(w.width, 13u);
    w.Code(257);  // "ab", read as a 13-bit code
    Bytes good = w.bits.Finish();
    EXPECT_EQ(Decode(1, good, 7).out, Str("abcdeab"));

    w.Code(256);
    w.Code(1);  // would be 14 bits
    w.Code('x');
    EXPECT_EQ(Decode(1, w.bits.Finish(), 8).out, Str("abcdeab"));
}

TEST(Unshrink, PartialClearFreesLeavesAndTheLowestFreedCodeIsReusedAtOnce) {
    // 257 = AB and 258 = BC extend nothing: both are leaves and are freed.
    ShrinkWriter w;
    for (unsigned c : {65u, 66u, 67u}) w.Code(c);
    w.Clear();
    // 'A' defines 257 = (C, A); 258 is next and is used before its definition.
    w.Code('A');
    w.Code(258);
    w.Code(257);
    EXPECT_EQ(Decode(1, w.bits.Finish(), 8).out, Str("ABCAAACA"));
}

TEST(Unshrink, PartialClearKeepsCodesThatOthersExtend) {
    // 257 = AA, 258 = AAA, 259 = AAAB: only 259 is a leaf, so only 259 is
    // freed and reused.
    ShrinkWriter w;
    for (unsigned c : {65u, 257u, 258u}) w.Code(c);  // A AA AAA
    w.Code('B');                                       // defines 259 = (258, B)
    w.Clear();                                          // 259 is the only leaf
    w.Code(258);  // AAA still defined: defines 259 = (B, A)
    w.Code(259);  // BA
    EXPECT_EQ(Decode(1, w.bits.Finish(), 13).out, Str("AAAAAABAAABA"));
}

TEST(Unshrink, HostileStreamsEndDecodingWithoutOverrun) {
    struct Case {
        const char* name;
        std::vector<unsigned> codes;
        std::string expected;
    } cases[] = {
        // The previous code was freed by the clear: following it loops.
        {"chain through a freed code", {65, 66, 257, 256, 2, 257}, "ABAB"},
        {"first code is not a literal", {300, 65}, ""},
        {"control code before any literal", {256, 1}, ""},
        // A code far above the next free one.
        // Taken like the code about to be defined.
        {"undefined code above the next free", {65, 66, 400}, "ABBB"},
    };
    for (const Case& c : cases) {
        ShrinkWriter w;
        for (unsigned code : c.codes) w.Code(code);
        EXPECT_EQ(Decode(1, w.bits.Finish(), 100).out, Str(c.expected)) << c.name;
    }
}

TEST(Unshrink, RepeatedKwKwKBuildsEverLongerStrings) {
    // Each code extends the previous one by a byte; the output passes
    // through the 2,048-byte buffer many times, also in the middle of a string.
    ShrinkWriter w;
    w.Code('x');
    unsigned next = 257;
    std::string expected = "x";
    std::string run = "x";
    for (int i = 0; i < 200; ++i) {
        w.Code(next);  // KwKwK each time: run + run[0]
        run += 'x';
        expected += run;
        ++next;
    }
    Decoded d = Decode(1, w.bits.Finish(), static_cast<uint32_t>(expected.size()));
    EXPECT_EQ(d.out.size(), expected.size());
    EXPECT_EQ(d.out, Str(expected));
}

// ---------------------------------------------------------------------------
// Unreduce
// ---------------------------------------------------------------------------

// Follower sets (255 down to 0) then raw bytes; sets[i] lists the followers
// of byte i.
struct ReduceWriter {
    BitWriter bits;
    std::vector<Bytes> sets = std::vector<Bytes>(256);
    void Header() {
        for (int i = 255; i >= 0; --i) {
            bits.Put(static_cast<uint32_t>(sets[i].size()), 6);
            for (uint8_t b : sets[i]) bits.Byte(b);
        }
    }
    // A byte when the previous byte's set is empty.
    void Raw(uint8_t b) { bits.Byte(b); }
};

Bytes RawReduce(const Bytes& symbols) {
    ReduceWriter w;
    w.Header();
    for (uint8_t b : symbols) w.Raw(b);
    return w.bits.Finish();
}

TEST(Unreduce, EscapeFollowedByZeroIsTheByte144InEveryFactor) {
    for (uint16_t method = 2; method <= 5; ++method) {
        Decoded d = Decode(method, RawReduce({'a', 144, 0, 'b'}), 3);
        EXPECT_EQ(d.out, (Bytes{'a', 144, 'b'})) << "method " << method;
    }
}

TEST(Unreduce, Factor4RunWithLengthByteGives28Copies) {
    Decoded d = Decode(5, RawReduce({'A', 144, 0x0F, 10, 0}), 29);
    EXPECT_EQ(d.out, Bytes(29, 'A'));
}

TEST(Unreduce, DistanceHighBitsOfEachFactor) {
    // The escape value carries the length in its low bits and the distance's
    // high bits above them; use the largest distance of each factor.
    struct Case {
        uint16_t method;
        uint8_t v;          // length 0 (3 copies) and all distance high bits set
        unsigned distance;  // high bits * 256 + 255 + 1
    } cases[] = {{2, 0x80, 512}, {3, 0xC0, 1024}, {4, 0xE0, 2048}, {5, 0xF0, 4096}};
    for (const Case& c : cases) {
        Bytes plain = TextBytes(c.distance, c.method);
        for (uint8_t& b : plain)
            if (b == 144) b = 145;
        Bytes symbols = plain;
        for (uint8_t b : {static_cast<uint8_t>(144), c.v, static_cast<uint8_t>(255)}) symbols.push_back(b);
        Bytes expected = plain;
        for (int i = 0; i < 3; ++i) expected.push_back(expected[expected.size() - c.distance]);
        Decoded d = Decode(c.method, RawReduce(symbols), static_cast<uint32_t>(expected.size()));
        EXPECT_EQ(d.out, expected) << "method " << c.method;
    }
}

TEST(Unreduce, BackReferenceBeforeTheStartGivesZeros) {
    // Distance 5 after two bytes: three zeros, then the copy catches up with
    // the output and repeats "AB".
    Decoded d = Decode(2, RawReduce({'A', 'B', 144, 0x02, 4}), 7);
    EXPECT_EQ(d.out, (Bytes{'A', 'B', 0, 0, 0, 'A', 'B'}));
}

TEST(Unreduce, RunsCopyAcrossFlushesOfTheOutputBuffer) {
    // 8,190 literal bytes then a distance-4,096 copy of 100 bytes: the copy
    // straddles the point where the 8,192-byte buffer is written out.
    Bytes plain = TextBytes(8190, 7);
    for (uint8_t& b : plain)
        if (b == 144) b = 'x';
    Bytes symbols = plain;
    // factor 4: V = 0xF0 | 0x0F means length continues; 0x0F + 82 + 3 = 100
    for (uint8_t b : {144, 0xFF, 82, 255}) symbols.push_back(static_cast<uint8_t>(b));
    Bytes expected = plain;
    for (int i = 0; i < 100; ++i) expected.push_back(expected[expected.size() - 4096]);
    Decoded d = Decode(5, RawReduce(symbols), static_cast<uint32_t>(expected.size()));
    EXPECT_EQ(d.out, expected);
    EXPECT_EQ(d.crc, vardex::CrcUpdate(0xFFFFFFFFu, expected.data(), expected.size()) ^ 0xFFFFFFFFu);
}

TEST(Unreduce, FollowerIndexWidthFollowsTheSetSize) {
    // Byte 0 (the start) has five followers: 3-bit indices.  'c' has one
    // follower: a 1-bit index.
    ReduceWriter w;
    w.sets[0] = {'a', 'b', 'c', 'd', 'e'};
    w.sets['c'] = {'z'};
    w.sets['z'] = {'y'};
    w.Header();
    w.bits.Put(0, 1);  // from the set
    w.bits.Put(2, 3);  // 'c'
    w.bits.Put(0, 1);
    w.bits.Put(0, 1);  // 'z'
    w.bits.Put(1, 1);  // not from the set: 8 plain bits
    w.bits.Byte('q');  // 'q' has no set: 8 plain bits, no flag
    w.bits.Byte('r');
    EXPECT_EQ(Decode(2, w.bits.Finish(), 4).out, Str("czqr"));
}

TEST(Unreduce, ARunPastTheDeclaredSizeIsBadDataAndNothingPastItIsWritten) {
    // Size 2: 'A' and then a run of 18 that goes past it.
    Decoded d = Decode(5, RawReduce({'A', 144, 0x0F, 0, 0, 'Q'}), 2);
    EXPECT_EQ(d.status, VX_BAD_DATA);
    EXPECT_LE(d.out.size(), 2u);
}

// Output that passes an entry's declared size is bad data in every decoder,
// and nothing past that size reaches the file.
TEST(DeclaredSize, OutputPastItIsBadDataInEveryDecoder) {
    ShrinkWriter shrink;
    for (unsigned c : {65u, 66u, 257u, 259u}) shrink.Code(c);  // "ABABABA"
    struct Case {
        const char* what;
        uint16_t method;
        Bytes data;
        uint32_t declared;
    };
    const Case cases[] = {
        {"Unshrink", 1, shrink.bits.Finish(), 3},
        {"Unreduce", 5, RawReduce({'A', 144, 0x0F, 0, 0}), 2},
    };
    for (const auto& c : cases) {
        Decoded d = Decode(c.method, c.data, c.declared);
        EXPECT_EQ(d.status, VX_BAD_DATA) << c.what;
        EXPECT_LE(d.out.size(), c.declared) << c.what;
    }
}

int g_progressCalls = 0;
int32_t CancelOnce(uint32_t, int32_t) { return g_progressCalls++ == 0 ? 0 : 1; }

TEST(Unreduce, HostCancelEndsDecodingAndStays) {
    // A few input bytes per 273 output bytes: the first input block alone
    // fills the output buffer many times.  The cancel at the first flush must
    // survive the flushes that would follow it.
    Bytes symbols = {'A'};
    for (int i = 0; i < 2000; ++i)
        for (uint8_t b : {144, 0x0F, 255, 0}) symbols.push_back(static_cast<uint8_t>(b));
    ResetEngine();
    g_progressCalls = 0;
    vardex::engine().progressProc = {0, CancelOnce};
    Decoded d = Decode(5, RawReduce(symbols), 2000 * 273 + 1);
    vardex::engine().progressProc = {};
    EXPECT_EQ(d.status, VX_CANCELLED);
    EXPECT_EQ(g_progressCalls, 1);
    EXPECT_LE(d.out.size(), 8192u);
}

TEST(Unreduce, FollowerCountAbove32EndsDecoding) {
    BitWriter w;
    w.Put(33, 6);  // set 255
    for (int i = 0; i < 40; ++i) w.Byte('k');
    Decoded d = Decode(2, w.Finish(), 10);
    EXPECT_TRUE(d.out.empty());
    EXPECT_EQ(d.status, 0);
}

TEST(Unreduce, EmptyOrTruncatedInputStops) {
    EXPECT_TRUE(Decode(3, {}, 100).out.empty());
    Bytes cut = RawReduce({'a', 'b', 'c'});
    cut.pop_back();
    Decoded d = Decode(3, cut, 100);
    EXPECT_EQ(d.out, Str("ab"));
}

// ---------------------------------------------------------------------------
// Explode
// ---------------------------------------------------------------------------

// Trees of equal code lengths: 64 codes of 6 bits, 256 codes of 8 bits, so
// that symbol k has canonical code k.
void FlatTree(BitWriter& w, unsigned codes, unsigned length) {
    unsigned runs = codes / 16;
    w.Byte(static_cast<uint8_t>(runs - 1));
    for (unsigned i = 0; i < runs; ++i) w.Byte(static_cast<uint8_t>(0xF0 | (length - 1)));
}

struct ImplodeWriter {
    BitWriter bits;
    bool literalTree;
    unsigned lowBits;
    explicit ImplodeWriter(uint16_t flags) : literalTree(flags & 4), lowBits(flags & 2 ? 7 : 6) {
        if (literalTree) FlatTree(bits, 256, 8);
        FlatTree(bits, 64, 6);  // lengths
        FlatTree(bits, 64, 6);  // distances
    }
    void Literal(uint8_t b) {
        bits.Put(1, 1);
        if (literalTree)
            bits.Code(b, 8);
        else
            bits.Put(b, 8);
    }
    unsigned MinLength() const { return literalTree ? 3 : 2; }
    void Match(unsigned distance, unsigned length) {
        bits.Put(0, 1);
        unsigned d = distance - 1;
        bits.Put(d & ((1u << lowBits) - 1), lowBits);
        bits.Code(d >> lowBits, 6);
        unsigned code = length - MinLength();
        if (code >= 63) {
            bits.Code(63, 6);
            bits.Put(code - 63, 8);
        } else {
            bits.Code(code, 6);
        }
    }
};

TEST(Explode, EachVariantDecodesLiteralsAndMatches) {
    for (uint16_t flags : {0, 2, 4, 6}) {
        ImplodeWriter w(flags);
        std::string text = "abcdefgh";
        for (char c : text) w.Literal(static_cast<uint8_t>(c));
        w.Match(8, 10);  // overlapping copy: repeats the pattern
        w.Match(3, w.MinLength());
        std::string expected = text + "abcdefghab";
        expected += expected.substr(expected.size() - 3, w.MinLength());
        Decoded d = Decode(6, w.bits.Finish(), static_cast<uint32_t>(expected.size()), flags);
        EXPECT_EQ(d.result, 0) << "flags " << flags;
        EXPECT_EQ(d.out, Str(expected)) << "flags " << flags;
    }
}

TEST(Explode, AFinalMatchPastTheDeclaredSizeIsBadData) {
    ImplodeWriter w(0);
    for (char c : std::string("abcdefgh")) w.Literal(static_cast<uint8_t>(c));
    w.Match(8, 10);  // 18 bytes where 12 are declared
    Decoded d = Decode(6, w.bits.Finish(), 12);
    EXPECT_EQ(d.status, VX_BAD_DATA);
    EXPECT_LE(d.out.size(), 12u);
}

TEST(Explode, LargestDistanceOfEachDictionary) {
    for (uint16_t flags : {0, 2}) {
        unsigned distance = flags ? 8192 : 4096;
        Bytes plain = RandomBytes(distance, flags);
        ImplodeWriter w(flags);
        for (uint8_t b : plain) w.Literal(b);
        w.Match(distance, 5);
        Bytes expected = plain;
        expected.insert(expected.end(), plain.begin(), plain.begin() + 5);
        EXPECT_EQ(Decode(6, w.bits.Finish(), static_cast<uint32_t>(expected.size()), flags).out, expected);
    }
}

TEST(Explode, LengthCode63TakesEightExtraBits) {
    // With a literal tree lengths run 66 to 321; without, 65 to 320.
    for (uint16_t flags : {0, 4}) {
        unsigned lowest = flags ? 66 : 65;
        for (unsigned length : {lowest, lowest + 1, lowest + 255}) {
            ImplodeWriter w(flags);
            w.Literal('r');
            w.Match(1, length);
            Decoded d = Decode(6, w.bits.Finish(), length + 1, flags);
            EXPECT_EQ(d.out, Bytes(length + 1, 'r')) << "flags " << flags << " length " << length;
        }
    }
}

TEST(Explode, DistanceBeforeTheFirstOutputGivesZerosUntilTheWindowIsWritten) {
    ImplodeWriter w(0);
    w.Literal('p');
    w.Literal('q');
    w.Match(4, 6);  // two bytes before the start, then "pq" twice
    Decoded d = Decode(6, w.bits.Finish(), 8);
    EXPECT_EQ(d.out, (Bytes{'p', 'q', 0, 0, 'p', 'q', 0, 0}));

    // Past 32 KiB the window has been written once; the same distance now
    // reaches real output that wrapped around the window.
    ImplodeWriter big(2);
    Bytes plain = RandomBytes(32768 + 10, 3);
    for (uint8_t b : plain) big.Literal(b);
    big.Match(8000, 30);
    Bytes expected = plain;
    for (int i = 0; i < 30; ++i) expected.push_back(expected[expected.size() - 8000]);
    EXPECT_EQ(Decode(6, big.bits.Finish(), static_cast<uint32_t>(expected.size()), 2).out, expected);
}

TEST(Explode, SizeZeroReadsOnlyTheTrees) {
    ImplodeWriter w(4);
    Bytes data = w.bits.Finish();
    size_t treeBytes = data.size();
    data.push_back(0x55);
    data.push_back(0xAA);
    Decoded d = Decode(6, data, 0, 4);
    EXPECT_EQ(d.result, 0);
    EXPECT_TRUE(d.out.empty());
    EXPECT_EQ(d.unread, data.size() - treeBytes);
}

TEST(Explode, BadTreesAndBadDataEndBeforeOutput) {
    struct Case {
        const char* name;
        Bytes data;
        int result;
    } cases[] = {
        // 63 lengths described for 64 codes.
        {"tree too short", {3, 0xF5, 0xF5, 0xF5, 0xE5}, 4},
        {"tree too long", {4, 0xF5, 0xF5, 0xF5, 0xF5, 0x05}, 4},
        // 64 codes of 5 bits over-subscribe the code space.
        {"over-subscribed", {3, 0xF4, 0xF4, 0xF4, 0xF4}, 2},
        // 64 codes of 7 bits leave half the code space unused.
        {"incomplete", {3, 0xF6, 0xF6, 0xF6, 0xF6}, 1},
        {"no data at all", {}, 4},
    };
    for (const Case& c : cases) {
        Decoded d = Decode(6, c.data, 10, 0);
        EXPECT_EQ(d.result, c.result) << c.name;
        EXPECT_TRUE(d.out.empty()) << c.name;
    }

    // Data that ends long before the entry does: decoding stops instead of
    // inventing output from the end-of-data value.
    ImplodeWriter w(0);
    w.Literal('a');
    Decoded d = Decode(6, w.bits.Finish(), 1000000, 0);
    EXPECT_EQ(d.result, 1);
    EXPECT_TRUE(d.out.empty());
}

// ---------------------------------------------------------------------------
// Archives from an independent encoder
// ---------------------------------------------------------------------------

struct ArchiveEntry {
    std::string name;
    uint16_t flags, method;
    uint32_t crc, csize, usize;
    int64_t dataOffset;
};

// Reads past the end count as zero bytes, so a short or damaged fixture reads
// as an archive without entries instead of reading out of bounds.
uint32_t Le(const Bytes& b, size_t at, int n) {
    uint32_t v = 0;
    for (int i = n - 1; i >= 0; --i) v = (v << 8) | (at + i < b.size() ? b[at + i] : 0);
    return v;
}

// The fixture archives come with the sources; a missing one is a failure of
// its own, named, rather than an empty result the test misreads.
std::vector<ArchiveEntry> ReadDirectory(const std::string& path) {
    Bytes zip = ReadFile(path);
    if (zip.size() < 22) {
        ADD_FAILURE() << "fixture missing or too short: " << path;
        return {};
    }
    size_t end = zip.size() - 22;
    while (end > 0 && Le(zip, end, 4) != 0x06054b50) --end;
    std::vector<ArchiveEntry> entries;
    size_t p = Le(zip, end + 16, 4);
    for (unsigned i = 0, n = Le(zip, end + 10, 2); i < n; ++i) {
        if (p + 46 > zip.size()) {
            ADD_FAILURE() << "central directory cut short: " << path;
            break;
        }
        ArchiveEntry e;
        e.flags = static_cast<uint16_t>(Le(zip, p + 8, 2));
        e.method = static_cast<uint16_t>(Le(zip, p + 10, 2));
        e.crc = Le(zip, p + 16, 4);
        e.csize = Le(zip, p + 20, 4);
        e.usize = Le(zip, p + 24, 4);
        unsigned nameLen = Le(zip, p + 28, 2);
        size_t local = Le(zip, p + 42, 4);
        e.dataOffset = local + 30 + Le(zip, local + 26, 2) + Le(zip, local + 28, 2);
        if (p + 46 + nameLen > zip.size() || static_cast<size_t>(e.dataOffset) + e.csize > zip.size()) {
            ADD_FAILURE() << "entry outside the file: " << path;
            break;
        }
        e.name.assign(zip.begin() + p + 46, zip.begin() + p + 46 + nameLen);
        entries.push_back(e);
        p += 46 + nameLen + Le(zip, p + 30, 2) + Le(zip, p + 32, 2);
    }
    return entries;
}

TEST(LegacyFixtures, EveryCompressedEntryDecodesToItsOriginal) {
    const std::string dir = FixturesDir() + "/legacy/";
    ASSERT_TRUE(FileExists(dir)) << "legacy fixtures missing: " << dir;
    int decoded = 0;
    for (const char* name : {"shrink.zip", "reduce1.zip", "reduce2.zip", "reduce3.zip", "reduce4.zip",
                             "implode_4k_nolit.zip", "implode_8k_nolit.zip", "implode_4k_lit.zip",
                             "implode_8k_lit.zip"}) {
        for (const ArchiveEntry& e : ReadDirectory(dir + name)) {
            if (e.method == 0) continue;
            std::string base = e.name.substr(e.name.find_last_of('/') + 1);
            Decoded d = DecodeAt(dir + name, e.dataOffset, e.csize, e.method, e.flags, e.usize);
            EXPECT_EQ(d.out, ReadFile(dir + "src/" + base)) << name << ": " << e.name;
            EXPECT_EQ(d.crc, e.crc) << name << ": " << e.name;
            ++decoded;
        }
    }
    EXPECT_GE(decoded, 16);
}

// ---------------------------------------------------------------------------
// The same archives through the extraction export
// ---------------------------------------------------------------------------

const char* const kFixtureArchives[] = {"shrink.zip",           "reduce1.zip",          "reduce2.zip",
                                        "reduce3.zip",          "reduce4.zip",          "implode_4k_nolit.zip",
                                        "implode_8k_nolit.zip", "implode_4k_lit.zip",   "implode_8k_lit.zip"};
const char* const kOriginals[] = {"words.txt", "mixed.bin", "one.txt", "short.txt"};
constexpr const char* kPassword = "Reduce&Co";

int32_t GivePassword(uint32_t, char* password, const char*) {
    std::strcpy(password, kPassword);
    return 1;
}

uint16_t ExtractAll(const std::string& archive, const std::string& outDir, bool usePaths) {
    ResetEngine();
    InitZipFile(EnginePath(archive).c_str());
    if (GetArchiveStatus() != 0) return GetArchiveStatus();
    SetOutputPath(EnginePath(outDir).c_str());
    if (usePaths)
        arOptionsOn(arUsePaths);
    else
        arOptionsOff(arUsePaths);
    SetSetCryptKeyProc(0, GivePassword);
    FileMaskList all;
    InitFileMaskList(&all);
    ExtractFileMaskListZip(&all);
    uint16_t status = GetArchiveStatus();
    DoneFileMaskList(&all);
    DoneZipFile();
    return status;
}

TEST(LegacyArchives, ExtractByteForByteWithAndWithoutPaths) {
    const std::string dir = FixturesDir() + "/legacy/";
    ASSERT_TRUE(FileExists(dir)) << "legacy fixtures missing: " << dir;
    for (const char* name : kFixtureArchives) {
        for (bool usePaths : {false, true}) {
            TempDir out;
            ASSERT_EQ(ExtractAll(dir + name, out.path(), usePaths), 0) << name;
            for (const char* original : kOriginals)
                EXPECT_EQ(ReadFile(out / original), ReadFile(dir + "src/" + original)) << name << ": " << original;
        }
    }
}

// Writes an archive by hand so that entries of any method can be renamed
// and encrypted.
struct Rewrapped {
    std::string name;
    uint16_t flags, method;
    uint32_t crc, usize;
    Bytes data;
};

Bytes WriteArchive(const std::vector<Rewrapped>& entries) {
    std::vector<vxtest::RawEntry> raw;
    for (const Rewrapped& e : entries) {
        vxtest::RawEntry r;
        r.name = e.name;
        r.data = e.data;
        r.flags = e.flags;
        r.method = e.method;
        r.crc = e.crc;
        r.compressedSize = static_cast<uint32_t>(e.data.size());
        r.uncompressedSize = e.usize;
        raw.push_back(r);
    }
    return vxtest::WriteRawZip(raw);
}

TEST(LegacyArchives, EncryptedEntriesOfEveryMethodAndNamesWithDirectories) {
    // Every compressed entry of every fixture, under a directory named after
    // its archive; the entries of mixed.bin and short.txt are encrypted.
    const std::string dir = FixturesDir() + "/legacy/";
    ASSERT_TRUE(FileExists(dir)) << "legacy fixtures missing: " << dir;
    std::vector<Rewrapped> entries;
    for (const char* name : kFixtureArchives) {
        Bytes zip = ReadFile(dir + name);
        std::string folder = std::string(name).substr(0, std::strlen(name) - 4);
        for (const ArchiveEntry& e : ReadDirectory(dir + name)) {
            Rewrapped r{folder + "/" + e.name, e.flags, e.method, e.crc, e.usize,
                        Bytes(zip.begin() + e.dataOffset, zip.begin() + e.dataOffset + e.csize)};
            if (e.name != "words.txt" && e.name != "one.txt") {
                vardex::CipherState cipher;
                uint8_t header[12];
                vardex::MakeHeader(cipher, kPassword, e.crc, 12345, header);
                vardex::EncryptBuffer(cipher, r.data.data(), r.data.size());
                r.data.insert(r.data.begin(), header, header + 12);
                r.flags |= 1;
            }
            entries.push_back(r);
        }
    }
    TempDir work;
    WriteFile(work / "all.zip", WriteArchive(entries));

    TempDir withPaths;
    ASSERT_EQ(ExtractAll(work / "all.zip", withPaths.path(), true), 0);
    for (const Rewrapped& r : entries) {
        std::string base = r.name.substr(r.name.find('/') + 1);
        EXPECT_EQ(ReadFile(withPaths / r.name), ReadFile(dir + "src/" + base)) << r.name;
    }
    TempDir flat;
    ASSERT_EQ(ExtractAll(work / "all.zip", flat.path(), false), 0);
    for (const char* original : kOriginals)
        EXPECT_EQ(ReadFile(flat / original), ReadFile(dir + "src/" + original)) << original;
}

TEST(LegacyArchives, DamagedDataEndsAsCrcMismatchAndTheNextEntryIsNotTouched) {
    // Each method's data cut short: the decoder stops, the driver reports the
    // CRC mismatch and keeps the file; extraction ends there.
    const std::string dir = FixturesDir() + "/legacy/";
    ASSERT_TRUE(FileExists(dir)) << "legacy fixtures missing: " << dir;
    for (const char* name : {"shrink.zip", "reduce2.zip", "implode_8k_lit.zip"}) {
        Bytes zip = ReadFile(dir + name);
        std::vector<ArchiveEntry> found = ReadDirectory(dir + name);
        ASSERT_FALSE(found.empty()) << name;
        ArchiveEntry e = found[0];
        Bytes data(zip.begin() + e.dataOffset, zip.begin() + e.dataOffset + e.csize / 2);
        std::vector<Rewrapped> entries = {{"cut.bin", e.flags, e.method, e.crc, e.usize, data},
                                          {"after.txt", 0, 0, 0x00000000u, 0, {}}};
        TempDir work;
        WriteFile(work / "cut.zip", WriteArchive(entries));
        EXPECT_EQ(ExtractAll(work / "cut.zip", work.path(), false), VX_CRC_MISMATCH) << name;
        EXPECT_TRUE(FileExists(work / "cut.bin")) << name;
        EXPECT_FALSE(FileExists(work / "after.txt")) << name;
    }
}

TEST(LegacyArchives, CommandLineExtractsEveryFixture) {
    VXTEST_NEEDS_POSIX("a POSIX shell and setsid");
    const std::string dir = FixturesDir() + "/legacy/";
    ASSERT_TRUE(FileExists(dir)) << "legacy fixtures missing: " << dir;
    const std::string vardex = "setsid '" + BinaryDir() + "/vardex' extract ";
    for (const char* name : kFixtureArchives) {
        for (const char* paths : {"", " --paths"}) {
            TempDir out;
            std::string log;
            ASSERT_EQ(vxtest::Run(vardex + "'" + dir + name + "' -d '" + out.path() + "'" + paths + " </dev/null", &log), 0)
                << name << paths << ": " << log;
            for (const char* original : kOriginals)
                EXPECT_EQ(ReadFile(out / original), ReadFile(dir + "src/" + original)) << name << ": " << original;
        }
    }
}

}  // namespace
