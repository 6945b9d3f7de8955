// Block output: from the symbols of one block to its bits.
//
// The matcher records literals and matches into the symbol buffers and counts
// their frequencies as it goes.  When it ends a block, Huffman trees are
// built from those frequencies (a binary min-heap; equal frequencies are
// ordered by subtree depth, so shallow subtrees merge first), code lengths
// are cut to 15 bits (7 for the code-length tree) while keeping a complete
// prefix code, and canonical codes are assigned.  The cost of the block with
// the fixed codes and with the dynamic codes (tree description included) is
// summed while the lengths are handed out, so the cheapest of stored, fixed
// and dynamic is known before a single bit is emitted.
//
// Invariants:
//  - a block holds at most 16,383 symbols, so every frequency fits 16 bits;
//  - every tree has at least two leaves (a lone code gets a partner), so
//    every code length is at least 1 and every code is decodable;
//  - a block is stored only while its bytes are still in the window, only
//    when that is not larger than the best coded size counting its 4 length
//    bytes, and only when its length fits the 16-bit length field;
//  - on equal coded sizes the fixed codes win;
//  - the text-or-binary guess is made once, at the entry's first block;
//  - the entry's bit total is counted in 64 bits.
#include <cstdlib>

#include "api/paths.h"
#include "common/deflate_format.h"
#include "deflate/deflate_internal.h"

