// The platform layer's shared rules (see common.h).
#include "platform/common.h"

#include <cstring>

#include "platform/platform.h"

namespace vardex::platform {

namespace {
int64_t g_writeBudget = -1;
bool g_failSync = false;

bool IsLeap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int DaysInMonth(int y, int m) {
    static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && IsLeap(y) ? 29 : kDays[m - 1];
}
}  // namespace

void SetWriteBudgetForTesting(int64_t bytes) { g_writeBudget = bytes; }

void SetSyncFailureForTesting(bool fail) { g_failSync = fail; }

namespace common {

constexpr uint32_t kErrorInsufficientBuffer = 122;

uint32_t CopyWhole(const std::string& text, char* out, uint32_t outCap) {
    if (!out || text.empty() || text.size() + 1 > outCap) {
        SetLastErrorCode(kErrorInsufficientBuffer);
        return 0;
    }
    memcpy(out, text.c_str(), text.size() + 1);
    return static_cast<uint32_t>(text.size());
}

int64_t& WriteBudget() { return g_writeBudget; }

bool SyncFails() { return g_failSync; }

bool SplitDosDateTime(uint16_t dosDate, uint16_t dosTime, DosFields* f) {
    f->year = 1980 + (dosDate >> 9);
    f->month = (dosDate >> 5) & 0x0F;
    f->day = dosDate & 0x1F;
    f->hour = dosTime >> 11;
    f->minute = (dosTime >> 5) & 0x3F;
    f->second = (dosTime & 0x1F) * 2;
    return f->month >= 1 && f->month <= 12 && f->day >= 1 && f->day <= DaysInMonth(f->year, f->month) &&
           f->hour <= 23 && f->minute <= 59 && f->second <= 59;
}

}  // namespace common

}  // namespace vardex::platform
