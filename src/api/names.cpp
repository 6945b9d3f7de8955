// Entry-name rules shared by extraction and update, so that a name is listed,
// stored and extracted the same way.
#include "api/names.h"

#include <cstring>

#include "api/engine.h"
#include "api/paths.h"
#include "common/text.h"
#include "platform/platform.h"

namespace vardex {

namespace {

bool IsDriveLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// The length of a real "\\server\share\" prefix (both names present and the
// share closed by a separator), 0 for anything else.
size_t UncPrefixLength(const char* name) {
    if (!IsNameSeparator(name[0]) || !IsNameSeparator(name[1])) return 0;
    size_t i = 2;
    const size_t server = i;
    while (name[i] && !IsNameSeparator(name[i])) ++i;
    if (i == server || !name[i]) return 0;
    const size_t share = ++i;
    while (name[i] && !IsNameSeparator(name[i])) ++i;
    if (i == share || !name[i]) return 0;
    return i + 1;
}

// Characters of the working form (UTF-8 on POSIX, the ANSI code page on
// Windows) in the first len bytes.
size_t CharacterCount(const char* text, size_t len) {
    size_t count = 0;
    for (size_t i = 0; i < len; ++count) i += platform::CharLength(text + i, len - i);
    return count;
}

}  // namespace

bool IsNameSeparator(char c) { return c == '\\' || c == '/'; }

void ToWorkingSeparatorsInPlace(char* text) {
    for (char* p = text; *p; ++p)
        if (*p == '/') *p = '\\';
}

void ToStoredSeparatorsInPlace(char* text, size_t length) {
    for (size_t i = 0; i < length; ++i)
        if (text[i] == '\\') text[i] = '/';
}

bool NamesDirectory(const char* name) {
    const size_t len = strlen(name);
    return len > 0 && IsNameSeparator(name[len - 1]);
}

void StripNamePrefix(char* name) {
    size_t skip = UncPrefixLength(name);
    if (skip == 0 && IsDriveLetter(name[0]) && name[1] == ':') skip = 2;
    while (IsNameSeparator(name[skip])) ++skip;
    if (skip) memmove(name, name + skip, strlen(name + skip) + 1);
}

void DropUnsafeLevels(char* name) {
    const size_t len = strlen(name);
    size_t o = 0;
    for (size_t i = 0; i < len;) {
        const size_t start = i;
        while (i < len && !IsNameSeparator(name[i])) ++i;
        const size_t n = i - start;
        if (i < len) ++i;  // past the separator
        const bool dots = (n == 1 && name[start] == '.') || (n == 2 && name[start] == '.' && name[start + 1] == '.');
        if (n == 0 || dots) continue;
        if (o > 0) name[o++] = '\\';
        memmove(name + o, name + start, n);  // o <= start: moves only backwards
        o += n;
    }
    name[o] = '\0';
}

bool MakeSafeName(char* name) {
    StripNamePrefix(name);
    DropUnsafeLevels(name);
    return name[0] != '\0';
}

size_t CharacterCount(const char* text) { return CharacterCount(text, strlen(text)); }

size_t BytesOfCharacters(const char* text, size_t count) {
    const size_t len = strlen(text);
    size_t i = 0;
    for (; i < len && count > 0; --count) i += platform::CharLength(text + i, len - i);
    return i;
}

bool EntryNameWasCut(const ZipFileEntry& entry) {
    // A cut lands on a character boundary at most 3 bytes short of the
    // field, and leaves fewer characters than the stored name had bytes.
    const size_t len = strnlen(entry.name, sizeof entry.name);
    return len + 3 >= kMaxText && CharacterCount(entry.name, len) < entry.nameLength;
}

void MaskText(const FileMask* node, char* out) {
    AddSeparator(node->dir ? node->dir : "", out);
    AppendText(out, kPathField, node->name);
    if (node->ext[0] != '\0') {
        AppendText(out, kPathField, ".");
        AppendText(out, kPathField, node->ext);
    }
}

}  // namespace vardex
