// Arbitrary bytes as what the station writes on the host's data connection (text and image
// messages) or its video connection (size-prefixed frames), read back by the host simulator's
// parsers. The first byte picks the connection and how the stream is cut into reads. The
// items that come out must be the same whether the stream arrives at once or cut into pieces
// (a parser that depends on read boundaries reports faults the station did not make), every
// image carries a BMP of the size its header states, every frame payload the announced size,
// and nothing is left unaccounted for.
#include "sim/host/stationdataparser.h"
#include "sim/host/stationvideoparser.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

void fail(const char* what)
{
    std::fprintf(stderr, "fuzz_hostsim: %s\n", what);
    std::abort();
}

// Read sizes from a small generator seeded by the first byte: 1..chunkMax bytes. The pieces
// point into stream (no copy), which outlives them; the parser copies what it keeps.
std::vector<QByteArray> cut(const QByteArray& stream, unsigned seed)
{
    std::vector<QByteArray> pieces;
    const unsigned chunkMax = 1 + (seed % 61);
    int at = 0;
    while (at < stream.size()) {
        seed = seed * 1103515245u + 12345u;
        const int take = int(1 + (seed >> 16) % chunkMax);
        pieces.push_back(QByteArray::fromRawData(stream.constData() + at, std::min(take, int(stream.size()) - at)));
        at += take;
    }
    return pieces;
}

using DataItems = std::vector<StationDataParser::Item>;

DataItems readData(const std::vector<QByteArray>& pieces, StationDataParser* parser)
{
    DataItems items;
    StationDataParser::Item item;
    for (const QByteArray& piece : pieces) {
        parser->append(piece);
        while (parser->next(&item))
            items.push_back(item);
    }
    return items;
}

void checkData(const QByteArray& stream, unsigned seed)
{
    StationDataParser whole;
    StationDataParser pieces;
    const DataItems a = readData({stream}, &whole);
    const DataItems b = readData(cut(stream, seed), &pieces);
    if (a.size() != b.size())
        fail("data: item count depends on the read sizes");
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i].kind != b[i].kind || a[i].fault != b[i].fault)
            fail("data: item kind depends on the read sizes");
        if (a[i].kind == StationDataParser::Kind::Violation)
            continue; // the quoted bytes of a fault may differ
        if (a[i].sequence != b[i].sequence || a[i].text != b[i].text || a[i].bmp != b[i].bmp)
            fail("data: message content depends on the read sizes");
        if (a[i].kind == StationDataParser::Kind::Image) {
            const QByteArray& bmp = a[i].bmp;
            if (bmp.size() < 26 || bmp.at(0) != 'B' || bmp.at(1) != 'M')
                fail("data: image without its BMP header");
            const auto* s = reinterpret_cast<const unsigned char*>(bmp.constData() + 2);
            const quint32 stated = quint32(s[0]) | (quint32(s[1]) << 8) | (quint32(s[2]) << 16) | (quint32(s[3]) << 24);
            if (stated != quint32(bmp.size()))
                fail("data: image size differs from its BMP header");
        } else if (a[i].text.contains(QLatin1Char(';'))) {
            fail("data: text message holds its terminator");
        }
    }
    if (whole.isBroken() != pieces.isBroken())
        fail("data: broken state depends on the read sizes");
    if (!whole.isBroken() && whole.pendingBytes() != pieces.pendingBytes())
        fail("data: left-over bytes depend on the read sizes");
    whole.reset();
    if (whole.isBroken() || whole.pendingBytes() != 0)
        fail("data: reset leaves state behind");
}

using VideoItems = std::vector<StationVideoParser::Item>;

VideoItems readVideo(const std::vector<QByteArray>& pieces, StationVideoParser* parser)
{
    VideoItems items;
    StationVideoParser::Item item;
    for (const QByteArray& piece : pieces) {
        parser->append(piece);
        while (parser->next(&item))
            items.push_back(item);
    }
    return items;
}

void checkVideo(const QByteArray& stream, unsigned seed)
{
    StationVideoParser whole;
    StationVideoParser pieces;
    const VideoItems a = readVideo({stream}, &whole);
    const VideoItems b = readVideo(cut(stream, seed), &pieces);
    if (a.size() != b.size())
        fail("video: item count depends on the read sizes");
    qint64 consumed = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i].kind != b[i].kind || a[i].index != b[i].index || a[i].payload != b[i].payload)
            fail("video: items depend on the read sizes");
        if (a[i].kind == StationVideoParser::Kind::Frame) {
            if (a[i].index != int(i) + 1)
                fail("video: frame numbers do not count on");
            consumed += StationVideoParser::HeaderSize + a[i].payload.size();
        }
    }
    if (!whole.isBroken() && consumed + whole.pendingBytes() != stream.size())
        fail("video: bytes lost between frames");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    const unsigned mode = data[0];
    // The bytes stay where the fuzzer put them: a read past their end is caught.
    const QByteArray stream = QByteArray::fromRawData(reinterpret_cast<const char*>(data + 1), int(size - 1));
    if (mode & 1)
        checkVideo(stream, mode >> 1);
    else
        checkData(stream, mode >> 1);
    return 0;
}
