// File mask lists and the wildcard matcher.
//
// A mask is split like a path: directory (drive in front), file name and
// extension.  A name matches when the directories agree and the name and
// extension parts match position by position, where '?' stands for one
// character and a leading '*' for the whole part.  "One character" and
// "position" count characters of the working form, not bytes: a '?' stands
// for an 'ä' whether it takes one byte or two.
#include "api/masks.h"

#include <cstdlib>
#include <cstring>

#include "api/engine.h"
#include "api/names.h"
#include "api/paths.h"
#include "platform/platform.h"

namespace vardex {

namespace {

using platform::CharLength;

size_t CharCount(const char* text) {
    size_t count = 0;
    for (size_t i = 0, len = strlen(text); i < len; ++count) i += CharLength(text + i, len - i);
    return count;
}

// Both texts have the same number of characters; each mask character is '?'
// or the same character.
bool PartMatches(const char* mask, const char* text) {
    const size_t maskLen = strlen(mask), textLen = strlen(text);
    size_t m = 0, t = 0;
    while (m < maskLen && t < textLen) {
        const size_t mn = CharLength(mask + m, maskLen - m);
        const size_t tn = CharLength(text + t, textLen - t);
        if (!(mn == 1 && mask[m] == '?') && (mn != tn || memcmp(mask + m, text + t, mn) != 0)) return false;
        m += mn;
        t += tn;
    }
    return m == maskLen && t == textLen;
}

// The three parts of a name or mask, upper-cased, as the matcher compares them.
struct Parts {
    char dir[kPathField];   // drive and directory, trailing backslash kept
    char name[kPathField];  // file name without extension
    char ext[kPathField];   // extension without its dot
};

// Splits a text (forward slashes taken as backslashes) into upper-cased parts.
void SplitUpper(const char* text, Parts* parts) {
    char work[kPathField], upper[kTextField], drive[kPathField], ext[kPathField];
    ToWorkingSeparators(text, work);
    UpperCase(work, upper);
    SplitPath(upper, drive, parts->dir, parts->name, ext);
    char joined[kPathField];
    CopyText(joined, kPathField, drive);
    AppendText(joined, kPathField, parts->dir);
    CopyText(parts->dir, kPathField, joined);
    CopyText(parts->ext, kPathField, ext[0] == '.' ? ext + 1 : ext);
}

// A field of a node that the host might not have terminated: at most its
// 256 bytes are read.
void CopyField(const char* field, size_t size, char* out) {
    const size_t len = platform::TextCutLength(field, strnlen(field, size), kMaxText);
    memcpy(out, field, len);
    out[len] = '\0';
}

}  // namespace

void UpperCase(const char* text, char* out) {
    const size_t len = text ? platform::TextCutLength(text, strnlen(text, kMaxText + 1), kMaxText) : 0;
    if (len) memcpy(out, text, len);
    for (size_t i = 0; i < len;) {
        const size_t n = CharLength(out + i, len - i);
        platform::UpperCaseCharacter(out + i, n);
        i += n;
    }
    out[len] = '\0';
}

bool AppendMask(const char* mask, FileMaskList* list) {
    if (!list) return false;
    char work[kPathField];
    ToWorkingSeparators(mask, work);

    char drive[kPathField], dir[kPathField], name[kPathField], ext[kPathField];
    SplitPath(work, drive, dir, name, ext);
    char joined[kPathField];
    CopyText(joined, kPathField, drive);
    AppendText(joined, kPathField, dir);

    char* dirCopy = HeapCopy(joined);
    if (!dirCopy) {
        SetStatus(VX_OUT_OF_MEMORY);
        return false;
    }
    void* block = nullptr;
    if (!Allocate(&block, sizeof(FileMask))) {
        free(dirCopy);
        SetStatus(VX_OUT_OF_MEMORY);
        return false;
    }
    auto* node = static_cast<FileMask*>(block);
    memset(node, 0, sizeof *node);  // ext stays all zero when the mask has none
    node->dir = dirCopy;
    CopyText(node->name, sizeof node->name, name);
    if (ext[0] == '.') CopyText(node->ext, sizeof node->ext, ext + 1);
    node->next = nullptr;

    if (!list->first)
        list->first = node;
    else
        list->last->next = node;
    list->last = node;
    return true;
}

void ReleaseMaskList(FileMaskList* list) {
    if (!list) return;
    FileMask* node = list->first;
    while (node) {
        FileMask* next = node->next;
        free(node->dir);
        free(node);
        node = next;
    }
    list->first = list->last = nullptr;
}

bool MaskListSelects(const char* name, const FileMaskList* list) {
    if (!list || !list->first) return true;
    for (const FileMask* node = list->first; node; node = node->next)
        if (NodeMatches(name, node)) return true;
    return false;
}

bool NodeMatches(const char* name, const FileMask* node) {
    Parts n;
    SplitUpper(name, &n);

    char field[kPathField], mdir[kPathField], mname[kTextField], mext[kTextField];
    ToWorkingSeparators(node->dir ? node->dir : "", mdir);
    UpperCase(mdir, field);
    CopyText(mdir, kPathField, field);
    CopyField(node->name, sizeof node->name, field);
    UpperCase(field, mname);
    CopyField(node->ext, sizeof node->ext, field);
    UpperCase(field, mext);

    const bool anyName = mname[0] == '*';
    const bool anyExt = mext[0] == '*';
    const size_t mdirLen = strlen(mdir);

    if (anyName && anyExt) {
        if (mdirLen == 0) return true;
        // A "dir\*.*" mask reaches into subdirectories: the mask's directory
        // found anywhere in the name's directory decides by the character at
        // the mask directory's last position.
        if (strstr(n.dir, mdir)) {
            const size_t k = mdirLen < 2 ? 0 : mdirLen - 1;
            return n.dir[k] == mdir[k];
        }
    }
    if (mdirLen != 0 && strcmp(mdir, n.dir) != 0) return false;
    if (n.dir[0] != '\0' && strcmp(n.dir, mdir) != 0) return false;
    if (anyName && anyExt) return true;
    if (!anyName && CharCount(n.name) != CharCount(mname)) return false;
    if (!anyExt && CharCount(n.ext) != CharCount(mext)) return false;
    if (!anyName && !PartMatches(mname, n.name)) return false;
    if (anyExt || mext[0] == '\0') return true;
    return PartMatches(mext, n.ext);
}

}  // namespace vardex
