// The password step of extraction: checks an encrypted entry's 12-byte
// header against the password, asking the host through SetCryptKeyProc as
// often as it keeps answering.
#pragma once

namespace vardex {

// Reads the current entry's encryption header through ReadByte and checks it.
// `name` is the entry's name from its local header ('\' separators).
// True: accepted, the cipher state is ready to decrypt the entry's data.
// False: no SetCryptKeyProc, the host answered 0, or the entry's data is too
// short to hold a header.
bool AcceptPassword(const char* name);

}  // namespace vardex
