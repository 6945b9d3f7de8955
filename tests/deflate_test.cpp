// The Deflate compressor: streams that zlib decodes to the input, the
// encoder's own decisions (block types, trees, runs, matches), encryption,
// failures, and a golden hash of its output.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "support/deflate_support.h"
#include "support/test_support.h"

using vardex::engine;
using vxtest::DeflateMemory;
using vxtest::DeflateRun;

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

}  // namespace
