// Compression speed (MB/s of input) and ratio (compressed / input) of the
// Deflate compressor at its four levels, beside zlib at the levels of zip's
// -4/-5/-6/-9 (the matching searches) and 1, and libdeflate at 1, 6, 9 and 12.
//
//   deflate_bench [FILE...]
//
// Without arguments the inputs are a generated text (words with a skewed
// frequency, punctuation and line breaks), this program's own executable and
// 32 MiB of noise.  Each figure is the best of three runs.
#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "support/deflate_support.h"

namespace {

std::vector<uint8_t> ReadWhole(const char* path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<uint8_t> GeneratedText(size_t n) {
    static const char* words[] = {
        "the",     "of",       "and",     "to",      "in",      "a",        "is",      "that",    "for",
        "it",      "as",       "was",     "with",    "be",      "by",       "on",      "not",     "he",
        "this",    "are",      "or",      "his",     "from",    "at",       "which",   "but",     "have",
        "archive", "entry",    "header",  "central", "window",  "compress", "deflate", "method",  "stored",
        "length",  "distance", "Huffman", "tree",    "block",   "literal",  "match",   "chain",   "lazy",
        "volume",  "password", "encrypt", "extract", "replace", "progress", "callback", "status", "option"};
    const size_t count = sizeof words / sizeof *words;
    uint32_t x = 12345;
    auto next = [&x] {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        return x;
    };
    std::vector<uint8_t> v;
    v.reserve(n + 32);
    size_t line = 0;
    while (v.size() < n) {
        // Skewed choice: small indices far more often.
        uint32_t r = next() % count;
        uint32_t idx = std::min<uint32_t>(r, next() % count);
        const char* w = words[idx];
        size_t before = v.size();
        v.insert(v.end(), w, w + std::char_traits<char>::length(w));
        uint32_t p = next() % 20;
        if (p == 0) v.push_back(',');
        if (p == 1) v.push_back('.');
        line += v.size() - before + 1;
        if (line > 70) {
            v.push_back('\n');
            line = 0;
        } else {
            v.push_back(' ');
        }
    }
    v.resize(n);
    return v;
}

std::vector<uint8_t> RandomData(size_t n) {
    std::vector<uint8_t> v(n);
    uint64_t x = 0x9E3779B97F4A7C15ull;
    for (auto& b : v) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        b = static_cast<uint8_t>(x >> 32);
    }
    return v;
}

double Seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

struct Figure {
    double mbPerSecond;
    double ratio;
};

template <typename Fn>
Figure Measure(const std::vector<uint8_t>& input, Fn compress) {
    double best = 1e30;
    size_t size = 0;
    for (int run = 0; run < 3; ++run) {
        auto start = std::chrono::steady_clock::now();
        size = compress();
        best = std::min(best, Seconds(std::chrono::steady_clock::now() - start));
    }
    return {input.size() / 1e6 / best, static_cast<double>(size) / static_cast<double>(input.size())};
}

size_t Zlib(const std::vector<uint8_t>& input, int level) {
    z_stream z{};
    deflateInit2(&z, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    std::vector<uint8_t> out(deflateBound(&z, input.size()));
    z.next_in = const_cast<Bytef*>(input.data());
    z.avail_in = static_cast<uInt>(input.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    size_t n = z.total_out;
    deflateEnd(&z);
    return n;
}

size_t Libdeflate(const std::vector<uint8_t>& input, int level) {
    libdeflate_compressor* c = libdeflate_alloc_compressor(level);
    std::vector<uint8_t> out(libdeflate_deflate_compress_bound(c, input.size()));
    size_t n = libdeflate_deflate_compress(c, input.data(), input.size(), out.data(), out.size());
    libdeflate_free_compressor(c);
    return n;
}

void Report(const char* name, const std::vector<uint8_t>& input) {
    std::printf("%s corpus: %zu bytes\n", name, input.size());
    std::printf("  %-12s %10s %8s\n", "compressor", "MB/s", "ratio");
    for (uint32_t level = 1; level <= 4; ++level) {
        Figure f = Measure(input, [&] { return vxtest::DeflateMemory(input, level).stream.size(); });
        std::printf("  vardex %-5u %10.1f %8.4f\n", level, f.mbPerSecond, f.ratio);
    }
    for (int level : {1, 4, 5, 6, 9}) {
        Figure f = Measure(input, [&] { return Zlib(input, level); });
        std::printf("  zlib %-7d %10.1f %8.4f\n", level, f.mbPerSecond, f.ratio);
    }
    for (int level : {1, 6, 9, 12}) {
        Figure f = Measure(input, [&] { return Libdeflate(input, level); });
        std::printf("  libdeflate %-2d %9.1f %8.4f\n", level, f.mbPerSecond, f.ratio);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1) {
        for (int i = 1; i < argc; ++i) Report(argv[i], ReadWhole(argv[i]));
        return 0;
    }
    Report("text", GeneratedText(16 << 20));
    Report("binary", ReadWhole("/proc/self/exe"));
    Report("incompressible", RandomData(32 << 20));
    return 0;
}