namespace vardex::deflate {

namespace {

// Extra bits of the code-length codes.
constexpr uint8_t kLengthTreeExtra[kLengthTreeCodes] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 3, 7};
constexpr const uint8_t* kLengthTreeOrder = kDeflateCodeLengthOrder;
constexpr int kRepeatPrevious = 16;  // 3..6 copies of the previous length, 2 extra bits
constexpr int kRepeatZero = 17;      // 3..10 zeros, 3 extra bits
constexpr int kRepeatZeroLong = 18;  // 11..138 zeros, 7 extra bits

// Test hooks, set only by tests while no compression runs.
BlockObserver gObserver = nullptr;
uint64_t gStartingBits = 0;
void* gObserverContext = nullptr;

// Canonical codes: each length's first code follows from the counts of the
// shorter lengths; leaves take consecutive codes of their length in order.
void AssignCodes(TreeNode* tree, int maxCode, const uint16_t* lengthCounts) {
    uint16_t nextCode[kMaxBits + 1];
    uint32_t code = 0;
    nextCode[0] = 0;
    for (int bits = 1; bits <= kMaxBits; ++bits) {
        code = (code + (bits > 1 ? lengthCounts[bits - 1] : 0)) << 1;
        nextCode[bits] = static_cast<uint16_t>(code);
    }
    for (int n = 0; n <= maxCode; ++n) {
        int len = tree[n].len;
        if (len == 0) continue;
        tree[n].code = ReverseBits(nextCode[len]++, static_cast<unsigned>(len));
    }
}

// Node a sorts before node b: lower frequency, or equal frequency and no
// deeper subtree.
inline bool Smaller(const TreeNode* tree, const uint8_t* depth, int a, int b) {
    return tree[a].freq < tree[b].freq || (tree[a].freq == tree[b].freq && depth[a] <= depth[b]);
}

void SiftDown(BlockTables& t, const TreeNode* tree, int k) {
    int v = t.heap[k];
    int j = k << 1;
    while (j <= t.heapLen) {
        if (j < t.heapLen && Smaller(tree, t.depth, t.heap[j + 1], t.heap[j])) ++j;
        if (Smaller(tree, t.depth, v, t.heap[j])) break;
        t.heap[k] = t.heap[j];
        k = j;
        j <<= 1;
    }
    t.heap[k] = static_cast<uint16_t>(v);
}

// Hands out lengths from the sorted node list, cutting them at the limit,
// and sums the block's cost; then repairs the counts so that the cut lengths
// still form a complete prefix code and reassigns them, least frequent
// leaves taking the longest codes.
void LimitBitLengths(BlockTables& t, TreeDesc& desc) {
    TreeNode* tree = desc.tree;
    const int limit = desc.maxLength;
    for (auto& c : t.lengthCounts) c = 0;

    tree[t.heap[t.heapMax]].len = 0;  // the root
    int overflow = 0;
    int h;
    for (h = t.heapMax + 1; h < kHeapSize; ++h) {
        int n = t.heap[h];
        int bits = tree[tree[n].parent].len + 1;
        if (bits > limit) {
            bits = limit;
            ++overflow;
        }
        tree[n].len = static_cast<uint16_t>(bits);
        if (n > desc.maxCode) continue;  // an inner node
        t.lengthCounts[bits]++;
        int extra = n >= desc.extraBase ? desc.extraBits[n - desc.extraBase] : 0;
        int64_t f = tree[n].freq;
        t.dynamicBits += f * (bits + extra);
        if (desc.fixed) t.fixedBits += f * (desc.fixed[n].len + extra);
    }
    if (overflow == 0) return;

    do {
        int bits = limit - 1;
        while (t.lengthCounts[bits] == 0) --bits;
        t.lengthCounts[bits]--;
        t.lengthCounts[bits + 1] += 2;
        t.lengthCounts[limit]--;
        overflow -= 2;
    } while (overflow > 0);

    h = kHeapSize;
    for (int bits = limit; bits != 0; --bits) {
        int n = t.lengthCounts[bits];
        while (n != 0) {
            int m = t.heap[--h];
            if (m > desc.maxCode) continue;
            if (tree[m].len != bits) {
                t.dynamicBits += (static_cast<int64_t>(bits) - tree[m].len) * tree[m].freq;
                tree[m].len = static_cast<uint16_t>(bits);
            }
            --n;
        }
    }
}

// Sends a code of one of the trees.
inline void SendCode(DeflateState& s, const TreeNode* tree, int c) { EmitBits(s, tree[c].code, tree[c].len); }

// Run limits for the next run of code lengths.
inline void NextRunLimits(int current, int next, int* maxCount, int* minCount) {
    if (next == 0) {
        *maxCount = 138;
        *minCount = 3;
    } else if (current == next) {
        *maxCount = 6;
        *minCount = 3;
    } else {
        *maxCount = 7;
        *minCount = 4;
    }
}

// Walks the lengths 0..maxCode of a tree in runs, as the counting and the
// sending of code-length codes both do.  emit(code, extraValue, extraBits)
// is called once per code-length code.
template <typename Emit>
void WalkLengthRuns(const TreeNode* tree, int maxCode, Emit emit) {
    int previous = -1;
    int next = tree[0].len;
    int count = 0;
    int maxCount = 7;
    int minCount = 4;
    if (next == 0) {
        maxCount = 138;
        minCount = 3;
    }
    for (int n = 0; n <= maxCode; ++n) {
        int current = next;
        next = tree[n + 1].len;
        if (++count < maxCount && current == next) continue;
        if (count < minCount) {
            for (int i = 0; i < count; ++i) emit(current, 0, 0);
        } else if (current != 0) {
            if (current != previous) {
                emit(current, 0, 0);
                --count;
            }
            emit(kRepeatPrevious, count - 3, 2);
        } else if (count <= 10) {
            emit(kRepeatZero, count - 3, 3);
        } else {
            emit(kRepeatZeroLong, count - 11, 7);
        }
        count = 0;
        previous = current;
        NextRunLimits(current, next, &maxCount, &minCount);
    }
}

void EmitLengthRuns(DeflateState& s, const TreeNode* tree, int maxCode) {
    const TreeNode* lengthTree = s.tables.lengthTree;
    WalkLengthRuns(tree, maxCode, [&s, lengthTree](int code, int extraValue, int extraBits) {
        SendCode(s, lengthTree, code);
        if (extraBits) EmitBits(s, static_cast<uint32_t>(extraValue), static_cast<uint32_t>(extraBits));
    });
}

// Builds the code-length tree over both trees' lengths; returns the index in
// the sending order of the last code-length code sent.
int BuildLengthTree(BlockTables& t) {
    CountLengthRuns(t, t.litTree, t.litDesc.maxCode);
    CountLengthRuns(t, t.distTree, t.distDesc.maxCode);
    BuildHuffmanTree(t, t.lengthDesc);
    int last = 3;
    for (int rank = kLengthTreeCodes - 1; rank >= 4; --rank) {
        if (t.lengthTree[kLengthTreeOrder[rank]].len != 0) {
            last = rank;
            break;
        }
    }
    t.dynamicBits += 3 * (last + 1) + 5 + 5 + 4;
    return last;
}

void EmitTreeHeader(DeflateState& s, int litCodes, int distCodes, int lengthCodes) {
    const BlockTables& t = s.tables;
    EmitBits(s, static_cast<uint32_t>(litCodes - 257), 5);
    EmitBits(s, static_cast<uint32_t>(distCodes - 1), 5);
    EmitBits(s, static_cast<uint32_t>(lengthCodes - 4), 4);
    for (int rank = 0; rank < lengthCodes; ++rank) EmitBits(s, t.lengthTree[kLengthTreeOrder[rank]].len, 3);
    EmitLengthRuns(s, t.litTree, litCodes - 1);
    EmitLengthRuns(s, t.distTree, distCodes - 1);
}

void EmitBlockSymbols(DeflateState& s, const TreeNode* litTree, const TreeNode* distTree) {
    const BlockTables& t = s.tables;
    uint32_t lx = 0;
    uint32_t dx = 0;
    uint32_t fx = 0;
    uint32_t flag = 0;
    while (lx < t.symbolCount) {
        if ((lx & 7) == 0) {
            // A failed write drops everything after it; stop early.
            if (s.status != 0) return;
            flag = t.flags[fx++];
        }
        uint32_t value = t.literals[lx++];
        if ((flag & 1) == 0) {
            SendCode(s, litTree, static_cast<int>(value));
        } else {
            int code = kCodes.lengthCode[value];
            SendCode(s, litTree, code + kLiterals + 1);
            if (kLengthExtra[code]) EmitBits(s, value - kCodes.baseLength[code], kLengthExtra[code]);
            uint32_t distance = t.distances[dx++];
            code = DistanceCode(distance);
            SendCode(s, distTree, code);
            if (kDistanceExtra[code]) EmitBits(s, distance - kCodes.baseDistance[code], kDistanceExtra[code]);
        }
        flag >>= 1;
    }
    SendCode(s, litTree, kEndBlock);
}

// Text when bytes outside 7..127 are at most a quarter of those inside.
void GuessText(BlockTables& t) {
    uint32_t binary = 0;
    uint32_t text = 0;
    for (int n = 0; n < 7; ++n) binary += t.litTree[n].freq;
    for (int n = 7; n < 128; ++n) text += t.litTree[n].freq;
    for (int n = 128; n < kLiterals; ++n) binary += t.litTree[n].freq;
    binary &= 0xFFFF;
    text &= 0xFFFF;
    t.guess = binary <= text / 4 ? TextGuess::Text : TextGuess::Binary;
}

}  // namespace

