// Helpers for compressor tests and benchmarks: run the compressor over
// memory through the same code path as files, and decode with zlib's raw
// inflate as the independent peer.
#pragma once

#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "api/engine.h"
#include "deflate/deflate_internal.h"

namespace vxtest {

struct MemorySource {
    const uint8_t* data = nullptr;
    size_t size = 0;
    size_t pos = 0;
    size_t failAt = SIZE_MAX;  // a read starting at or after this offset fails
};

struct MemorySink {
    std::vector<uint8_t> bytes;
    size_t budget = SIZE_MAX;  // bytes accepted before writes come up short
    int writesAfterFailure = 0;
    bool failed = false;
};

inline int32_t ReadMemory(void* context, void* buffer, uint32_t count) {
    auto* s = static_cast<MemorySource*>(context);
    if (s->pos >= s->failAt) return -1;
    size_t n = std::min<size_t>(count, s->size - s->pos);
    if (n) std::memcpy(buffer, s->data + s->pos, n);
    s->pos += n;
    return static_cast<int32_t>(n);
}

struct MemoryStreams {
    MemorySource source;
    MemorySink sink;
};

inline int32_t WriteMemory(void* context, const void* buffer, uint32_t count) {
    auto* s = &static_cast<MemoryStreams*>(context)->sink;
    if (s->failed) s->writesAfterFailure++;
    size_t n = std::min<size_t>(count, s->budget - s->bytes.size());
    const auto* p = static_cast<const uint8_t*>(buffer);
    s->bytes.insert(s->bytes.end(), p, p + n);
    if (n < count) s->failed = true;
    return static_cast<int32_t>(n);
}

inline int32_t ReadMemoryStreams(void* context, void* buffer, uint32_t count) {
    return ReadMemory(&static_cast<MemoryStreams*>(context)->source, buffer, count);
}

struct DeflateRun {
    std::vector<uint8_t> stream;
    vardex::DeflateOutcome outcome;
    uint16_t status = 0;
    int writesAfterFailure = 0;
};

struct DeflateOptions {
    vardex::CipherState* cipher = nullptr;
    vardex::Callback<SetProgressProc> progress;
    size_t writeBudget = SIZE_MAX;
    size_t failReadAt = SIZE_MAX;
    int64_t sourceSize = -1;  // -1: the input's size
};

// One compressor state for the tests of a process.
inline vardex::DeflateState& TestCompressor() {
    static vardex::Compressor compressor;
    return compressor.state();
}

inline bool ReportToHost(void* context, int32_t percent) {
    const auto* proc = static_cast<const vardex::Callback<SetProgressProc>*>(context);
    return proc->proc(proc->hostWord, percent) != 0;
}

// Compresses `input` at `level` (a descriptor word: outside 1..4 is 1).
inline DeflateRun DeflateMemory(const std::vector<uint8_t>& input, uint32_t level,
                                const DeflateOptions& options = {}) {
    MemoryStreams ms;
    ms.source.data = input.data();
    ms.source.size = input.size();
    ms.source.failAt = options.failReadAt;
    ms.sink.budget = options.writeBudget;
    static uint8_t buffer[8192];
    vardex::DeflateIo io;
    io.sourceSize = static_cast<uint32_t>(options.sourceSize >= 0 ? options.sourceSize : int64_t(input.size()));
    io.outputBuffer = buffer;
    io.level = vardex::DeflateLevelOf(level);
    io.cipher = options.cipher;
    if (options.progress) {
        io.progress = ReportToHost;
        io.progressContext = const_cast<vardex::Callback<SetProgressProc>*>(&options.progress);
    }
    vardex::deflate::DeflateStreams streams;
    streams.read = ReadMemoryStreams;
    streams.write = WriteMemory;
    streams.context = &ms;
    DeflateRun run;
    run.status = vardex::deflate::DeflateStream(TestCompressor(), io, streams, &run.outcome);
    run.stream = std::move(ms.sink.bytes);
    run.writesAfterFailure = ms.sink.writesAfterFailure;
    return run;
}

// Raw inflate with zlib; false unless the stream ends exactly at its end.
inline bool ZlibInflate(const std::vector<uint8_t>& stream, std::vector<uint8_t>* out) {
    z_stream z{};
    if (inflateInit2(&z, -15) != Z_OK) return false;
    out->clear();
    std::vector<uint8_t> chunk(1 << 16);
    z.next_in = const_cast<Bytef*>(stream.data());
    z.avail_in = static_cast<uInt>(stream.size());
    int rc;
    do {
        z.next_out = chunk.data();
        z.avail_out = static_cast<uInt>(chunk.size());
        rc = inflate(&z, Z_NO_FLUSH);
        out->insert(out->end(), chunk.data(), chunk.data() + (chunk.size() - z.avail_out));
    } while (rc == Z_OK);
    bool ok = rc == Z_STREAM_END && z.avail_in == 0;
    inflateEnd(&z);
    return ok;
}

}  // namespace vxtest
