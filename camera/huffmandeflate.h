#pragma once

#include <cstddef>
#include <vector>

// Deflate (RFC 1951) of bytes that hold few repeats, such as a girdle image's filtered rows:
// every byte is coded as a literal with a Huffman code built for its block (64 KiB of input),
// which is what zlib's Huffman-only setting produces too, at several times its speed (a
// histogram and one table look-up per byte, bits gathered 64 at a time).
namespace huffmandeflate {

// Input bytes per block: each block has its own code, so a band of the image that changes
// character (a plain stretch, then texture) is coded for what it holds.
constexpr std::size_t BlockBytes = std::size_t(1) << 16;

// Appends raw deflate blocks coding `size` bytes of `data` to `out`. With `last` the final
// block closes the stream; otherwise the output ends with an empty stored block on a byte
// boundary (as a zlib sync flush does), so that another call's blocks may follow it.
void Encode(const unsigned char* data, std::size_t size, bool last, std::vector<unsigned char>* out);

} // namespace huffmandeflate
