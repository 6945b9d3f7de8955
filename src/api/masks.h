// File mask lists and the wildcard matcher.  '*' is a wildcard only as the
// first character of the name part or of the extension part, where it
// matches that whole part; '?' matches exactly one character.  Comparisons
// ignore case as UpperCase defines it.
#pragma once

#include "vardex32.h"

namespace vardex {

// out[256] := text upper-cased: a-z, and the UTF-8 forms of ä and ö (as the
// design's single-byte 0xE4/0xF6 rule reads in the working encoding); a byte
// inside any other multi-byte sequence is never folded on its own.
void UpperCase(const char* text, char* out);

// AppendFileMask: splits the mask into directory, name and extension and
// appends a node; false with status 8 (list unchanged) when memory runs out.
bool AppendMask(const char* mask, FileMaskList* list);
// DoneFileMaskList: releases every node (directory copy first); first and
// last become null.  Harmless on an empty list.
void ReleaseMaskList(FileMaskList* list);

// True when the list is empty or one of its nodes matches the name (a stored
// or working name; '/' is taken as '\').
bool MaskListSelects(const char* name, const FileMaskList* list);

// True when the node's mask matches the name.
bool NodeMatches(const char* name, const FileMask* node);

}  // namespace vardex
