// Code pages on Windows: the working ("ANSI") encoding is the ANSI code page,
// names stored without the UTF-8 flag are in the OEM code page.
//
// A UTF-8 name (flag bit 11) may hold characters the ANSI code page cannot:
// the host sees them as '?', but the file is still created under its true
// name.  Each such name component is kept in a small book (its ANSI form ->
// its true wide form); paths reaching the file system look their '?'
// components up there (WidePath), and a name written back to an archive in
// UTF-8 gets its true form again (CharToUtf8).  '?' never occurs in a real
// Windows file name, so only components the book made can carry it.
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "common/text.h"
#include "platform/platform.h"
#include "platform/win_internal.h"

namespace vardex::platform {

namespace {

// ANSI form of a component -> its true wide form; an empty wide form marks
// an ANSI form that two different true names share (no way to tell them
// apart).  Cleared when it grows large: a host may list many archives.
std::map<std::string, std::wstring>& NameBook() {
    static std::map<std::string, std::wstring> book;
    return book;
}
constexpr size_t kNameBookLimit = 4096;

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

std::wstring Widen(const char* text, size_t len, UINT codePage) {
    if (len == 0) return {};
    const int n = ::MultiByteToWideChar(codePage, 0, text, static_cast<int>(len), nullptr, 0);
    std::wstring out(n > 0 ? static_cast<size_t>(n) : 0, L'\0');
    if (n > 0) ::MultiByteToWideChar(codePage, 0, text, static_cast<int>(len), out.data(), n);
    return out;
}

// Wide -> ANSI, never with a "best fit" look-alike: a look-alike of '\',
// '/', ':' or '.' would change what the name means as a path.
std::string ToAnsi(const wchar_t* text, size_t len, bool* lossy) {
    BOOL usedDefault = FALSE;
    std::string out;
    if (len > 0) {
        const int n = ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text, static_cast<int>(len), nullptr, 0,
                                            "?", &usedDefault);
        out.assign(n > 0 ? static_cast<size_t>(n) : 0, '\0');
        if (n > 0)
            ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text, static_cast<int>(len), out.data(), n, "?",
                                  &usedDefault);
    }
    if (lossy) *lossy = usedDefault != FALSE;
    return out;
}

// Copies `text` into out[outCap], cut at a character boundary.
size_t PutText(const std::string& text, char* out, size_t outCap) {
    if (outCap == 0) return 0;
    const size_t len = TextCutLength(text.c_str(), text.size(), outCap - 1);
    memcpy(out, text.data(), len);
    out[len] = '\0';
    return len;
}

// Notes the true form of every component of a name whose ANSI form lost
// characters.
void RememberComponents(const std::wstring& wide) {
    auto& book = NameBook();
    if (book.size() > kNameBookLimit) book.clear();
    for (size_t i = 0; i < wide.size();) {
        size_t end = i;
        while (end < wide.size() && !IsSeparator(wide[end])) ++end;
        bool lossy = false;
        const std::string ansi = ToAnsi(wide.data() + i, end - i, &lossy);
        if (lossy) {
            const std::wstring truth = wide.substr(i, end - i);
            auto [it, added] = book.emplace(ansi, truth);
            if (!added && it->second != truth) it->second.clear();
        }
        i = end + 1;
    }
}

// The true form of an ANSI component, when the book holds exactly one.
const std::wstring* TrueComponent(const std::string& ansi) {
    if (ansi.find('?') == std::string::npos) return nullptr;
    const auto& book = NameBook();
    const auto it = book.find(ansi);
    return it == book.end() || it->second.empty() ? nullptr : &it->second;
}

// The first byte of a double-byte character (code pages such as 932).
bool IsLeadByte(uint8_t b) { return b >= 0x80 && ::IsDBCSLeadByte(b); }

}  // namespace

namespace win {

std::wstring WidePath(const char* enginePath) {
    const char* path = enginePath ? enginePath : "";
    std::wstring out;
    const size_t len = strlen(path);
    for (size_t i = 0; i <= len;) {
        size_t end = i;
        while (end < len && path[end] != '\\' && path[end] != '/') end += CharLength(path + end, len - end);
        const std::string component(path + i, end - i);
        const std::wstring* truth = TrueComponent(component);
        if (truth) {
            out += *truth;
        } else {
            std::wstring wide = Widen(component.data(), component.size(), CP_ACP);
            // A '?' the book cannot resolve (two true names share this
            // form) would make the name invalid; '_' keeps it a file name.
            // A lone "?" is left alone: it is the \\?\ prefix.
            if (component != "?")
                for (wchar_t& c : wide)
                    if (c == L'?') c = L'_';
            out += wide;
        }
        if (end < len) out += L'\\';
        i = end + 1;
    }
    return out;
}

std::string Narrow(const wchar_t* text) { return ToAnsi(text, text ? wcslen(text) : 0, nullptr); }

}  // namespace win

size_t OemToChar(const uint8_t* in, size_t inLen, char* out, size_t outCap) {
    if (outCap == 0) return 0;
    size_t len = 0;
    while (in && len < inLen && in[len] != 0) ++len;
    std::string ansi(len, '\0');
    if (len > 0) ::OemToCharBuffA(reinterpret_cast<const char*>(in), ansi.data(), static_cast<DWORD>(len));
    return PutText(ansi, out, outCap);
}

