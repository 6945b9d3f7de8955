#include "status_text.h"

#include <cstdio>

#include "vardex32x.h"

namespace cli {

const char* StatusText(uint16_t status) { return VxStatusText(status); }

int ReportStatus(const char* context, uint16_t status) {
    fprintf(stderr, "vardex: %s: %s (status %u)\n", context, StatusText(status), status);
    return 1;
}

}  // namespace cli
