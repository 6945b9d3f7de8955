// The traditional cipher's reading side: the header check, the password
// dialogue with the host, and decryption of the data behind the header as
// the byte reader hands it out.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "api/engine.h"
#include "archive/records.h"
#include "crypt/crypt.h"
#include "crypt/password.h"
#include "extract/extract.h"
#include "extract/streams.h"
#include "platform/platform.h"
#include "support/test_support.h"

using vardex::engine;

namespace {

using Bytes = std::vector<uint8_t>;

// 12 header bytes whose plain form ends in byte10, byte11, encrypted with
// `password`, followed by `data` encrypted in the same key stream.
Bytes Encrypted(const char* password, uint8_t byte10, uint8_t byte11, const Bytes& data) {
    Bytes out(12 + data.size());
    const uint8_t head[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, byte10, byte11};
    memcpy(out.data(), head, 12);
    if (!data.empty()) memcpy(out.data() + 12, data.data(), data.size());
    vardex::CipherState s;
    vardex::InitKeys(s, password);
    vardex::EncryptBuffer(s, out.data(), out.size());
    return out;
}

TEST(Cipher, DecryptingWhatWasEncryptedGivesItBack) {
    Bytes plain = vxtest::RandomBytes(5000, 1);
    Bytes buf = plain;
    vardex::CipherState s;
    vardex::InitKeys(s, "pw");
    vardex::EncryptBuffer(s, buf.data(), buf.size());
    EXPECT_NE(buf, plain);
    vardex::InitKeys(s, "pw");
    vardex::DecryptBuffer(s, buf.data(), buf.size());
    EXPECT_EQ(buf, plain);
}

TEST(Cipher, KeystreamMatchesPythonsZipfile) {
    // Python's zipfile._ZipDecrypter(b"pw") turns the bytes 0, 10, 20, ... 150
    // into these; the cipher must agree in both directions.
    const Bytes cipher = {0, 10, 20, 30, 40, 50, 60, 70, 80, 90, 100, 110, 120, 130, 140, 150};
    const Bytes plain = {0xE3, 0xEA, 0x8E, 0xEB, 0x4E, 0x5E, 0x6C, 0x72,
                         0xEF, 0x78, 0x71, 0xA0, 0x97, 0x13, 0xE8, 0x89};
    vardex::CipherState s;
    Bytes buf = cipher;
    vardex::InitKeys(s, "pw");
    vardex::DecryptBuffer(s, buf.data(), buf.size());
    EXPECT_EQ(buf, plain);
    vardex::InitKeys(s, "pw");
    vardex::EncryptBuffer(s, buf.data(), buf.size());
    EXPECT_EQ(buf, cipher);
}

TEST(Cipher, HeaderCheckLooksAtTheLastByteOnly) {
    const uint32_t crc = 0xA1B2C3D4;
    vardex::CipherState s;
    // Byte 10 differs from the CRC's second byte: still a match.
    EXPECT_TRUE(vardex::CheckHeader(s, "pw", Encrypted("pw", 0x00, 0xA1, {}).data(), crc));
    EXPECT_FALSE(vardex::CheckHeader(s, "pw", Encrypted("pw", 0xB2, 0xA0, {}).data(), crc));
    EXPECT_FALSE(vardex::CheckHeader(s, "other", Encrypted("pw", 0xB2, 0xA1, {}).data(), crc));
    // A header made by the writing side checks against its CRC.
    uint8_t header[12];
    vardex::MakeHeader(s, "pw", crc, 12345, header);
    EXPECT_TRUE(vardex::CheckHeader(s, "pw", header, crc));
}

// The password dialogue, through the byte reader over a file that holds the
// entry's data.
class PasswordStep : public ::testing::Test {
protected:
    // Refills of 4,096 bytes: the first holds the header and the data
    // behind it, later ones are decrypted whole.
    static constexpr uint32_t kRefill = 4096;

    void SetUp() override {
        vxtest::ResetEngine();
        calls_ = 0;
        answers_.clear();
        sawUnreadHeader_.clear();
    }
    void TearDown() override {
        auto& s = stream_;
        if (s.in.handle >= 0) close(s.in.handle);
        free(s.in.buffer);
        s.in = {};
        vxtest::ResetEngine();
    }

    void Prepare(const Bytes& data, uint32_t crc, uint16_t flags = vardex::kFlagEncrypted, uint16_t time = 0) {
        vxtest::WriteFile(dir_ / "data", data);
        auto& s = stream_;
        s.in.handle = vardex::platform::FileOpen(vxtest::EnginePath(dir_ / "data").c_str(), vardex::platform::OpenMode::ReadOnly);
        s.in.buffer = static_cast<uint8_t*>(malloc(kRefill));
        s.in.capacity = kRefill;
        vardex::CentralFields f{};
        f.flags = flags;
        f.time = time;
        f.crc32 = crc;
        f.compressedSize = static_cast<uint32_t>(data.size());
        vardex::ResetStream(s, f);
    }

    // Each call answers with the next scripted (password, result) pair.
    static int32_t Host(uint32_t hostWord, char* password, const char* name) {
        EXPECT_EQ(hostWord, 77u);
        EXPECT_STREQ(name, "dir\\file.txt");
        sawUnreadHeader_.push_back(stream_.in.end == stream_.in.buffer);
        auto [text, result] = answers_.at(calls_++);
        strcpy(password, text);
        return result;
    }
    void Answers(std::vector<std::pair<const char*, int32_t>> script) {
        answers_ = std::move(script);
        engine().cryptKeyProc = {77, &Host};
    }