size_t CharToOem(const char* in, char* out, size_t outCap) {
    if (outCap == 0) return 0;
    const std::string text = in ? in : "";
    std::string oem(text.size(), '\0');
    if (!text.empty()) ::CharToOemBuffA(text.c_str(), oem.data(), static_cast<DWORD>(text.size()));
    const size_t len = oem.size() < outCap - 1 ? oem.size() : outCap - 1;
    memcpy(out, oem.data(), len);
    out[len] = '\0';
    return len;
}

size_t Utf8ToChar(const uint8_t* in, size_t inLen, char* out, size_t outCap) {
    size_t len = 0;
    while (in && len < inLen && in[len] != 0) ++len;
    // Malformed bytes become U+FFFD, which no ANSI code page holds: '?'.
    const std::wstring wide = Widen(reinterpret_cast<const char*>(in), len, CP_UTF8);
    bool lossy = false;
    const std::string ansi = ToAnsi(wide.data(), wide.size(), &lossy);
    if (lossy) RememberComponents(wide);
    return PutText(ansi, out, outCap);
}

size_t CharToUtf8(const char* in, char* out, size_t outCap) {
    if (outCap == 0) return 0;
    const char* text = in ? in : "";
    const size_t textLen = strnlen(text, kMaxText + 1);
    // Component by component, so that a '?' the book knows becomes the true
    // character again.
    std::wstring wide;
    for (size_t i = 0; i <= textLen;) {
        size_t end = i;
        while (end < textLen && text[end] != '\\' && text[end] != '/') end += CharLength(text + end, textLen - end);
        const std::string component(text + i, end - i);
        const std::wstring* truth = TrueComponent(component);
        wide += truth ? *truth : Widen(component.data(), component.size(), CP_ACP);
        if (end < textLen) wide += static_cast<wchar_t>(text[end]);
        i = end + 1;
    }
    std::string utf8;
    const int n = ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                                        nullptr, nullptr);
    if (n > 0) {
        utf8.assign(static_cast<size_t>(n), '\0');
        ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), utf8.data(), n, nullptr,
                              nullptr);
    }
    // Cut on a UTF-8 boundary: back up over continuation bytes.
    size_t len = utf8.size() < outCap - 1 ? utf8.size() : outCap - 1;
    if (len < utf8.size())
        while (len > 0 && (static_cast<uint8_t>(utf8[len]) & 0xC0) == 0x80) --len;
    memcpy(out, utf8.data(), len);
    out[len] = '\0';
    return len;
}

size_t CharLength(const char* p, size_t avail) {
    if (avail >= 2 && IsLeadByte(static_cast<uint8_t>(p[0])) && p[1] != '\0') return 2;
    return 1;
}

size_t TextCutLength(const char* text, size_t len, size_t limit) {
    if (len <= limit) return len;
    size_t cut = 0;
    while (cut < limit) {
        const size_t n = CharLength(text + cut, len - cut);
        if (cut + n > limit) break;
        cut += n;
    }
    return cut;
}

void UpperCaseCharacter(char* p, size_t n) {
    if (n != 1) return;
    const uint8_t b = static_cast<uint8_t>(p[0]);
    if (b >= 'a' && b <= 'z') p[0] = static_cast<char>(b - 'a' + 'A');
    // The old code page's a and o with diaeresis; 0xFC (u with diaeresis) stays.
    if (b == 0xE4 || b == 0xF6) p[0] = static_cast<char>(b - 0x20);
}

namespace {

bool IsDeviceName(const char* name, size_t len) {
    // The device name is what stands before the first dot, trailing spaces
    // ignored, in any case: "nul", "Con.txt", "COM1 .log".
    size_t base = 0;
    while (base < len && name[base] != '.') ++base;
    while (base > 0 && name[base - 1] == ' ') --base;
    char upper[8] = {};
    if (base < 3 || base > 7) return false;
    for (size_t i = 0; i < base; ++i) {
        const char c = name[i];
        upper[i] = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
    }
    static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    for (const char* device : kDevices)
        if (strcmp(upper, device) == 0) return true;
    const bool numbered = base == 4 && upper[3] >= '1' && upper[3] <= '9';
    return numbered && (memcmp(upper, "COM", 3) == 0 || memcmp(upper, "LPT", 3) == 0);
}

}  // namespace

size_t SafeComponent(const char* name, size_t len, char* out) {
    // "a:b" names the stream b of file a; "CON.txt" the console.
    const bool stream = memchr(name, ':', len) != nullptr;
    if (!stream && !IsDeviceName(name, len)) {
        memcpy(out, name, len);
        return len;
    }
    out[0] = '_';
    for (size_t i = 0; i < len; ++i) out[i + 1] = name[i] == ':' ? '_' : name[i];
    return len + 1;
}

bool OutputNameForSystem(const char* name, char* out, size_t outCap) {
    const size_t len = strlen(name);
    size_t used = 0;
    for (size_t i = 0; i <= len;) {
        size_t end = i;
        while (end < len && name[end] != '\\' && name[end] != '/') end += CharLength(name + end, len - end);
        // The component, perhaps one '_' longer, its separator and the end.
        if (used + (end - i) + 3 > outCap) return false;
        used += SafeComponent(name + i, end - i, out + used);
        if (end < len) out[used++] = '\\';
        i = end + 1;
    }
    out[used] = '\0';
    return true;
}

}  // namespace vardex::platform
