#include "sim/host/stationdataparser.h"

namespace {

quint32 readLE32(const char* p)
{
    const auto* b = reinterpret_cast<const unsigned char*>(p);
    return quint32(b[0]) | (quint32(b[1]) << 8) | (quint32(b[2]) << 16) | (quint32(b[3]) << 24);
}

QString shorten(const QString& text)
{
    return text.size() <= 120 ? text : text.left(120) + QStringLiteral("...");
}

} // namespace

void StationDataParser::append(const QByteArray& bytes)
{
    if (broken)
        return;
    if (pos > 0) {
        buffer.remove(0, pos);
        pos = 0;
    }
    buffer += bytes;
}

void StationDataParser::reset()
{
    buffer.clear();
    pos = 0;
    broken = false;
    skipping = false;
    lastSequence = 0;
    pending.clear();
}

bool StationDataParser::next(Item* item)
{
    while (pending.empty()) {
        if (!parseOne())
            return false;
    }
    *item = std::move(pending.front());
    pending.pop_front();
    return true;
}

void StationDataParser::violation(Fault fault, const QString& text)
{
    Item item;
    item.kind = Kind::Violation;
    item.fault = fault;
    item.text = text;
    pending.push_back(std::move(item));
}

void StationDataParser::checkSequence(int sequence)
{
    if (sequence < 1 || sequence > LastSequence) {
        violation(Fault::SequenceOutOfRange, QStringLiteral("sequence number %1 outside 1..%2").arg(sequence).arg(LastSequence));
    } else if (lastSequence != 0) {
        const int expected = lastSequence >= LastSequence ? 1 : lastSequence + 1;
        if (sequence != expected)
            violation(Fault::SequenceOutOfOrder, QStringLiteral("sequence number %1 where %2 was due").arg(sequence).arg(expected));
    }
    lastSequence = sequence;
}

// Parses one message (or one fault) from the unconsumed bytes into pending. False when the
// bytes end before the message does, or when the stream is broken.
bool StationDataParser::parseOne()
{
    if (broken)
        return false;
    const int size = buffer.size();
    if (skipping) {
        const int end = buffer.indexOf(';', pos);
        if (end < 0) {
            pos = size;
            return false;
        }
        pos = end + 1;
        skipping = false;
    }
    if (pos >= size)
        return false;

    // The sequence number: digits up to ":". Only the first MaxSequenceDigits + 1 bytes are
    // looked at, so a long run of garbage costs nothing and a cut number waits for its rest.
    int colon = -1;
    int nonDigit = -1;
    for (int i = pos; i < size && i <= pos + MaxSequenceDigits; ++i) {
        const char c = buffer.at(i);
        if (c == ':') {
            colon = i;
            break;
        }
        if (c < '0' || c > '9') {
            nonDigit = i;
            break;
        }
    }
    if (nonDigit >= 0 || colon == pos) {
        violation(Fault::NoSequenceNumber, QStringLiteral("message does not start with a sequence number: \"%1\"")
                                               .arg(shorten(QString::fromUtf8(buffer.mid(pos, 60)))));
        lastSequence = 0;
        // Resynchronise after the next ";", which may still be on its way.
        const int end = buffer.indexOf(';', nonDigit >= 0 ? nonDigit : pos);
        if (end < 0) {
            pos = size;
            skipping = true;
        } else {
            pos = end + 1;
        }
        return true;
    }
    if (colon < 0) {
        if (size - pos > MaxSequenceDigits) {
            violation(Fault::SequenceTooLong, QStringLiteral("sequence number longer than ten digits"));
            broken = true;
            return true;
        }
        return false; // the rest of the number is still on its way
    }

    const int sequence = buffer.mid(pos, colon - pos).toInt(); // 0 when out of int range
    const int semicolon = buffer.indexOf(';', colon + 1);
    // "->" counts only before the text's ";": a text message never holds the arrow.
    const int searchEnd = semicolon < 0 ? size : semicolon;
    int arrow = -1;
    for (int i = colon + 1; i + 1 < searchEnd; ++i) {
        if (buffer.at(i) == '-' && buffer.at(i + 1) == '>') {
            arrow = i;
            break;
        }
    }
    if (arrow >= 0) {
        const int bmpStart = arrow + 2;
        if (size < bmpStart + 6)
            return false;
        if (buffer.at(bmpStart) != 'B' || buffer.at(bmpStart + 1) != 'M') {
            violation(Fault::NotBmp, QStringLiteral("image message %1 does not carry a BMP file").arg(sequence));
            broken = true;
            return true;
        }
        const quint32 bmpSize = readLE32(buffer.constData() + bmpStart + 2);
        // 26 bytes: the file header and the smallest (core) bitmap header.
        if (bmpSize < 26 || bmpSize > MaxBmpSize) {
            violation(Fault::ImpossibleBmpSize,
                      QStringLiteral("image message %1 states an impossible BMP size %2").arg(sequence).arg(bmpSize));
            broken = true;
            return true;
        }
        const qint64 end = qint64(bmpStart) + bmpSize;
        if (qint64(size) < end + 1)
            return false;
        if (buffer.at(int(end)) != ';') {
            violation(Fault::BmpNotTerminated, QStringLiteral("image message %1 is not followed by \";\" after its %2 BMP bytes")
                                                   .arg(sequence)
                                                   .arg(bmpSize));
            broken = true;
            return true;
        }
        Item item;
        item.kind = Kind::Image;
        item.sequence = sequence;
        item.text = QString::fromUtf8(buffer.constData() + colon + 1, arrow - colon - 1);
        item.bmp = buffer.mid(bmpStart, int(bmpSize));
        pos = int(end) + 1;
        checkSequence(sequence);
        pending.push_back(std::move(item));
        return true;
    }
    if (semicolon < 0) {
        if (size - pos > MaxTextMessage) {
            violation(Fault::TextTooLong, QStringLiteral("more than %1 bytes without \";\"").arg(MaxTextMessage));
            broken = true;
            return true;
        }
        return false;
    }
    Item item;
    item.kind = Kind::Text;
    item.sequence = sequence;
    item.text = QString::fromUtf8(buffer.constData() + colon + 1, semicolon - colon - 1);
    pos = semicolon + 1;
    checkSequence(sequence);
    pending.push_back(std::move(item));
    return true;
}
