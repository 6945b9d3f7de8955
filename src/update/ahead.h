// Files compressed ahead on worker threads while the update writes the
// archive in order on the caller's thread.
//
// The update driver names, in order, the files it may deflate.  Workers take
// them from the front, each with a compressor of its own, read the file,
// compress it into memory and record the progress shares the compressor
// reported (with how much output had been produced at each), touching
// nothing of the engine.  The caller's thread then takes the result of each
// file in order and writes it as if it were compressing right then: the same
// bytes, the same progress calls in the same order, the host's answers
// honoured (a cancel still stops the update, which rolls back).
//
// Memory stays bounded: only files up to kAheadFileLimit bytes are taken,
// and only while the files compressed and not yet written stay within
// kAheadBudget bytes; a larger file, or one the workers have not reached
// when the caller needs it, is compressed on the caller's thread as usual.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "deflate/deflate.h"

namespace vardex {

constexpr uint64_t kAheadFileLimit = 4u << 20;
constexpr uint64_t kAheadBudget = 16u << 20;
// The most threads an update uses, the caller's included.
constexpr uint32_t kMaxThreads = 64;

// One file's compression done ahead.
struct AheadResult {
    uint16_t status = 0;  // 0, or why the file must be compressed anew
    uint8_t level = 0;
    uint32_t sourceSize = 0;  // the file's length when it was read
    DeflateOutcome outcome;
    std::vector<uint8_t> data;  // the whole Deflate stream
    struct Report {
        int32_t percent;
        uint64_t producedBefore;  // stream bytes produced when it was made
    };
    std::vector<Report> reports;
};

class CompressAhead {
public:
    // `paths` are the files' source paths in the order the caller will take
    // them; an empty path is never compressed ahead.  `threads` counts the
    // caller's thread: threads - 1 workers are started.
    CompressAhead(std::vector<std::string> paths, uint32_t threads, uint8_t level);
    ~CompressAhead();
    CompressAhead(const CompressAhead&) = delete;
    CompressAhead& operator=(const CompressAhead&) = delete;

    // The result for file `index`, waiting while a worker is still on it;
    // null when the caller's thread is to compress the file itself.  Files
    // before `index` not taken are given up.  Indexes only grow.
    const AheadResult* Take(size_t index);

    // Test hook: waits until the workers have dealt with every file (the
    // files must fit the budget together).
    void WaitUntilIdleForTesting();

private:
    // Waiting: nobody has it; Running: a worker has it; Done: its result
    // waits for the caller; Caller: the caller's thread compresses it (or
    // it was passed over).
    enum class JobState : uint8_t { Waiting, Running, Done, Caller };
    struct Job {
        std::string path;
        JobState state = JobState::Waiting;
        bool charged = false;  // holds `charge` bytes of the budget
        uint64_t charge = 0;
        std::atomic<bool> abandoned{false};  // the caller no longer wants it
        AheadResult result;
    };

    void Work(Compressor* compressor);
    void Compress(Compressor& compressor, size_t index);
    // Gives back the budget and memory of a job the caller is done with.
    void Release(Job& job);

    std::vector<Job> jobs_;
    uint8_t level_;
    std::mutex mutex_;
    std::condition_variable changed_;
    size_t next_ = 0;            // first job not claimed yet
    size_t taken_ = 0;           // jobs before this one are behind the caller
    size_t holding_ = SIZE_MAX;  // the result the caller is writing
    uint64_t charged_ = 0;       // budget held by all jobs
    std::atomic<bool> stopping_{false};
    std::vector<std::unique_ptr<Compressor>> compressors_;
    std::vector<std::thread> workers_;
};

}  // namespace vardex
