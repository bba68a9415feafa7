#pragma once

// Cuts what the station writes on its data connection into messages, without a socket: the
// host simulator feeds it whatever arrived and pulls one item at a time, so a handler that
// runs a nested event loop (and so pulls again) still sees the messages in their order.
//
// Wire format:
//  - text message: sequence number (decimal, at most ten digits) ":" text ";";
//  - image message: sequence number ":" text "->" BMP file ";", where the BMP states its own
//    size in bytes 2..5 (little-endian), so its bytes may hold ";" anywhere.
// Sequence numbers run 1..1001 and then start at 1 again; the first number on a connection is
// taken as it comes (the station counted on while no host was there).
//
// The result never depends on how the bytes were cut into reads: the same stream delivered
// at once or byte by byte gives the same items. After a fault that loses the framing (no
// sequence number that could still end, a BMP that is not one, a text without ";" longer than
// MaxTextMessage) the parser is broken and ignores the rest until reset().
//
// Not thread-safe: one owner thread.

#include <QByteArray>
#include <QString>

#include <deque>

class StationDataParser
{
public:
    static constexpr int MaxSequenceDigits = 10;
    static constexpr int LastSequence = 1001;
    // Station texts are short; only image messages are long and they are sized by their BMP.
    static constexpr int MaxTextMessage = 1024 * 1024;
    static constexpr quint32 MaxBmpSize = 256u * 1024u * 1024u;

    enum class Kind { Text, Image, Violation };
    enum class Fault {
        None,
        NoSequenceNumber,      // skipped to the next ";"
        SequenceTooLong,       // broken
        SequenceOutOfRange,    // message still delivered
        SequenceOutOfOrder,    // message still delivered
        NotBmp,                // broken
        ImpossibleBmpSize,     // broken
        BmpNotTerminated,      // broken
        TextTooLong            // broken
    };

    struct Item
    {
        Kind kind = Kind::Text;
        Fault fault = Fault::None;
        int sequence = 0;
        QString text;          // message text (before "->" for an image), or what went wrong
        QByteArray bmp;        // image messages only
    };

    void append(const QByteArray& bytes);
    // Takes the next complete item; false when more bytes are needed (or the stream is broken).
    bool next(Item* item);
    // Forgets everything: a new connection.
    void reset();

    bool isBroken() const { return broken; }
    // Bytes received and not yet consumed.
    int pendingBytes() const { return buffer.size() - pos; }

private:
    bool parseOne();
    void violation(Fault fault, const QString& text);
    void checkSequence(int sequence);

    QByteArray buffer;
    int pos = 0;               // consumed bytes at the front of buffer
    bool broken = false;
    bool skipping = false;     // dropping a malformed message up to its ";"
    int lastSequence = 0;      // 0: no number seen since the start or a resynchronisation
    std::deque<Item> pending;  // items parsed and not yet taken, in wire order
};