    static inline int calls_ = 0;
    static inline std::vector<std::pair<const char*, int32_t>> answers_;
    static inline std::vector<bool> sawUnreadHeader_;
    // The entry's streams, read by the password step and looked at by Host.
    static inline vardex::StreamState stream_;
    vxtest::TempDir dir_;
};

TEST_F(PasswordStep, RefusedWithoutCallbackEvenWhenPasswordIsSet) {
    Prepare(Encrypted("right", 0, 0x12, {}), 0x12000000);
    strcpy(engine().password, "right");
    EXPECT_FALSE(vardex::PasswordStep(stream_, "dir\\file.txt"));
}

TEST_F(PasswordStep, CorrectPasswordNeedsNoQuestion) {
    Prepare(Encrypted("right", 0, 0x12, {}), 0x12000000);
    strcpy(engine().password, "right");
    Answers({});
    EXPECT_TRUE(vardex::PasswordStep(stream_, "dir\\file.txt"));
    EXPECT_EQ(calls_, 0);
}

TEST_F(PasswordStep, EmptyPasswordIsAskedForBeforeTheHeaderIsRead) {
    Prepare(Encrypted("right", 0, 0x12, {}), 0x12000000);
    Answers({{"right", 1}});
    EXPECT_TRUE(vardex::PasswordStep(stream_, "dir\\file.txt"));
    ASSERT_EQ(calls_, 1);
    EXPECT_TRUE(sawUnreadHeader_[0]);
}

TEST_F(PasswordStep, WrongPasswordIsAskedAgainAfterTheCheckAndTheRightOneStays) {
    Prepare(Encrypted("right", 0, 0x12, {}), 0x12000000);
    strcpy(engine().password, "wrong");
    Answers({{"", 1}, {"", 1}, {"still wrong", 1}, {"right", 1}});
    EXPECT_TRUE(vardex::PasswordStep(stream_, "dir\\file.txt"));
    EXPECT_EQ(calls_, 4);
    EXPECT_FALSE(sawUnreadHeader_[0]);
    EXPECT_STREQ(engine().password, "right");
}

TEST_F(PasswordStep, TheEmptyPasswordIsTriedOnce) {
    Prepare(Encrypted("", 0, 0x12, {}), 0x12000000);
    Answers({{"", 1}});
    EXPECT_TRUE(vardex::PasswordStep(stream_, "dir\\file.txt"));
    EXPECT_EQ(calls_, 1);

    // When it is not the one, an empty answer only asks again.
    TearDown();
    SetUp();
    Prepare(Encrypted("right", 0, 0x12, {}), 0x12000000);
    Answers({{"", 1}, {"", 1}, {"right", 1}});
    EXPECT_TRUE(vardex::PasswordStep(stream_, "dir\\file.txt"));
    EXPECT_EQ(calls_, 3);
}

TEST_F(PasswordStep, HostGivingUpRefuses) {
    Prepare(Encrypted("right", 0, 0x12, {}), 0x12000000);
    strcpy(engine().password, "wrong");
    Answers({{"wrong again", 0}});
    EXPECT_FALSE(vardex::PasswordStep(stream_, "dir\\file.txt"));
}

TEST_F(PasswordStep, DataShorterThanAHeaderIsRefused) {
    Bytes header = Encrypted("right", 0, 0x12, {});
    header.resize(7);
    Prepare(header, 0x12000000);
    strcpy(engine().password, "right");
    Answers({{"right", 1}});
    EXPECT_FALSE(vardex::PasswordStep(stream_, "dir\\file.txt"));
}

TEST_F(PasswordStep, StreamedEntriesAlsoCheckAgainstTheTimeByte) {
    // DOS time 0x9A5C: its high byte 0x9A is what streaming writers put in
    // the header; the CRC's high byte (0x12) is not there.
    const Bytes data = Encrypted("right", 0, 0x9A, {});
    for (uint16_t flags : {uint16_t{0x0009}, uint16_t{0x0001}}) {
        SCOPED_TRACE(flags);
        TearDown();
        SetUp();
        Prepare(data, 0x12345678, flags, 0x9A5C);
        strcpy(engine().password, "right");
        Answers({{"right", 0}});
        EXPECT_EQ(vardex::PasswordStep(stream_, "dir\\file.txt"), (flags & 0x0008) != 0);
    }
}

TEST_F(PasswordStep, DataBehindTheHeaderIsDecryptedAcrossBlocks) {
    // The first block holds the header and 4,084 data bytes, decrypted one
    // at a time; the blocks after it are decrypted whole.
    const Bytes plain = vxtest::RandomBytes(10000, 4);
    Prepare(Encrypted("right", 0, 0x12, plain), 0x12000000);
    strcpy(engine().password, "right");
    Answers({});
    ASSERT_TRUE(vardex::PasswordStep(stream_, "dir\\file.txt"));
    Bytes got;
    for (int c; (c = stream_.in.Byte()) >= 0;) got.push_back(static_cast<uint8_t>(c));
    EXPECT_EQ(got, plain);
    EXPECT_TRUE(stream_.in.ended);
}

}  // namespace
