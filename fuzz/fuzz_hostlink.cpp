// Arbitrary bytes as the text a host sends on the data connection, delivered in chunks of
// varying size: decoding them (bytes that are not UTF-8 kept as U+DC80..U+DCFF), cutting messages and interpreting commands must never crash, the pending
// text stays within its cap, and every command that comes out is interpreted to a defined
// action with its spaces removed.
#include "hostlink/hostprotocol.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    constexpr int cap = 256; // far below the longest input, so that the overflow path is reached often
    hostprotocol::ReceiveFramer framer(cap);
    hostprotocol::ByteDecoder decoder;
    QString chunked;
    size_t at = 0;
    unsigned chunkSeed = size > 0 ? data[0] : 1;
    while (at < size) {
        const size_t chunk = 1 + (chunkSeed % 97);
        chunkSeed = chunkSeed * 1103515245u + 12345u;
        const size_t take = chunk < size - at ? chunk : size - at;
        const QString text = decoder.decode(QByteArray::fromRawData(reinterpret_cast<const char*>(data + at), static_cast<int>(take)));
        chunked += text;
        framer.append(text);
        at += take;
        if (framer.size() > cap + 97)
            abort();
        for (const QString& command : framer.takeCommands()) {
            const hostprotocol::Action action = hostprotocol::interpretCommand(command);
            if (action.command.contains(QLatin1Char(' ')))
                abort();
            if (action.recognised() == (action.kind == hostprotocol::Action::Unknown))
                abort();
        }
        framer.takeNotes();
    }
    // Decoding in chunks gives what decoding at once gives, and every byte can be had back:
    // U+DC80..U+DCFF stand for the byte itself, everything else is the UTF-8 it came as.
    hostprotocol::ByteDecoder whole;
    const QString all = whole.decode(QByteArray::fromRawData(reinterpret_cast<const char*>(data), static_cast<int>(size)));
    if (all != chunked)
        abort();
    const int waiting = whole.reset();
    if (waiting > 3 || decoder.reset() != waiting)
        abort();
    QByteArray back;
    back.reserve(static_cast<int>(size));
    for (const QChar c : all) {
        const ushort u = c.unicode();
        if (u >= 0xDC80 && u <= 0xDCFF) {
            back += char(u - 0xDC00);
        } else if (c.isSurrogate()) {
            continue;
        } else if (u < 0x80) {
            back += char(u);
        } else if (u < 0x800) {
            back += char(0xC0 | (u >> 6));
            back += char(0x80 | (u & 0x3F));
        } else {
            back += char(0xE0 | (u >> 12));
            back += char(0x80 | ((u >> 6) & 0x3F));
            back += char(0x80 | (u & 0x3F));
        }
    }
    int pairs = 0; // characters beyond U+FFFF: re-encode the pair together
    for (int i = 0; i + 1 < all.size(); ++i)
        if (all.at(i).isHighSurrogate() && all.at(i + 1).isLowSurrogate())
            ++pairs;
    if (pairs == 0 && back != QByteArray(reinterpret_cast<const char*>(data), static_cast<int>(size) - waiting))
        abort();
    framer.clear();
    if (!framer.isEmpty())
        abort();
    return 0;
}
