// Inflate against raw deflate streams written by zlib and hand-made damaged
// streams: every valid stream decodes byte for byte, every invalid one ends
// with status 9964 instead of garbage or a crash.
#include <gtest/gtest.h>
#include <zlib.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "api/engine.h"
#include "common/deflate_format.h"
#include "extract/decode.h"
#include "extract/inflate.h"
#include "extract/streams.h"
#include "platform/platform.h"
#include "support/test_support.h"

using vardex::engine;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes RawDeflate(const Bytes& data, int level, int strategy = Z_DEFAULT_STRATEGY) {
    z_stream z{};
    EXPECT_EQ(deflateInit2(&z, level, Z_DEFLATED, -15, 8, strategy), Z_OK);
    Bytes out(deflateBound(&z, data.size()) + 64);
    z.next_in = const_cast<uint8_t*>(data.data());
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

// zlib's raw inflate as the judge: true (with the output) when it decodes the
// stream to the end of its final block.  Bytes after that are left over, as
// the decoder leaves them, unlike the compressor tests' stricter check.
bool ZlibDecodes(const Bytes& in, Bytes* out) {
    z_stream z{};
    if (inflateInit2(&z, -15) != Z_OK) return false;
    out->clear();
    z.next_in = const_cast<uint8_t*>(in.data());
    z.avail_in = static_cast<uInt>(in.size());
    int r = Z_OK;
    uint8_t chunk[16384];
    while (r == Z_OK) {
        z.next_out = chunk;
        z.avail_out = sizeof chunk;
        r = inflate(&z, Z_NO_FLUSH);
        out->insert(out->end(), chunk, chunk + (sizeof chunk - z.avail_out));
        if (r == Z_BUF_ERROR && z.avail_in == 0) break;  // the stream ends early
    }
    inflateEnd(&z);
    return r == Z_STREAM_END;
}

// Writes fields LSB first, as deflate packs them; Huffman codes go in
// reversed (first bit of the code first).
struct BitWriter {
    Bytes out;
    unsigned bit = 0;
    void Put(uint32_t value, unsigned n) {
        for (unsigned i = 0; i < n; ++i) {
            if (bit == 0) out.push_back(0);
            if (value >> i & 1) out.back() |= static_cast<uint8_t>(1u << bit);
            bit = (bit + 1) & 7;
        }
    }
    void Code(uint32_t code, unsigned n) {
        for (unsigned i = n; i-- > 0;) Put(code >> i & 1, 1);
    }
};

// Canonical codes for a set of lengths (as a decoder assigns them).
std::vector<uint32_t> CanonicalCodes(const std::vector<uint8_t>& lengths) {
    unsigned count[17] = {};
    for (uint8_t l : lengths) ++count[l];
    count[0] = 0;
    uint32_t next[17] = {};
    uint32_t code = 0;
    for (int len = 1; len <= 16; ++len) next[len] = code = (code + count[len - 1]) << 1;
    std::vector<uint32_t> codes(lengths.size());
    for (size_t i = 0; i < lengths.size(); ++i)
        if (lengths[i]) codes[i] = next[lengths[i]]++;
    return codes;
}

// A dynamic block (last) whose literal/length and distance code lengths (0 to
// 2 each) are given; `symbols` are then written with those codes, each a
// literal/length symbol optionally followed by a distance symbol (-1: none).
// `declaredLit` (when not 0) is the literal/length count the header announces
// in place of the true one.
Bytes DynamicBlock(const std::vector<uint8_t>& litLengths, const std::vector<uint8_t>& distLengths,
                   const std::vector<std::pair<int, int>>& symbols, size_t declaredLit = 0) {
    BitWriter w;
    w.Put(1, 1);
    w.Put(2, 2);
    w.Put(static_cast<uint32_t>((declaredLit ? declaredLit : litLengths.size()) - 257), 5);
    w.Put(static_cast<uint32_t>(distLengths.size() - 1), 5);
    w.Put(18 - 4, 4);
    // Code-length code: symbols 0, 1, 2 and 18, two bits each.
    static const int order[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
    for (int i = 0; i < 18; ++i) {
        int sym = order[i];
        w.Put(sym == 0 || sym == 1 || sym == 2 || sym == 18 ? 2 : 0, 3);
    }
    auto clCode = [](int sym) { return sym == 18 ? 3u : static_cast<uint32_t>(sym); };
    std::vector<uint8_t> all(litLengths);
    all.insert(all.end(), distLengths.begin(), distLengths.end());
    for (size_t i = 0; i < all.size();) {
        size_t run = 0;
        while (i + run < all.size() && all[i + run] == 0 && run < 138) ++run;
        if (run >= 11) {
            w.Code(clCode(18), 2);
            w.Put(static_cast<uint32_t>(run - 11), 7);
            i += run;
        } else {
            w.Code(clCode(all[i]), 2);
            ++i;
        }
    }
    auto lit = CanonicalCodes(litLengths);
    auto dist = CanonicalCodes(distLengths);
    for (auto [s, d] : symbols) {
        w.Code(lit[s], litLengths[s]);
        if (d >= 0) w.Code(dist[d], distLengths[d]);
    }
    return w.out;
}

class InflateTest : public ::testing::Test {
protected:
    void SetUp() override { vxtest::ResetEngine(); }
    void TearDown() override { vxtest::ResetEngine(); }

    // Runs the decoder seam over `compressed` (held in memory) as the current
    // entry's data, method 8; returns the decoder's result and leaves the
    // output in *out.  The declared size defaults to the largest, so that
    // only the data ends the output.  `fast` off: the careful path alone.
    // The streams stay in stream_ for the checks that follow.
    int Run(const Bytes& compressed, Bytes* out, uint32_t uncompressedSize = 0xFFFFFFFFu, bool fast = true,
            uint32_t refill = vardex::kSourceBufferSize) {
        auto& s = stream_;
        s.out.handle = vardex::platform::FileOpen(vxtest::EnginePath(dir_ / "out").c_str(), vardex::platform::OpenMode::Create);
        Bytes buffer(refill);
        vardex::CentralFields fields{};
        fields.method = 8;
        fields.compressedSize = static_cast<uint32_t>(compressed.size());
        fields.uncompressedSize = uncompressedSize;
        vardex::ResetStream(s, fields);
        s.in.memory = compressed.data();
        s.in.buffer = buffer.data();
        s.in.capacity = refill;
        engine().status = 0;
        vardex::SetInflateFastPathForTesting(fast);
        int r = vardex::DecodeEntry(s);
        vardex::SetInflateFastPathForTesting(true);
        close(s.out.handle);
        s.in = {};
        s.out.handle = -1;
        *out = vxtest::ReadFile(dir_ / "out");
        return r;
    }

    vxtest::TempDir dir_;
    vardex::StreamState stream_;
};

TEST_F(InflateTest, DecodesZlibStreamsOfEveryKind) {
    struct Input {
        const char* name;
        Bytes data;
    };
    const std::vector<Input> inputs = {
        {"empty", {}},
        {"one byte", {'x'}},
        {"text 100k", vxtest::TextBytes(100000, 1)},
        {"random 70k", vxtest::RandomBytes(70000, 2)},
        {"text exactly one window", vxtest::TextBytes(32768, 3)},
        {"text one window and a byte", vxtest::TextBytes(32769, 4)},
        {"zeros 300k", Bytes(300000, 0)},
    };
    struct Mode {
        int level;
        int strategy;
    };
    const Mode modes[] = {{0, Z_DEFAULT_STRATEGY}, {1, Z_DEFAULT_STRATEGY}, {6, Z_DEFAULT_STRATEGY},
                          {9, Z_DEFAULT_STRATEGY}, {6, Z_FIXED},            {6, Z_HUFFMAN_ONLY},
                          {6, Z_RLE},              {9, Z_FILTERED}};
    for (const auto& in : inputs) {
        for (const auto& m : modes) {
            SCOPED_TRACE(std::string(in.name) + " level " + std::to_string(m.level) + " strategy " +
                         std::to_string(m.strategy));
            Bytes out;
            ASSERT_EQ(Run(RawDeflate(in.data, m.level, m.strategy), &out), 0);
            EXPECT_EQ(engine().status, 0);
            ASSERT_EQ(out, in.data);
            EXPECT_EQ(~stream_.out.crc, crc32(0, in.data.data(), static_cast<uInt>(in.data.size())));
        }
    }
}

TEST_F(InflateTest, EmptyStoredBlockGivesEmptyFileWithCrcZero) {
    Bytes out;
    ASSERT_EQ(Run({0x01, 0x00, 0x00, 0xFF, 0xFF}, &out), 0);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(~stream_.out.crc, 0u);
}

TEST_F(InflateTest, SingleDistanceCodeOfOneBitIsAccepted) {
    // 'A' then a match of length 3 at distance 1.
    std::vector<uint8_t> lit(258, 0), dist(1, 1);
    lit['A'] = 1, lit[256] = 2, lit[257] = 2;
    Bytes out;
    ASSERT_EQ(Run(DynamicBlock(lit, dist, {{'A', -1}, {257, 0}, {256, -1}}), &out), 0);
    EXPECT_EQ(std::string(out.begin(), out.end()), "AAAA");
}

TEST_F(InflateTest, InvalidStreamsEndWithBadData) {
    std::vector<uint8_t> lit(258, 0), distFar(2, 0), distNone(1, 0), over(258, 0), incomplete(257, 0);
    lit['A'] = 1, lit[256] = 2, lit[257] = 2;
    distFar[1] = 1;  // only distance code 1: distance 2
    over['A'] = 1, over['B'] = 1, over[256] = 1;
    incomplete['A'] = 2, incomplete[256] = 2;

    Bytes text = vxtest::TextBytes(50000, 9);
    Bytes whole = RawDeflate(text, 6);
    Bytes truncatedMiddle(whole.begin(), whole.begin() + static_cast<long>(whole.size() / 2));
    Bytes lastByteMissing(whole.begin(), whole.end() - 1);
    Bytes storedCut = {0x01, 0x10, 0x00, 0xEF, 0xFF, 'a', 'b', 'c'};  // LEN 16, 3 bytes present
    // Tables that would decode cleanly if the decoder did not check the counts.
    std::vector<uint8_t> lit287(lit), dist31(31, 0), noEnd(257, 0), repeatPast(lit);
    lit287.resize(287, 0);
    dist31[0] = 1;
    noEnd['A'] = 1, noEnd['B'] = 1;
    repeatPast.resize(270, 0);  // the header announces 258: the final zero run crosses the end
    auto fixed = [](std::initializer_list<std::pair<uint32_t, unsigned>> codes) {
        BitWriter w;
        w.Put(1, 1);
        w.Put(1, 2);
        for (auto [code, bits] : codes) w.Code(code, bits);
        return w.out;
    };
    const std::pair<uint32_t, unsigned> fixedA{0x30 + 'A', 8}, fixedEnd{0, 7};

    struct Case {
        const char* name;
        Bytes stream;
    };
    const std::vector<Case> cases = {
        {"stored block with bad NLEN", {0x01, 0x05, 0x00, 0x00, 0x00, 1, 2, 3, 4, 5}},
        {"block type 3", {0x07, 0x00}},
        {"incomplete literal/length code", DynamicBlock(incomplete, {1}, {{'A', -1}, {256, -1}})},
        {"over-subscribed literal/length code", DynamicBlock(over, {1}, {{'A', -1}, {256, -1}})},
        {"distance before the first byte", DynamicBlock(lit, distFar, {{'A', -1}, {257, 1}, {256, -1}})},
        {"match in a block without distance codes", DynamicBlock(lit, distNone, {{'A', -1}, {257, -1}, {256, -1}})},
        {"data ends in the middle", truncatedMiddle},
        {"last byte missing", lastByteMissing},
        {"stored block cut short", storedCut},
        {"no data at all", {}},
        {"287 literal/length codes", DynamicBlock(lit287, {1}, {{'A', -1}, {256, -1}})},
        {"31 distance codes", DynamicBlock(lit, dist31, {{'A', -1}, {257, 0}, {256, -1}})},
        {"code lengths repeated past their count", DynamicBlock(repeatPast, {1}, {{'A', -1}, {256, -1}}, 258)},
        {"no end-of-block code", DynamicBlock(noEnd, {1}, {{'A', -1}, {'B', -1}, {'A', -1}})},
        {"literal/length symbol 286", fixed({fixedA, {0xC0 + 6, 8}, {0, 5}, fixedEnd})},
        {"distance code 30", fixed({fixedA, {1, 7}, {30, 5}, fixedEnd})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes out;
        EXPECT_FALSE(ZlibDecodes(c.stream, &out)) << "zlib refuses it too";
        EXPECT_NE(Run(c.stream, &out), 0);
        EXPECT_EQ(engine().status, VX_BAD_DATA);
    }
}

TEST_F(InflateTest, DamagedStreamsAreJudgedAsZlibJudgesThem) {
    Bytes text = vxtest::TextBytes(20000, 5);
    const Bytes streams[] = {RawDeflate(text, 9), RawDeflate(text, 6, Z_FIXED)};
    uint32_t seed = 12345;
    auto next = [&seed] { return seed = seed * 1103515245u + 12345u, seed >> 8; };
    int refused = 0, accepted = 0;
    for (const Bytes& good : streams) {
        for (int round = 0; round < 150; ++round) {
            SCOPED_TRACE(round);
            Bytes bad = good;
            for (int k = 0; k < 1 + round % 4; ++k) bad[next() % bad.size()] ^= static_cast<uint8_t>(1u << (next() % 8));
            Bytes out, expected;
            const bool zlibAccepts = ZlibDecodes(bad, &expected);
            const int r = Run(bad, &out);
            const uint16_t status = engine().status;
            const uint32_t crc = stream_.out.crc;
            EXPECT_EQ(r == 0, zlibAccepts);
            if (zlibAccepts && r == 0) {
                EXPECT_EQ(out, expected);
                ++accepted;
            } else if (r != 0) {
                EXPECT_EQ(status, VX_BAD_DATA);
                ++refused;
            }
            // The careful path alone comes to the same end.
            Bytes careful;
            EXPECT_EQ(Run(bad, &careful, 0xFFFFFFFFu, false), r) << round;
            EXPECT_EQ(engine().status, status) << round;
            EXPECT_EQ(stream_.out.crc, crc) << round;
            EXPECT_EQ(careful, out) << round;
        }
    }
    // The damage must reach both outcomes, or the comparison proves little.
    EXPECT_GT(refused, 0);
    EXPECT_GT(accepted, 0);
}

std::vector<int32_t> g_percents;

int32_t RecordPercent(uint32_t, int32_t percent);

// Data whose zlib streams use every length code and every distance code:
// random bytes with copies of each length 3..258 placed at distances spread
// over every distance code's range, so that matches end and begin everywhere
// around the fast path's limits (the end of a 32 KiB window, a refill of the
// input) as well.
Bytes EveryCode(uint32_t seed) {
    Bytes d = vxtest::RandomBytes(40000, seed);
    static const unsigned kDistanceBases[] = {1,   2,   3,   4,   5,    7,    9,    13,   17,   25,
                                              33,  49,  65,  97,  129,  193,  257,  385,  513,  769,
                                              1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
    unsigned length = 3;
    uint32_t x = seed;
    for (int round = 0; round < 3; ++round) {
        for (unsigned base : kDistanceBases) {
            x = x * 1664525u + 1013904223u;
            unsigned distance = base + (x >> 8) % (base < 4 ? 1 : base / 2);
            for (unsigned i = 0; i < length; ++i) d.push_back(d[d.size() - distance]);
            for (int k = 0; k < 7; ++k) d.push_back(static_cast<uint8_t>(x >> (k * 3)));
            length = length == 258 ? 3 : length + 37 > 258 ? 258 : length + 37;
        }
    }
    for (unsigned l = 3; l <= 258; ++l) {
        unsigned distance = 1 + (l * 131) % 32768;
        if (distance > d.size()) distance = 1;
        for (unsigned i = 0; i < l; ++i) d.push_back(d[d.size() - distance]);
        d.push_back(static_cast<uint8_t>(l));
    }
    return d;
}

TEST_F(InflateTest, FastAndCarefulPathsAgreeOnEveryKindOfStream) {
    struct Input {
        const char* name;
        Bytes data;
    };
    Bytes runs;
    for (unsigned n = 1; runs.size() < 90000; ++n) runs.insert(runs.end(), n % 300, static_cast<uint8_t>(n));
    const std::vector<Input> inputs = {
        {"every length and distance code", EveryCode(1)},
        {"every code, shifted", EveryCode(2)},
        {"text", vxtest::TextBytes(150000, 6)},
        {"runs of every length", runs},
        {"window minus one", vxtest::TextBytes(32767, 7)},
        {"two windows plus one", vxtest::TextBytes(65537, 8)},
    };
    struct Mode {
        int level;
        int strategy;
    };
    const Mode modes[] = {{0, Z_DEFAULT_STRATEGY}, {1, Z_DEFAULT_STRATEGY}, {9, Z_DEFAULT_STRATEGY},
                          {6, Z_FIXED},            {6, Z_RLE}};
    engine().progressProc = {7, &RecordPercent};
    for (const auto& in : inputs) {
        for (const auto& m : modes) {
            SCOPED_TRACE(std::string(in.name) + " level " + std::to_string(m.level) + " strategy " +
                         std::to_string(m.strategy));
            const Bytes stream = RawDeflate(in.data, m.level, m.strategy);
            // The stream cut at a few places as well: both paths must stop alike.
            for (size_t cut : {stream.size(), stream.size() * 3 / 4, stream.size() - 9}) {
                const Bytes part(stream.begin(), stream.begin() + static_cast<long>(cut));
                Bytes fast, careful;
                g_percents.clear();
                int r = Run(part, &fast, static_cast<uint32_t>(in.data.size()), true);
                const uint16_t status = engine().status;
                const uint32_t crc = stream_.out.crc;
                const std::vector<int32_t> fastPercents = g_percents;
                g_percents.clear();
                EXPECT_EQ(Run(part, &careful, static_cast<uint32_t>(in.data.size()), false), r) << cut;
                EXPECT_EQ(engine().status, status) << cut;
                EXPECT_EQ(stream_.out.crc, crc) << cut;
                EXPECT_EQ(g_percents, fastPercents) << cut;
                ASSERT_EQ(fast, careful) << cut;
                if (cut == stream.size()) {
                    EXPECT_EQ(r, 0);
                    ASSERT_EQ(fast, in.data);
                }
            }
        }
    }
}

// zlib's stream ended by a sync flush: its blocks are not final and the next
// block starts on a byte.
Bytes SyncFlushed(const Bytes& data, int level) {
    z_stream z{};
    EXPECT_EQ(deflateInit2(&z, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
    Bytes out(deflateBound(&z, data.size()) + 64);
    z.next_in = const_cast<uint8_t*>(data.data());
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&z, Z_SYNC_FLUSH), Z_OK);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

// One symbol of the fixed literal/length code.
void FixedSymbol(BitWriter& w, unsigned symbol) {
    if (symbol < 144)
        w.Code(0x30 + symbol, 8);
    else if (symbol < 256)
        w.Code(0x190 + symbol - 144, 9);
    else if (symbol < 280)
        w.Code(symbol - 256, 7);
    else
        w.Code(0xC0 + symbol - 280, 8);
}

// Every block type in one stream: zlib's dynamic blocks over text, a stored
// block written here, then a final fixed block that uses every length code
// and every distance code, each at the smallest and the largest value of its
// extra bits, with runs of 0 to 40 literals between the matches, so that
// matches begin and end at every distance from the end of the window.
Bytes EveryBlockAndCode() {
    Bytes stream = SyncFlushed(vxtest::TextBytes(40000, 11), 9);
    BitWriter w;
    w.out = stream;
    w.Put(0, 1);  // stored, not final
    w.Put(0, 2);
    w.bit = 0;    // the length fields start on the next byte
    const Bytes stored = vxtest::RandomBytes(3000, 12);
    w.Put(static_cast<uint32_t>(stored.size()), 16);
    w.Put(static_cast<uint32_t>(~stored.size() & 0xFFFF), 16);
    for (uint8_t b : stored) w.Put(b, 8);

    w.Put(1, 1);  // fixed, final
    w.Put(1, 2);
    unsigned literals = 0;
    for (int lc = 0; lc < vardex::kDeflateLengthCodes; ++lc) {
        const unsigned lextra = vardex::kDeflateLengthExtra[lc];
        for (unsigned le : {0u, (1u << lextra) - 1}) {
            if (lc == vardex::kDeflateLengthCodes - 2 && le == 31) le = 30;  // 284 stops at 257
            for (int dc = 0; dc < vardex::kDeflateDistanceCodes; ++dc) {
                const unsigned dextra = vardex::kDeflateDistanceExtra[dc];
                for (unsigned de : {0u, (1u << dextra) - 1}) {
                    for (unsigned k = 0; k < literals % 41; ++k) FixedSymbol(w, 'a' + k % 26);
                    literals += 7;
                    FixedSymbol(w, 257 + static_cast<unsigned>(lc));
                    w.Put(le, lextra);
                    w.Code(static_cast<uint32_t>(dc), 5);
                    w.Put(de, dextra);
                }
            }
        }
    }
    FixedSymbol(w, 256);
    return w.out;
}

TEST_F(InflateTest, FastAndCarefulPathsAgreeOnEveryCodeAtEveryInputMargin) {
    // Refills of every small size move the end of the bytes in hand (where
    // the fast path stops) across every kind of field.
    struct Input {
        const char* name;
        Bytes stream;
    };
    const std::vector<Input> inputs = {
        {"every block type, every length and distance code", EveryBlockAndCode()},
        {"zlib level 9", RawDeflate(EveryCode(3), 9)},
    };
    engine().progressProc = {7, &RecordPercent};
    for (const auto& in : inputs) {
        Bytes expected;
        ASSERT_TRUE(ZlibDecodes(in.stream, &expected)) << in.name;
        ASSERT_GT(expected.size(), 2 * 32768u);  // several windows
        for (uint32_t refill : {1u, 2u, 7u, 8u, 9u, 15u, 64u, 4096u, vardex::kSourceBufferSize}) {
            SCOPED_TRACE(std::string(in.name) + ", refills of " + std::to_string(refill));
            Bytes fast, careful;
            g_percents.clear();
            ASSERT_EQ(Run(in.stream, &fast, static_cast<uint32_t>(expected.size()), true, refill), 0);
            const std::vector<int32_t> fastPercents = g_percents;
            g_percents.clear();
            ASSERT_EQ(Run(in.stream, &careful, static_cast<uint32_t>(expected.size()), false, refill), 0);
            EXPECT_EQ(g_percents, fastPercents);
            // One report per 32 KiB window and one for the rest.
            EXPECT_EQ(g_percents.size(), expected.size() / 32768 + 1);
            ASSERT_EQ(fast, expected);
            ASSERT_EQ(careful, expected);
        }
    }
}

int32_t RecordPercent(uint32_t, int32_t percent) {
    g_percents.push_back(percent);
    return 1;
}

int32_t CancelAtOnce(uint32_t, int32_t) { return 0; }

TEST_F(InflateTest, ProgressStaysWithinZeroToHundredBeyondTwentyOneMegabytes) {
    const size_t size = 25u * 1024 * 1024;
    Bytes zeros(size, 0);
    Bytes compressed = RawDeflate(zeros, 9);
    zeros = {};
    g_percents.clear();
    engine().progressProc = {7, &RecordPercent};
    Bytes out;
    ASSERT_EQ(Run(compressed, &out, static_cast<uint32_t>(size)), 0);
    EXPECT_EQ(out.size(), size);
    ASSERT_FALSE(g_percents.empty());
    for (size_t i = 0; i < g_percents.size(); ++i) {
        ASSERT_GE(g_percents[i], 0);
        ASSERT_LE(g_percents[i], 100);
        if (i > 0) {
            ASSERT_GE(g_percents[i], g_percents[i - 1]);
        }
    }
    EXPECT_EQ(g_percents.back(), 100);
}

TEST_F(InflateTest, HostCancelEndsDecodingAfterTheBlock) {
    Bytes text = vxtest::TextBytes(400000, 8);
    engine().progressProc = {0, &CancelAtOnce};
    Bytes out;
    Run(RawDeflate(text, 6), &out, static_cast<uint32_t>(text.size()));
    EXPECT_EQ(engine().status, VX_CANCELLED);
    EXPECT_LT(out.size(), text.size());
}

}  // namespace