void ClearDeflateTables(BlockTables& t) { std::memset(&t, 0, sizeof(BlockTables)); }

void StartTrees(BlockTables& t) {
    t.totalBits = gStartingBits;
    t.litDesc = {t.litTree, t.fixedLit, kLengthExtra, kLiterals + 1, kLitCodes, kMaxBits, 0};
    t.distDesc = {t.distTree, t.fixedDist, kDistanceExtra, 0, kDistCodes, kMaxBits, 0};
    t.lengthDesc = {t.lengthTree, nullptr, kLengthTreeExtra, 0, kLengthTreeCodes, kMaxLengthTreeBits, 0};

    uint16_t counts[kMaxBits + 1] = {};
    for (int n = 0; n < kFixedLitCodes; ++n) {
        int len = n < 144 ? 8 : n < 256 ? 9 : n < 280 ? 7 : 8;
        t.fixedLit[n].len = static_cast<uint16_t>(len);
        counts[len]++;
    }
    AssignCodes(t.fixedLit, kFixedLitCodes - 1, counts);
    for (int n = 0; n < kDistCodes; ++n) {
        t.fixedDist[n].len = 5;
        t.fixedDist[n].code = ReverseBits(static_cast<uint32_t>(n), 5);
    }
    ResetBlock(t);
}

void ResetBlock(BlockTables& t) {
    for (int n = 0; n < kLitCodes; ++n) t.litTree[n].freq = 0;
    for (int n = 0; n < kDistCodes; ++n) t.distTree[n].freq = 0;
    for (int n = 0; n < kLengthTreeCodes; ++n) t.lengthTree[n].freq = 0;
    t.litTree[kEndBlock].freq = 1;
    t.dynamicBits = 0;
    t.fixedBits = 0;
    t.symbolCount = 0;
    t.matchCount = 0;
    t.flagCount = 0;
    t.flagByte = 0;
    t.flagBit = 1;
}

