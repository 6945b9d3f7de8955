// Words for the engine's status codes.
#pragma once

#include <cstdint>

namespace cli {

// The meaning of a status code ("unknown status" for a code not in the table).
const char* StatusText(uint16_t status);

// Prints "vardex: CONTEXT: MEANING (status CODE)" on stderr; returns exit status 1.
int ReportStatus(const char* context, uint16_t status);

}  // namespace cli
