#include "camera/pngencoder.h"

#include "camera/huffmandeflate.h"

#include <zlib.h>

#include <algorithm>
#include <exception>
#include <memory>
#include <system_error>
#include <thread>

namespace pngencoder {

namespace {

void put32(std::vector<unsigned char>* out, unsigned long v)
{
    out->push_back(static_cast<unsigned char>(v >> 24));
    out->push_back(static_cast<unsigned char>(v >> 16));
    out->push_back(static_cast<unsigned char>(v >> 8));
    out->push_back(static_cast<unsigned char>(v));
}

void chunk(std::vector<unsigned char>* out, const char* type, const unsigned char* data, size_t size)
{
    put32(out, static_cast<unsigned long>(size));
    const size_t typeAt = out->size();
    out->insert(out->end(), type, type + 4);
    out->insert(out->end(), data, data + size);
    const uLong crc = crc32(0L, out->data() + typeAt, static_cast<uInt>(4 + size));
    put32(out, crc);
}

// One band's rows, filtered and deflated. Huffman coding alone: on the girdle's texture the
// filtered bytes hold few repeats, so searching for them (zlib's run-length and fastest
// settings) costs time and gains nothing (14.3 MB either way for a 12368 x 1026 panorama), and
// zlib's Huffman-only coding is itself the slowest part (huffmandeflate.h). Each row: the
// filter byte 1 (Sub: every byte minus the byte one pixel to its left), then the pixels as
// R G B (or grey).
struct Band
{
    std::vector<unsigned char> deflated;
    uLong adler = 1;
    size_t rawBytes = 0;
    bool ok = false;
};

void encodeRows(const cv::Mat& image, int rowFrom, int rowTo, bool last, Band* band);

// On a thread of its own: nothing may leave it; a band that could not be made is not ok, and the
// caller then falls back to the image library.
void encodeBand(const cv::Mat& image, int rowFrom, int rowTo, bool last, Band* band)
{
    try {
        encodeRows(image, rowFrom, rowTo, last, band);
    } catch (const std::exception&) {
        band->ok = false;
    }
}

void encodeRows(const cv::Mat& image, int rowFrom, int rowTo, bool last, Band* band)
{
    const int channels = image.channels();
    const size_t rowBytes = static_cast<size_t>(image.cols) * channels + 1;
    if (rowBytes * static_cast<size_t>(rowTo - rowFrom) >= (size_t(1) << 30))
        return;   // zlib counts a call's bytes in 32 bits
    // Every byte is written below: the buffer is not cleared first.
    const size_t rawBytes = rowBytes * static_cast<size_t>(rowTo - rowFrom);
    std::unique_ptr<unsigned char[]> raw(new unsigned char[rawBytes]);
    for (int r = rowFrom; r < rowTo; ++r) {
        unsigned char* out = raw.get() + rowBytes * static_cast<size_t>(r - rowFrom);
        const unsigned char* in = image.ptr<unsigned char>(r);
        out[0] = 1;
        unsigned char* px = out + 1;
        if (channels == 3) {
            unsigned char r0 = 0, g0 = 0, b0 = 0;
            for (int c = 0; c < image.cols; ++c) {
                const unsigned char b = in[3 * c], g = in[3 * c + 1], r = in[3 * c + 2];
                px[3 * c] = static_cast<unsigned char>(r - r0);
                px[3 * c + 1] = static_cast<unsigned char>(g - g0);
                px[3 * c + 2] = static_cast<unsigned char>(b - b0);
                r0 = r;
                g0 = g;
                b0 = b;
            }
        } else {
            unsigned char v0 = 0;
            for (int c = 0; c < image.cols; ++c) {
                px[c] = static_cast<unsigned char>(in[c] - v0);
                v0 = in[c];
            }
        }
    }
    band->rawBytes = rawBytes;
    band->adler = adler32(1L, raw.get(), static_cast<uInt>(rawBytes));
    // Raw deflate: the zlib header and checksum are written once for the joined stream. A band
    // that is not the last ends on a byte boundary without closing the stream, so the next
    // band's blocks follow it.
    huffmandeflate::Encode(raw.get(), rawBytes, last, &band->deflated);
    band->ok = true;
}

} // namespace

bool Encode(const cv::Mat& image, std::vector<unsigned char>* png, int bands)
{
    if (image.empty() || (image.type() != CV_8UC1 && image.type() != CV_8UC3) || !png)
        return false;
    const int count = std::max(1, std::min(bands, image.rows / 64));
    std::vector<Band> parts(static_cast<size_t>(count));
    std::vector<std::thread> threads;
    for (int b = 0; b < count; ++b) {
        const int from = static_cast<int>(static_cast<long long>(image.rows) * b / count);
        const int to = static_cast<int>(static_cast<long long>(image.rows) * (b + 1) / count);
        const bool last = b + 1 == count;
        bool started = false;
        if (b + 1 < count) {
            try {
                threads.emplace_back(encodeBand, std::cref(image), from, to, last, &parts[static_cast<size_t>(b)]);
                started = true;
            } catch (const std::system_error&) {
                // No thread to be had: this band on the calling thread.
            }
        }
        if (!started)
            encodeBand(image, from, to, last, &parts[static_cast<size_t>(b)]);
    }
    for (std::thread& t : threads)
        t.join();

    uLong adler = 1;
    size_t deflatedBytes = 2 + 4;
    for (const Band& band : parts) {
        if (!band.ok)
            return false;
        adler = adler32_combine(adler, band.adler, static_cast<z_off_t>(band.rawBytes));
        deflatedBytes += band.deflated.size();
    }
    std::vector<unsigned char> stream;
    stream.reserve(deflatedBytes);
    stream.push_back(0x78);   // deflate, 32 KiB window
    stream.push_back(0x01);   // fastest compression; header check bits make 0x7801 a multiple of 31
    for (const Band& band : parts)
        stream.insert(stream.end(), band.deflated.begin(), band.deflated.end());
    put32(&stream, adler);

    png->clear();
    png->reserve(stream.size() + 64);
    static const unsigned char signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    png->insert(png->end(), signature, signature + 8);
    std::vector<unsigned char> header;
    put32(&header, static_cast<unsigned long>(image.cols));
    put32(&header, static_cast<unsigned long>(image.rows));
    header.push_back(8);                                  // bits per sample
    header.push_back(image.channels() == 3 ? 2 : 0);      // RGB or grey
    header.push_back(0);                                  // deflate
    header.push_back(0);                                  // adaptive filtering (per-row filter byte)
    header.push_back(0);                                  // not interlaced
    chunk(png, "IHDR", header.data(), header.size());
    // IDAT chunks of at most 1 MiB; decoders join them.
    const size_t most = size_t(1) << 20;
    for (size_t at = 0; at < stream.size(); at += most)
        chunk(png, "IDAT", stream.data() + at, std::min(most, stream.size() - at));
    chunk(png, "IEND", nullptr, 0);
    return true;
}

} // namespace pngencoder
