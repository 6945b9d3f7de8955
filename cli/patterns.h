// Selecting entries as unzip does, in the command line itself: the library's
// own masks keep their classic meaning for hosts, and the command line hands
// it exact names.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "vardex32.h"

namespace cli {

// unzip's wildcards: '*' any run of characters, '/' included; '?' one
// character; "[...]" one of a set, with ranges ("a-z") and '!' or '^' in
// front for the complement.  Case counts unless ignoreCase (ASCII letters).
bool PatternMatches(std::string_view pattern, std::string_view name, bool ignoreCase);

// One entry of the open archive, as the selection needs it.
struct EntryInfo {
    std::string name;  // as stored, '/' separators
    uint32_t size = 0;
    bool directory = false;
};

// The entries of the open archive in their order; the status of the listing
// (0, or what BuildZipFileList left; an empty archive is 0).
uint16_t ReadEntries(std::vector<EntryInfo>* entries);

// The indexes of the entries that any pattern selects (all without
// patterns), in archive order; the patterns that select nothing go to
// *unmatched.
std::vector<size_t> SelectEntries(const std::vector<EntryInfo>& entries, const std::vector<std::string>& patterns,
                                  bool ignoreCase, std::vector<std::string>* unmatched);

// What the library's masks compare of a name: letters up-cased (ASCII, and
// the two umlauts the masks know), a trailing dot counting as no extension.
// Two entries with one key cannot be told apart by an exact-name mask.
std::string MaskKey(const std::string& name);

// Whether an exact-name mask for entries[i] may select other entries too:
// its key is shared, or the name holds the masks' wildcards '?' or '*'.
std::vector<bool> AmbiguousNames(const std::vector<EntryInfo>& entries);

// The names the library's masks select when given these exact names (all
// entries for none): a check that a mask list means exactly what it names.
std::vector<std::string> LibrarySelection(const std::vector<std::string>& exactNames, uint16_t* status);

}  // namespace cli