void BuildHuffmanTree(BlockTables& t, TreeDesc& desc) {
    TreeNode* tree = desc.tree;
    int maxCode = -1;

    t.heapLen = 0;
    t.heapMax = kHeapSize;
    for (int n = 0; n < desc.leaves; ++n) {
        if (tree[n].freq != 0) {
            t.heap[++t.heapLen] = static_cast<uint16_t>(n);
            maxCode = n;
            t.depth[n] = 0;
        } else {
            tree[n].len = 0;
        }
    }
    // A tree needs two leaves to give every code at least one bit.  The
    // added leaf's cost is taken back here because the lengths below add it.
    while (t.heapLen < 2) {
        int node = maxCode < 2 ? ++maxCode : 0;
        t.heap[++t.heapLen] = static_cast<uint16_t>(node);
        tree[node].freq = 1;
        t.depth[node] = 0;
        t.dynamicBits--;
        if (desc.fixed) t.fixedBits -= desc.fixed[node].len;
    }
    desc.maxCode = maxCode;

    for (int n = t.heapLen / 2; n >= 1; --n) SiftDown(t, tree, n);

    int node = desc.leaves;  // inner nodes are numbered after the leaves
    do {
        int n = t.heap[1];
        t.heap[1] = t.heap[t.heapLen--];
        SiftDown(t, tree, 1);
        int m = t.heap[1];
        t.heap[--t.heapMax] = static_cast<uint16_t>(n);
        t.heap[--t.heapMax] = static_cast<uint16_t>(m);
        tree[node].freq = static_cast<uint16_t>(tree[n].freq + tree[m].freq);
        t.depth[node] = static_cast<uint8_t>((t.depth[n] >= t.depth[m] ? t.depth[n] : t.depth[m]) + 1);
        tree[n].parent = tree[m].parent = static_cast<uint16_t>(node);
        t.heap[1] = static_cast<uint16_t>(node++);
        SiftDown(t, tree, 1);
    } while (t.heapLen >= 2);
    t.heap[--t.heapMax] = t.heap[1];

    LimitBitLengths(t, desc);
    AssignCodes(tree, maxCode, t.lengthCounts);
}

void CountLengthRuns(BlockTables& t, TreeNode* tree, int maxCode) {
    tree[maxCode + 1].len = 0xFFFF;  // guard: no run continues past the last code
    TreeNode* lengthTree = t.lengthTree;
    WalkLengthRuns(tree, maxCode, [lengthTree](int code, int, int) { lengthTree[code].freq++; });
}

uint64_t EndBlock(DeflateState& s, const uint8_t* data, uint32_t storedLength, bool final) {
    BlockTables& t = s.tables;
    t.flags[t.flagCount] = t.flagByte;
    if (t.guess == TextGuess::Undecided) GuessText(t);

    BuildHuffmanTree(t, t.litDesc);
    BuildHuffmanTree(t, t.distDesc);
    int lastLengthCode = BuildLengthTree(t);

    int64_t dynamicBytes = (t.dynamicBits + 3 + 7) >> 3;
    int64_t fixedBytes = (t.fixedBits + 3 + 7) >> 3;
    int64_t best = fixedBytes <= dynamicBytes ? fixedBytes : dynamicBytes;
    const uint32_t finalBit = final ? 1 : 0;

    BlockType type;
    if (data && storedLength <= 0xFFFF && static_cast<int64_t>(storedLength) + 4 <= best) {
        type = BlockType::Stored;
        EmitBits(s, finalBit, 3);
        t.totalBits = ((t.totalBits + 3 + 7) & ~uint64_t{7}) + (static_cast<uint64_t>(storedLength) + 4) * 8;
        EmitStoredBlock(s, data, storedLength);
    } else if (fixedBytes == best) {
        type = BlockType::Fixed;
        EmitBits(s, 2 + finalBit, 3);
        EmitBlockSymbols(s, t.fixedLit, t.fixedDist);
        t.totalBits += 3 + static_cast<uint64_t>(t.fixedBits);
    } else {
        type = BlockType::Dynamic;
        EmitBits(s, 4 + finalBit, 3);
        EmitTreeHeader(s, t.litDesc.maxCode + 1, t.distDesc.maxCode + 1, lastLengthCode + 1);
        EmitBlockSymbols(s, t.litTree, t.distTree);
        t.totalBits += 3 + static_cast<uint64_t>(t.dynamicBits);
    }

    if (gObserver) {
        BlockReport report{&t, storedLength, data != nullptr, final, fixedBytes, dynamicBytes, type};
        gObserver(report, gObserverContext);
    }
    ResetBlock(t);

    if (final) {
        FinishOutput(s);
        if (s.status != 0) return 0;
        t.totalBits += 7;
    }
    return t.totalBits >> 3;
}

void SetStartingBitCountForTesting(uint64_t bits) { gStartingBits = bits; }

void SetBlockObserverForTesting(BlockObserver observer, void* context) {
    gObserver = observer;
    gObserverContext = context;
}

}  // namespace vardex::deflate

namespace vardex {

DeflateState* NewDeflateState() { return static_cast<DeflateState*>(AllocateWork(sizeof(DeflateState), true)); }

void FreeDeflateState(DeflateState* state) { std::free(state); }

}  // namespace vardex
