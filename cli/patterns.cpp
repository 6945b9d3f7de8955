#include "patterns.h"

#include <algorithm>

#include "support.h"

namespace cli {

namespace {

char Fold(char c, bool ignoreCase) { return ignoreCase && c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Length of the UTF-8 character that starts at name[i] (1 for a stray byte).
size_t CharLength(std::string_view text, size_t i) {
    const auto b = static_cast<unsigned char>(text[i]);
    size_t n = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 1;
    if (i + n > text.size()) return 1;
    for (size_t k = 1; k < n; ++k)
        if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return 1;
    return n;
}

// Matches the set that starts after '[' at pattern[p]; *end receives the
// position after its ']'.  False with *end = npos when the set is not closed
// (the '[' then stands for itself).
bool SetMatches(std::string_view pattern, size_t p, char c, bool ignoreCase, size_t* end) {
    bool negate = false;
    if (p < pattern.size() && (pattern[p] == '!' || pattern[p] == '^')) {
        negate = true;
        ++p;
    }
    bool found = false;
    const size_t first = p;
    for (; p < pattern.size(); ++p) {
        if (pattern[p] == ']' && p > first) {
            *end = p + 1;
            return found != negate;
        }
        char low = pattern[p], high = low;
        if (p + 2 < pattern.size() && pattern[p + 1] == '-' && pattern[p + 2] != ']') {
            high = pattern[p + 2];
            p += 2;
        }
        const char folded = Fold(c, ignoreCase);
        if ((c >= low && c <= high) || (folded >= Fold(low, ignoreCase) && folded <= Fold(high, ignoreCase)))
            found = true;
    }
    *end = std::string_view::npos;
    return false;
}

}  // namespace

bool PatternMatches(std::string_view pattern, std::string_view name, bool ignoreCase) {
    // Iterative matching with one backtracking point, the last '*'.
    size_t p = 0, n = 0, starP = std::string_view::npos, starN = 0;
    while (n < name.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            starP = ++p;
            starN = n;
            continue;
        }
        if (p < pattern.size()) {
            if (pattern[p] == '?') {
                ++p;
                n += CharLength(name, n);
                continue;
            }
            if (pattern[p] == '[') {
                size_t end = 0;
                const bool match = SetMatches(pattern, p + 1, name[n], ignoreCase, &end);
                if (end != std::string_view::npos) {
                    if (match) {
                        p = end;
                        ++n;
                        continue;
                    }
                } else if (name[n] == '[') {
                    ++p;
                    ++n;
                    continue;
                }
            } else if (Fold(pattern[p], ignoreCase) == Fold(name[n], ignoreCase)) {
                ++p;
                ++n;
                continue;
            }
        }
        if (starP == std::string_view::npos) return false;
        p = starP;
        n = ++starN;
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

uint16_t ReadEntries(std::vector<EntryInfo>* entries) {
    EntryList list;
    BuildZipFileList(list.get(), nullptr);
    const uint16_t status = GetArchiveStatus();
    if (status != 0 && status != VX_NOTHING_SELECTED) return status;
    for (const ZipFileEntry* e = list.get()->first; e; e = e->next) {
        EntryInfo info;
        info.name = e->name;
        info.size = e->uncompressedSize;
        info.directory = !info.name.empty() && (info.name.back() == '/' || info.name.back() == '\\');
        entries->push_back(std::move(info));
    }
    return 0;
}

std::vector<size_t> SelectEntries(const std::vector<EntryInfo>& entries, const std::vector<std::string>& patterns,
                                  bool ignoreCase, std::vector<std::string>* unmatched) {
    std::vector<size_t> selected;
    std::vector<bool> used(patterns.size(), false);
    for (size_t i = 0; i < entries.size(); ++i) {
        bool take = patterns.empty();
        for (size_t k = 0; k < patterns.size(); ++k) {
            if (PatternMatches(patterns[k], entries[i].name, ignoreCase)) {
                used[k] = true;
                take = true;
            }
        }
        if (take) selected.push_back(i);
    }
    for (size_t k = 0; k < patterns.size(); ++k)
        if (!used[k]) unmatched->push_back(patterns[k]);
    return selected;
}

std::string MaskKey(const std::string& name) {
    std::string key = name;
    for (size_t k = 0; k < key.size(); ++k) {
        if (key[k] >= 'a' && key[k] <= 'z') key[k] = static_cast<char>(key[k] - 'a' + 'A');
        if (key[k] == '\\') key[k] = '/';
        if (static_cast<unsigned char>(key[k]) == 0xC3 && k + 1 < key.size() &&
            (static_cast<unsigned char>(key[k + 1]) == 0xA4 || static_cast<unsigned char>(key[k + 1]) == 0xB6))
            key[k + 1] = static_cast<char>(key[k + 1] - 0x20);
    }
    while (!key.empty() && key.back() == '.') key.pop_back();
    return key;
}

std::vector<bool> AmbiguousNames(const std::vector<EntryInfo>& entries) {
    std::unordered_map<std::string, int> keys;
    for (const EntryInfo& e : entries) ++keys[MaskKey(e.name)];
    std::vector<bool> ambiguous;
    for (const EntryInfo& e : entries)
        ambiguous.push_back(e.name.find_first_of("?*") != std::string::npos || keys[MaskKey(e.name)] > 1);
    return ambiguous;
}

std::vector<std::string> LibrarySelection(const std::vector<std::string>& exactNames, uint16_t* status) {
    std::vector<std::string> names;
    MaskList masks;
    for (const std::string& name : exactNames) {
        if (!masks.Append(name)) {
            *status = VX_OUT_OF_MEMORY;
            return names;
        }
    }
    EntryList list;
    BuildZipFileList(list.get(), masks.get());
    *status = GetArchiveStatus();
    for (const ZipFileEntry* e = list.get()->first; e; e = e->next) names.push_back(e->name);
    return names;
}

}  // namespace cli
