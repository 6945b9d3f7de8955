// The rules for entry names, in one home: how a name given by a host or
// stored in an archive becomes a relative name that stays below the
// directory it is extracted into, the separator conversions, and the
// character counting that never splits a UTF-8 sequence.
#pragma once

#include <cstddef>

#include "vardex32.h"

namespace vardex {

bool IsNameSeparator(char c);  // '\' or '/'

// In place: '/' -> '\' (the working form) and '\' -> '/' (the stored form).
void ToWorkingSeparatorsInPlace(char* text);
void ToStoredSeparatorsInPlace(char* text, size_t length);

// True when the name ends in a separator: a directory entry.
bool NamesDirectory(const char* name);

// In place: removes what would make the name absolute: a real UNC prefix
// ("\\server\share\", both parts present), a drive ("C:") in front, and any
// separators in front.  "//two.txt" is no UNC path and keeps its name.
void StripNamePrefix(char* name);

// In place: drops empty, "." and ".." levels, so the name can never climb
// out of the directory it is put below; joins with '\'.
void DropUnsafeLevels(char* name);

// Both of the above: the one safe form of a name.  False when nothing is left.
bool MakeSafeName(char* name);

// Number of characters of the working form in the text.
size_t CharacterCount(const char* text);
// Byte length of the first `count` characters of the text (its length when
// it has fewer).
size_t BytesOfCharacters(const char* text, size_t count);

// Whether an entry's name was cut when it was read (it was longer than 255
// bytes in the working form): such a name could stand for another one.
bool EntryNameWasCut(const ZipFileEntry& entry);

// A mask node as text: dir (with a separator behind it) + name, and "." +
// ext when ext is not empty.
void MaskText(const FileMask* node, char* out);

}  // namespace vardex
