// The password step of extraction: checks an encrypted entry's 12-byte
// header against the password, asking the host through SetCryptKeyProc as
// often as it keeps answering.
#pragma once

#include <cstdint>

#include "archive/records.h"
#include "crypt/crypt.h"

namespace vardex {

constexpr int kCryptHeaderBytes = 12;

// Before the header is read: true when there is a password to try, asking
// the host for one when none is set.  False: no SetCryptKeyProc, or the host
// answered 0.  `name` is the entry's name from its local header ('\'
// separators).
bool PasswordAtHand(const char* name);

// Checks `header` (as stored) against the password for `entry`, asking the
// host again after each wrong one.  True: accepted, `cipher` is ready to
// decrypt the entry's data.  False: the host answered 0.
bool AcceptPassword(const char* name, const uint8_t header[kCryptHeaderBytes], const CentralFields& entry,
                    CipherState& cipher);

}  // namespace vardex
