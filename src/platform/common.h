// What the POSIX and the Windows files of the platform layer share: the
// rules that are not about the operating system (the test hooks' budgets,
// DOS date fields, FILETIME ticks, handing a path back whole), written once.
// Not used above the platform layer.
#pragma once

#include <cstdint>
#include <string>

#include "vardex32.h"

namespace vardex::platform::common {

// Sets what GetLastError reports next (each system keeps it its own way).
void SetLastErrorCode(uint32_t code);

// Copies an engine path into out[outCap]; 0 (insufficient buffer) when it
// does not fit whole.
uint32_t CopyWhole(const std::string& text, char* out, uint32_t outCap);

// The test hooks: bytes left before writes come up short (negative: no
// limit), and whether flushing to the device fails.
int64_t& WriteBudget();
bool SyncFails();

// Writes count bytes through writeSome(p, n, done), which writes up to n
// bytes at p (done bytes into the write) and returns how many, 0, or a
// negative value on failure.  Runs to the whole count within the write
// budget; a failure after some bytes returns the bytes done.
template <typename WriteSome>
int32_t WriteWithinBudget(const void* buffer, uint32_t count, WriteSome writeSome) {
    int64_t& budget = WriteBudget();
    uint32_t allowed = count;
    if (budget >= 0 && static_cast<int64_t>(allowed) > budget) allowed = static_cast<uint32_t>(budget);
    const auto* p = static_cast<const uint8_t*>(buffer);
    uint32_t done = 0;
    while (done < allowed) {
        const int64_t n = writeSome(p + done, allowed - done, done);
        if (n < 0) {
            if (done == 0) return -1;
            break;
        }
        if (n == 0) break;
        done += static_cast<uint32_t>(n);
    }
    if (budget >= 0) budget -= done;
    return static_cast<int32_t>(done);
}

// FILETIME as one count of 100-ns ticks, and back.
inline uint64_t TicksOf(const FILETIME& ft) {
    return (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}
inline FILETIME FromTicks(uint64_t ticks) {
    FILETIME ft;
    ft.dwLowDateTime = static_cast<uint32_t>(ticks);
    ft.dwHighDateTime = static_cast<uint32_t>(ticks >> 32);
    return ft;
}

// The fields of a DOS date and time (local wall clock, 2-second units).
struct DosFields {
    int year, month, day, hour, minute, second;
};
// False for fields no calendar has (month 0, 30 February, 25 o'clock): those
// are refused rather than left to a system's leniency.
bool SplitDosDateTime(uint16_t dosDate, uint16_t dosTime, DosFields* fields);

}  // namespace vardex::platform::common
