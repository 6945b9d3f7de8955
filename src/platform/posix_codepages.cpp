// Code pages on POSIX: the working ("ANSI") encoding is UTF-8, names stored
// in archives without the UTF-8 flag are CP437 ("OEM").
//
// Every output is zero-terminated, holds at most outCap - 1 bytes and ends on
// a character boundary: a character that does not fit is dropped whole.
// Input that is not valid UTF-8 never makes a conversion read past the end
// of its input: each malformed byte is taken as one unmappable character.
#include <cstring>

#include "platform/platform.h"

namespace vardex::platform {

namespace {

// Unicode code points of CP437 bytes 0x80..0xFF (0x00..0x7F are ASCII).
// clang-format off
constexpr uint16_t kCp437High[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7,
    0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE, 0x00EC, 0x00C4, 0x00C5,
    0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9,
    0x00FF, 0x00D6, 0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192,
    0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA, 0x00BA,
    0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB,
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556,
    0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510,
    0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F,
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567,
    0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B,
    0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580,
    0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4,
    0x03A6, 0x0398, 0x03A9, 0x03B4, 0x221E, 0x03C6, 0x03B5, 0x2229,
    0x2261, 0x00B1, 0x2265, 0x2264, 0x2320, 0x2321, 0x00F7, 0x2248,
    0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0,
};
// clang-format on

// Encodes a code point below 0x10000 (all that CP437 needs); returns the length.
size_t EncodeUtf8(uint32_t cp, uint8_t* out) {
    if (cp < 0x80) {
        out[0] = static_cast<uint8_t>(cp);
        return 1;
    }
    if (cp < 0x800) {
        out[0] = static_cast<uint8_t>(0xC0 | (cp >> 6));
        out[1] = static_cast<uint8_t>(0x80 | (cp & 0x3F));
        return 2;
    }
    out[0] = static_cast<uint8_t>(0xE0 | (cp >> 12));
    out[1] = static_cast<uint8_t>(0x80 | ((cp >> 6) & 0x3F));
    out[2] = static_cast<uint8_t>(0x80 | (cp & 0x3F));
    return 3;
}

// Decodes one well-formed UTF-8 character (no overlong forms, no
// surrogates) from at most `avail` bytes.  Returns its length, or 0 when the
// bytes at p do not start one.  Stops at the first byte that is not a
// continuation, so a terminator is never read past.
size_t DecodeUtf8(const uint8_t* p, size_t avail, uint32_t* cp) {
    const size_t n = Utf8SequenceLength(p[0]);
    if (n == 1) {
        if (p[0] >= 0x80) return 0;
        *cp = p[0];
        return 1;
    }
    if (avail < n) return 0;
    uint32_t value = p[0] & (0x7F >> n);
    for (size_t i = 1; i < n; ++i) {
        if ((p[i] & 0xC0) != 0x80) return 0;
        value = (value << 6) | (p[i] & 0x3F);
    }
    static constexpr uint32_t kSmallest[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (value < kSmallest[n] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
    *cp = value;
    return n;
}

uint8_t OemByteOf(uint32_t cp) {
    if (cp < 0x80) return static_cast<uint8_t>(cp);
    for (size_t i = 0; i < 128; ++i)
        if (kCp437High[i] == cp) return static_cast<uint8_t>(0x80 + i);
    return '?';
}

}  // namespace

size_t Utf8SequenceLength(uint8_t b) {
    if (b < 0x80) return 1;
    if (b >= 0xC2 && b <= 0xDF) return 2;
    if (b >= 0xE0 && b <= 0xEF) return 3;
    if (b >= 0xF0 && b <= 0xF4) return 4;
    return 1;  // continuation byte or a lead byte no valid sequence has
}

size_t OemToChar(const uint8_t* in, size_t inLen, char* out, size_t outCap) {
    if (outCap == 0) return 0;
    size_t len = 0;
    for (size_t i = 0; in && i < inLen && in[i] != 0; ++i) {
        uint8_t buf[3];
        const size_t n = in[i] < 0x80 ? EncodeUtf8(in[i], buf) : EncodeUtf8(kCp437High[in[i] - 0x80], buf);
        if (len + n > outCap - 1) break;
        memcpy(out + len, buf, n);
        len += n;
    }
    out[len] = '\0';
    return len;
}

size_t CharToOem(const char* in, char* out, size_t outCap) {
    if (outCap == 0) return 0;
    const auto* p = reinterpret_cast<const uint8_t*>(in ? in : "");
    const size_t inLen = strlen(reinterpret_cast<const char*>(p));
    size_t len = 0;
    for (size_t i = 0; i < inLen && len < outCap - 1;) {
        uint32_t cp = 0;
        const size_t n = DecodeUtf8(p + i, inLen - i, &cp);
        out[len++] = static_cast<char>(n ? OemByteOf(cp) : '?');
        i += n ? n : 1;
    }
    out[len] = '\0';
    return len;
}

size_t Utf8Copy(const uint8_t* in, size_t inLen, char* out, size_t outCap) {
    if (outCap == 0) return 0;
    size_t len = 0;
    for (size_t i = 0; in && i < inLen && in[i] != 0;) {
        uint32_t cp = 0;
        size_t n = DecodeUtf8(in + i, inLen - i, &cp);
        // A malformed byte becomes '?', so the copy is always valid UTF-8
        // and later cuts at character boundaries stay sound.
        const uint8_t* piece = n ? in + i : reinterpret_cast<const uint8_t*>("?");
        const size_t pieceLen = n ? n : 1;
        if (len + pieceLen > outCap - 1) break;
        memcpy(out + len, piece, pieceLen);
        len += pieceLen;
        i += n ? n : 1;
    }
    out[len] = '\0';
    return len;
}

// Any byte but '/' and NUL makes a plain file name here.
bool OutputNameForSystem(const char* name, char* out, size_t outCap) {
    const size_t len = strlen(name);
    if (len >= outCap) return false;
    memcpy(out, name, len + 1);
    return true;
}

size_t CharToUtf8(const char* in, char* out, size_t outCap) {
    const char* text = in ? in : "";
    return Utf8Copy(reinterpret_cast<const uint8_t*>(text), strlen(text), out, outCap);
}

size_t CharLength(const char* p, size_t avail) {
    const size_t n = Utf8SequenceLength(static_cast<uint8_t>(p[0]));
    if (n > avail) return 1;
    for (size_t i = 1; i < n; ++i)
        if ((static_cast<uint8_t>(p[i]) & 0xC0) != 0x80) return 1;
    return n;
}

size_t TextCutLength(const char* text, size_t len, size_t limit) {
    if (len <= limit) return len;
    size_t cut = limit;
    // Back up over continuation bytes so the cut lands before a lead byte.
    while (cut > 0 && (static_cast<uint8_t>(text[cut]) & 0xC0) == 0x80) --cut;
    return cut;
}

void UpperCaseCharacter(char* p, size_t n) {
    const uint8_t b = static_cast<uint8_t>(p[0]);
    if (n == 1 && b >= 'a' && b <= 'z') p[0] = static_cast<char>(b - 'a' + 'A');
    // U+00E4 and U+00F6 (the old code page's 0xE4 and 0xF6) become U+00C4
    // and U+00D6; U+00FC (0xDC's lower case) stays.
    const uint8_t second = n == 2 ? static_cast<uint8_t>(p[1]) : 0;
    if (n == 2 && b == 0xC3 && (second == 0xA4 || second == 0xB6)) p[1] = static_cast<char>(second - 0x20);
}

bool IsUtf8(const uint8_t* in, size_t inLen) {
    for (size_t i = 0; i < inLen;) {
        uint32_t cp = 0;
        const size_t n = in[i] == 0 ? 0 : DecodeUtf8(in + i, inLen - i, &cp);
        if (n == 0) return false;
        i += n;
    }
    return true;
}

// Every tool on a POSIX system reads the UTF-8 flag, and CP437 means nothing
// to them: a name with any character outside ASCII is stored as UTF-8.
bool StoreNameAsUtf8(const char* name) {
    for (const char* p = name; p && *p; ++p)
        if (static_cast<unsigned char>(*p) >= 0x80) return true;
    return false;
}

// zip and other Unix tools store the file system's bytes, which are UTF-8
// on any current system, without setting the flag.
bool HostStoresUtf8(uint8_t hostSystem) { return hostSystem == kHostUnix; }

uint8_t HostSystem() { return kHostUnix; }

}  // namespace vardex::platform
