// Files compressed ahead on worker threads (see ahead.h).
//
// Deadlock freedom: the caller waits only for a job that a worker is
// compressing with its budget already held, which ends in bounded time.  A
// worker that cannot get budget waits without holding any; when the caller
// reaches such a job it takes the job over and the worker lets it go.
#include "update/ahead.h"

#include <algorithm>
#include <exception>
#include <new>
#include <utility>

#include "platform/platform.h"

namespace vardex {

namespace {

int32_t Collect(void* context, const void* buffer, uint32_t count) {
    AheadResult& r = *static_cast<AheadResult*>(context);
    try {
        const auto* p = static_cast<const uint8_t*>(buffer);
        r.data.insert(r.data.end(), p, p + count);
    } catch (const std::bad_alloc&) {
        return -1;  // the result is then not used
    }
    return static_cast<int32_t>(count);
}

struct Recorder {
    AheadResult* result;
    const std::atomic<bool>* abandoned;
    const std::atomic<bool>* stopping;
};

bool Record(void* context, int32_t percent) {
    const Recorder& r = *static_cast<const Recorder*>(context);
    if (r.abandoned->load(std::memory_order_relaxed) || r.stopping->load(std::memory_order_relaxed)) return false;
    try {
        r.result->reports.push_back({percent, r.result->data.size()});
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

}  // namespace

CompressAhead::CompressAhead(std::vector<std::string> paths, uint32_t threads, uint8_t level)
    : jobs_(paths.size()), level_(level) {
    for (size_t i = 0; i < paths.size(); ++i) jobs_[i].path = std::move(paths[i]);
    const uint32_t workers = std::max<uint32_t>(std::min(threads, kMaxThreads), 1) - 1;
    // Whatever cannot be had (memory, a thread) means fewer workers, or
    // none: the caller's thread compresses the rest.  With the room reserved
    // first, nothing below throws once a worker runs.
    try {
        compressors_.reserve(workers);
        workers_.reserve(workers);
    } catch (const std::exception&) {
        return;
    }
    for (uint32_t n = 0; n < workers; ++n) {
        // Each worker's compressor is made here, on the caller's thread.
        try {
            compressors_.push_back(std::make_unique<Compressor>());
        } catch (const std::exception&) {
            break;
        }
        if (!compressors_.back()->held()) {
            compressors_.pop_back();
            break;
        }
        try {
            workers_.emplace_back(&CompressAhead::Work, this, compressors_.back().get());
        } catch (const std::exception&) {
            compressors_.pop_back();
            break;
        }
    }
}

CompressAhead::~CompressAhead() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    for (std::thread& t : workers_) t.join();
}

void CompressAhead::Release(Job& job) {
    if (job.charged) charged_ -= job.charge;
    job.charged = false;
    job.result = AheadResult{};
}

const AheadResult* CompressAhead::Take(size_t index) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (holding_ < jobs_.size()) Release(jobs_[holding_]);
    holding_ = SIZE_MAX;
    if (index >= jobs_.size() || index < taken_) {
        changed_.notify_all();
        return nullptr;
    }
    // Everything before `index` is behind the caller now.
    for (size_t i = taken_; i < index; ++i) {
        Job& job = jobs_[i];
        job.abandoned = true;
        if (job.state != JobState::Running) Release(job);
    }
    taken_ = index + 1;
    next_ = std::max(next_, taken_);
    changed_.notify_all();

    Job& job = jobs_[index];
    if (job.state == JobState::Waiting || (job.state == JobState::Running && !job.charged)) {
        job.abandoned = true;
        if (job.state == JobState::Waiting) job.state = JobState::Caller;
        return nullptr;
    }
    changed_.wait(lock, [&job] { return job.state != JobState::Running; });
    if (job.state != JobState::Done || job.result.status != 0) return nullptr;
    holding_ = index;
    return &job.result;
}

void CompressAhead::WaitUntilIdleForTesting() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] {
        if (workers_.empty()) return true;
        for (const Job& job : jobs_)
            if (!job.path.empty() && job.state != JobState::Done) return false;
        return true;
    });
}

void CompressAhead::Work(Compressor* compressor) {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        next_ = std::max(next_, taken_);
        while (next_ < jobs_.size() && jobs_[next_].path.empty()) ++next_;
        if (next_ >= jobs_.size()) return;
        const size_t index = next_++;
        jobs_[index].state = JobState::Running;
        lock.unlock();
        Compress(*compressor, index);
        lock.lock();
        Job& job = jobs_[index];
        job.state = JobState::Done;
        if (job.abandoned) Release(job);
        changed_.notify_all();
    }
}

void CompressAhead::Compress(Compressor& compressor, size_t index) {
    Job& job = jobs_[index];
    AheadResult& result = job.result;
    result.status = VX_FILE_ERROR;
    result.level = level_;
    const int fd = platform::FileOpen(job.path.c_str(), platform::OpenMode::ReadOnly);
    if (fd < 0) return;
    struct Closer {
        int fd;
        ~Closer() { platform::FileClose(fd); }
    } closer{fd};
    const int64_t length = platform::FileLength(fd);
    // Empty and large files are the caller's.
    if (length <= 0 || static_cast<uint64_t>(length) > kAheadFileLimit) return;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        const uint64_t size = static_cast<uint64_t>(length);
        changed_.wait(lock, [&] { return stopping_ || job.abandoned || charged_ + size <= kAheadBudget; });
        if (stopping_ || job.abandoned) return;
        charged_ += size;
        job.charge = size;
        job.charged = true;
    }
    result.sourceSize = static_cast<uint32_t>(length);
    try {
        result.data.reserve(static_cast<size_t>(length) / 2);
    } catch (const std::bad_alloc&) {
        return;
    }
    Recorder recorder{&result, &job.abandoned, &stopping_};
    DeflateIo io;
    io.source = fd;
    io.sourceSize = result.sourceSize;
    io.level = level_;
    io.write = Collect;
    io.writeContext = &result;
    io.progress = Record;
    io.progressContext = &recorder;
    result.status = DeflateEntry(compressor.state(), io, &result.outcome);
    // A file that changed size while it was read is compressed anew.
    if (result.status == 0 && platform::FileSeek(fd, 0, SEEK_CUR) != length) result.status = VX_FILE_ERROR;
}

}  // namespace vardex
