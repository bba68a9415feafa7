#include "camera/huffmandeflate.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>

namespace huffmandeflate {

namespace {

constexpr int LiteralCodes = 257;      // the 256 byte values and the end of block
constexpr int EndOfBlock = 256;
constexpr int DistanceCodes = 2;       // never used; two of one bit, as zlib writes them
constexpr int LengthCodes = 19;        // the alphabet that codes the code lengths
constexpr int MaxLiteralBits = 15;
constexpr int MaxLengthBits = 7;
// The order in which the length code's own lengths are sent.
constexpr std::array<int, LengthCodes> LengthOrder{16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

// Bits gathered least significant first, as deflate packs them, and stored four bytes at a time
// into output reserved beforehand.
class BitWriter
{
public:
    explicit BitWriter(unsigned char* at) : at(at) {}

    void put(std::uint32_t bits, int count)
    {
        add(bits, count, gathered, held, at);
    }
    // Pads with zero bits to the next byte boundary and stores what is held.
    void align()
    {
        while (held > 0) {
            *at++ = static_cast<unsigned char>(gathered);
            gathered >>= 8;
            held -= 8;
        }
        held = 0;
        gathered = 0;
    }
    // Each byte of data by its entry in `table` (the code in the low 16 bits, its length above):
    // the hot loop keeps the writer's state in locals, as stores through a byte pointer could
    // otherwise change the members for all the compiler knows.
    void putCoded(const unsigned char* data, std::size_t size, const std::uint32_t* table)
    {
        std::uint64_t bits = gathered;
        int count = held;
        unsigned char* to = at;
        for (std::size_t i = 0; i < size; ++i) {
            const std::uint32_t entry = table[data[i]];
            add(entry & 0xffffu, static_cast<int>(entry >> 16), bits, count, to);
        }
        gathered = bits;
        held = count;
        at = to;
    }
    unsigned char* position() const { return at; }

private:
    // Adds `count` bits to the gathered ones and stores four bytes once 32 are gathered.
    static void add(std::uint32_t value, int count, std::uint64_t& bits, int& held, unsigned char*& to)
    {
        bits |= std::uint64_t(value) << held;
        held += count;
        if (held >= 32) {
            to[0] = static_cast<unsigned char>(bits);
            to[1] = static_cast<unsigned char>(bits >> 8);
            to[2] = static_cast<unsigned char>(bits >> 16);
            to[3] = static_cast<unsigned char>(bits >> 24);
            to += 4;
            bits >>= 32;
            held -= 32;
        }
    }

    unsigned char* at;
    std::uint64_t gathered = 0;
    int held = 0;
};

// Huffman code lengths for `count` symbols of the given frequencies, none longer than `limit`
// bits. At least two symbols get a code (a code of one symbol is not a complete code, and some
// decoders refuse it): the lowest symbols stand in for missing ones.
void codeLengths(const std::uint32_t* frequency, int count, int limit, std::uint8_t* lengths)
{
    std::vector<std::uint32_t> weights(frequency, frequency + count);
    int used = static_cast<int>(std::count_if(weights.begin(), weights.end(), [](std::uint32_t f) { return f > 0; }));
    for (int s = 0; used < 2 && s < count; ++s) {
        if (weights[static_cast<std::size_t>(s)] == 0) {
            weights[static_cast<std::size_t>(s)] = 1;
            ++used;
        }
    }
    for (;;) {
        // Leaves by rising weight; internal nodes are made in rising weight too, so the two
        // lightest are always at the front of one of the two queues.
        std::vector<int> leaves;
        for (int s = 0; s < count; ++s) {
            if (weights[static_cast<std::size_t>(s)] > 0)
                leaves.push_back(s);
        }
        std::stable_sort(leaves.begin(), leaves.end(), [&](int a, int b) {
            return weights[static_cast<std::size_t>(a)] < weights[static_cast<std::size_t>(b)];
        });
        const int n = static_cast<int>(leaves.size());
        // Nodes 0..n-1 are the leaves in that order, n.. the internal nodes.
        std::vector<std::uint64_t> weight(static_cast<std::size_t>(2 * n - 1));
        std::vector<int> parent(static_cast<std::size_t>(2 * n - 1), -1);
        for (int i = 0; i < n; ++i)
            weight[static_cast<std::size_t>(i)] = weights[static_cast<std::size_t>(leaves[static_cast<std::size_t>(i)])];
        int nextLeaf = 0;
        int nextNode = n;
        auto lightest = [&](int made) {
            if (nextLeaf < n && (nextNode >= made || weight[static_cast<std::size_t>(nextLeaf)] <= weight[static_cast<std::size_t>(nextNode)]))
                return nextLeaf++;
            return nextNode++;
        };
        for (int made = n; made < 2 * n - 1; ++made) {
            const int a = lightest(made);
            const int b = lightest(made);
            weight[static_cast<std::size_t>(made)] = weight[static_cast<std::size_t>(a)] + weight[static_cast<std::size_t>(b)];
            parent[static_cast<std::size_t>(a)] = made;
            parent[static_cast<std::size_t>(b)] = made;
        }
        // Depths from the root (the last node made) down: a parent is always made after its children.
        std::vector<int> depth(static_cast<std::size_t>(2 * n - 1), 0);
        int deepest = 0;
        for (int node = 2 * n - 3; node >= 0; --node) {
            depth[static_cast<std::size_t>(node)] = depth[static_cast<std::size_t>(parent[static_cast<std::size_t>(node)])] + 1;
            deepest = std::max(deepest, depth[static_cast<std::size_t>(node)]);
        }
        if (deepest <= limit) {
            std::fill(lengths, lengths + count, std::uint8_t(0));
            for (int i = 0; i < n; ++i)
                lengths[leaves[static_cast<std::size_t>(i)]] = static_cast<std::uint8_t>(depth[static_cast<std::size_t>(i)]);
            return;
        }
        // Too deep: flatten the weights and build again (rare: a block of one byte value almost
        // everywhere). Every used symbol keeps a weight of at least one.
        for (std::uint32_t& w : weights) {
            if (w > 0)
                w = (w >> 1) | 1u;
        }
    }
}

// Canonical codes for the lengths, bit-reversed for the least-significant-first writer.
void canonicalCodes(const std::uint8_t* lengths, int count, std::uint32_t* codes)
{
    std::array<int, 16> perLength{};
    for (int s = 0; s < count; ++s)
        ++perLength[lengths[s]];
    perLength[0] = 0;
    std::array<std::uint32_t, 16> next{};
    std::uint32_t code = 0;
    for (int bits = 1; bits < 16; ++bits) {
        code = (code + static_cast<std::uint32_t>(perLength[static_cast<std::size_t>(bits - 1)])) << 1;
        next[static_cast<std::size_t>(bits)] = code;
    }
    for (int s = 0; s < count; ++s) {
        const int bits = lengths[s];
        if (bits == 0) {
            codes[s] = 0;
            continue;
        }
        const std::uint32_t c = next[static_cast<std::size_t>(bits)]++;
        std::uint32_t reversed = 0;
        for (int b = 0; b < bits; ++b)
            reversed |= ((c >> b) & 1u) << (bits - 1 - b);
        codes[s] = reversed;
    }
}

void encodeBlock(const unsigned char* data, std::size_t size, bool final, BitWriter* out)
{
    // Four counts per value, summed after: runs of one value (the zeros of a plain stretch)
    // would otherwise wait on their own count at every byte.
    std::array<std::array<std::uint32_t, 256>, 4> partial{};
    std::size_t i = 0;
    for (; i + 4 <= size; i += 4) {
        ++partial[0][data[i]];
        ++partial[1][data[i + 1]];
        ++partial[2][data[i + 2]];
        ++partial[3][data[i + 3]];
    }
    for (; i < size; ++i)
        ++partial[0][data[i]];
    std::array<std::uint32_t, LiteralCodes> frequency{};
    for (int v = 0; v < 256; ++v)
        frequency[static_cast<std::size_t>(v)] = partial[0][static_cast<std::size_t>(v)] + partial[1][static_cast<std::size_t>(v)]
                                                 + partial[2][static_cast<std::size_t>(v)] + partial[3][static_cast<std::size_t>(v)];
    frequency[EndOfBlock] = 1;
    std::array<std::uint8_t, LiteralCodes + DistanceCodes> lengths{};
    codeLengths(frequency.data(), LiteralCodes, MaxLiteralBits, lengths.data());
    lengths[LiteralCodes] = 1;
    lengths[LiteralCodes + 1] = 1;
    std::array<std::uint32_t, LiteralCodes> codes{};
    canonicalCodes(lengths.data(), LiteralCodes, codes.data());

    // The lengths themselves, each coded by the length code (no run-length symbols: the
    // header is a few hundred bytes of a block of 64 KiB either way).
    std::array<std::uint32_t, LengthCodes> lengthFrequency{};
    for (std::uint8_t bits : lengths)
        ++lengthFrequency[bits];
    std::array<std::uint8_t, LengthCodes> lengthLengths{};
    codeLengths(lengthFrequency.data(), LengthCodes, MaxLengthBits, lengthLengths.data());
    std::array<std::uint32_t, LengthCodes> lengthCodes{};
    canonicalCodes(lengthLengths.data(), LengthCodes, lengthCodes.data());
    int sent = LengthCodes;
    while (sent > 4 && lengthLengths[static_cast<std::size_t>(LengthOrder[static_cast<std::size_t>(sent - 1)])] == 0)
        --sent;

    out->put(final ? 1u : 0u, 1);
    out->put(2u, 2);                                   // dynamic Huffman codes
    out->put(LiteralCodes - 257, 5);
    out->put(DistanceCodes - 1, 5);
    out->put(static_cast<std::uint32_t>(sent - 4), 4);
    for (int i = 0; i < sent; ++i)
        out->put(lengthLengths[static_cast<std::size_t>(LengthOrder[static_cast<std::size_t>(i)])], 3);
    for (std::uint8_t bits : lengths)
        out->put(lengthCodes[bits], lengthLengths[bits]);
    std::array<std::uint32_t, 256> table{};
    for (int v = 0; v < 256; ++v)
        table[static_cast<std::size_t>(v)] = codes[static_cast<std::size_t>(v)] | (std::uint32_t(lengths[static_cast<std::size_t>(v)]) << 16);
    out->putCoded(data, size, table.data());
    out->put(codes[EndOfBlock], lengths[EndOfBlock]);
}

} // namespace

void Encode(const unsigned char* data, std::size_t size, bool last, std::vector<unsigned char>* out)
{
    const std::size_t blocks = std::max<std::size_t>(1, (size + BlockBytes - 1) / BlockBytes);
    // At most 15 bits per byte, a header of under 300 bytes per block, the closing stored block.
    const std::size_t bound = size * 15 / 8 + blocks * 320 + 16;
    // Reserved without being cleared: only the pages written are ever touched.
    std::unique_ptr<unsigned char[]> buffer(new unsigned char[bound]);
    BitWriter writer(buffer.get());
    for (std::size_t b = 0; b < blocks; ++b) {
        const std::size_t from = b * BlockBytes;
        const std::size_t to = std::min(size, from + BlockBytes);
        encodeBlock(data + from, to - from, last && b + 1 == blocks, &writer);
    }
    unsigned char* end = nullptr;
    if (!last) {
        // An empty stored block: three header bits, the byte boundary, length 0 and its complement.
        writer.put(0u, 3);
        writer.align();
        end = writer.position();
        const unsigned char empty[4] = {0x00, 0x00, 0xff, 0xff};
        std::copy(empty, empty + 4, end);
        end += 4;
    } else {
        writer.align();
        end = writer.position();
    }
    out->insert(out->end(), buffer.get(), end);
}

} // namespace huffmandeflate
