#include "crypt/password.h"

#include "api/engine.h"
#include "crypt/crypt.h"

namespace vardex {

namespace {

// Asks the host for a password; false when it answers 0.
bool AskHost(const char* name) {
    EngineState& e = engine();
    int32_t answer = e.cryptKeyProc.proc(e.cryptKeyProc.hostWord, e.password, name);
    // The host writes into a fixed buffer; never trust it to end the text.
    e.password[kTextField - 1] = '\0';
    return answer != 0;
}

}  // namespace

bool PasswordAtHand(const char* name) {
    EngineState& e = engine();
    if (!e.cryptKeyProc) return false;
    return e.password[0] != '\0' || AskHost(name);
}

bool AcceptPassword(const char* name, const uint8_t header[kCryptHeaderBytes], const CentralFields& entry,
                    CipherState& cipher) {
    EngineState& e = engine();
    // The header's last byte carries the high byte of the CRC-32.  Writers
    // that stream an entry (flag bit 3, data descriptor) do not know the CRC
    // yet and put the high byte of the DOS time there instead.
    const int32_t timeCheck = (entry.flags & kFlagDataDescriptor) ? (entry.time >> 8) : -1;
    // The empty password is a password too: it is tried once, then an
    // empty answer only asks again.
    bool emptyTried = false;
    for (;;) {
        const bool empty = e.password[0] == '\0';
        if ((!empty || !emptyTried) && CheckHeader(cipher, e.password, header, entry.crc32, timeCheck)) return true;
        if (empty) emptyTried = true;
        if (!AskHost(name)) return false;
    }
}

}  // namespace vardex
