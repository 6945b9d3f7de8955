// Self-extractor creation.
#pragma once

#include <cstdint>

#include "vardex32.h"

namespace vardex {

// The operation behind CreateZipSfx2: status in the engine state.
void CreateSfx2(const char* archivePath, FileMaskList* files, SfxDesc* desc);
// CreateZipSfx: a zeroed request with the form, the volume choice and the two
// texts (cut to 255 and 1,031 bytes).
void CreateSfx(const char* archivePath, FileMaskList* files, int32_t form, int32_t volumeChoice, const char* text1,
               const char* text2);
// Drive and directory of path + up to 8 pseudo-random digits + ".$SC", a
// name no file has yet.
void MakeTempHeadName(const char* path, char* out);

}  // namespace vardex
