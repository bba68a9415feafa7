#include "hostlink/hostprotocol.h"

#include "hostlink/hostmessages.h"

#include <QBuffer>
#include <QtEndian>

#include <cmath>

namespace hostprotocol {

int nextSequence(int current)
{
    if (current < 0 || current >= LastSequenceNumber)
        current = 0;
    return current + 1;
}

namespace {

// Length of the UTF-8 sequence a lead byte starts, 0 for a byte that cannot start one.
int sequenceLength(uchar lead)
{
    if (lead >= 0xC2 && lead <= 0xDF)
        return 2;
    if (lead >= 0xE0 && lead <= 0xEF)
        return 3;
    if (lead >= 0xF0 && lead <= 0xF4)
        return 4;
    return 0;
}

// Whether the byte can follow the lead byte at position index (1..3) of its sequence; the
// second byte's range excludes overlong forms, surrogates and code points past U+10FFFF.
bool continues(uchar lead, int index, uchar byte)
{
    if (index == 1) {
        if (lead == 0xE0)
            return byte >= 0xA0 && byte <= 0xBF;
        if (lead == 0xED)
            return byte >= 0x80 && byte <= 0x9F;
        if (lead == 0xF0)
            return byte >= 0x90 && byte <= 0xBF;
        if (lead == 0xF4)
            return byte >= 0x80 && byte <= 0x8F;
    }
    return byte >= 0x80 && byte <= 0xBF;
}

} // namespace

QString ByteDecoder::decode(const QByteArray& bytes)
{
    const QByteArray data = carry.isEmpty() ? bytes : carry + bytes;
    carry.clear();
    QString text;
    text.reserve(data.size());
    const int n = data.size();
    const uchar* p = reinterpret_cast<const uchar*>(data.constData());
    int i = 0;
    while (i < n) {
        const uchar lead = p[i];
        if (lead < 0x80) {
            int end = i + 1;
            while (end < n && p[end] < 0x80)
                ++end;
            text.append(QLatin1String(data.constData() + i, end - i));
            i = end;
            continue;
        }
        const int length = sequenceLength(lead);
        int valid = length > 0 ? 1 : 0;
        while (valid > 0 && valid < length && i + valid < n && continues(lead, valid, p[i + valid]))
            ++valid;
        if (length > 0 && valid == length) {
            uint ucs4 = lead & (0x7F >> length);
            for (int k = 1; k < length; ++k)
                ucs4 = (ucs4 << 6) | (p[i + k] & 0x3F);
            if (QChar::requiresSurrogates(ucs4)) {
                text.append(QChar(QChar::highSurrogate(ucs4)));
                text.append(QChar(QChar::lowSurrogate(ucs4)));
            } else {
                text.append(QChar(ushort(ucs4)));
            }
            i += length;
        } else if (length > 0 && i + valid == n) {
            carry = data.mid(i); // the rest of this character is still on its way
            break;
        } else {
            text.append(QChar(ushort(0xDC00 + lead)));
            ++i;
        }
    }
    return text;
}

int ByteDecoder::reset()
{
    const int dropped = carry.size();
    carry.clear();
    return dropped;
}

ReceiveFramer::ReceiveFramer(int cap)
    : limit(cap > 0 ? cap : DefaultReceiveCap)
{
}

void ReceiveFramer::append(const QString& text)
{
    if (text.isEmpty())
        return;
    if (skipToSeparator) {
        const int end = text.indexOf(QLatin1Char(';'));
        if (end < 0) {
            skippedChars += text.size();
            return;
        }
        skippedChars += end + 1;
        notes << QStringLiteral("Receive text overflow: %1 characters without ';' discarded")
                     .arg(skippedChars);
        skipToSeparator = false;
        skippedChars = 0;
        pending += text.midRef(end + 1);
    } else {
        pending += text;
    }
    enforceCap();
}

void ReceiveFramer::enforceCap()
{
    const int lastSeparator = pending.lastIndexOf(QLatin1Char(';'));
    const int tail = pending.size() - (lastSeparator + 1);
    if (tail <= limit)
        return;
    // The unfinished tail is already longer than any message could sensibly be.
    notes << QStringLiteral("Receive text overflow: more than %1 characters without ';', dropped up to the next ';'")
                 .arg(limit);
    skippedChars += tail;
    pending.truncate(lastSeparator + 1);
    skipToSeparator = true;
}

QStringList ReceiveFramer::takeCommands()
{
    QStringList commands;
    int from = 0;
    for (;;) {
        const int end = pending.indexOf(QLatin1Char(';'), from);
        if (end < 0)
            break;
        const QStringRef message = pending.midRef(from, end - from);
        const int colon = message.indexOf(QLatin1Char(':'));
        if (colon >= 1) {
            commands << message.mid(colon + 1).toString();
        } else {
            QString shown = message.left(80).toString();
            if (message.size() > 80)
                shown += QStringLiteral("...");
            notes << QStringLiteral("Message without tag discarded: \"%1\"").arg(shown);
        }
        from = end + 1;
    }
    if (from > 0)
        pending.remove(0, from);
    return commands;
}

int ReceiveFramer::clear()
{
    const int dropped = pending.size();
    pending.clear();
    skipToSeparator = false;
    skippedChars = 0;
    return dropped;
}

QStringList ReceiveFramer::takeNotes()
{
    QStringList taken;
    taken.swap(notes);
    return taken;
}

namespace {

// A field that is not a finite number reads as 0 and is counted.
double readDouble(const QString& field, int* unreadable)
{
    bool ok = false;
    const double value = field.toDouble(&ok);
    if (!ok || !std::isfinite(value)) {
        ++*unreadable;
        return 0.0;
    }
    return value;
}

int readInt(const QString& field, int* unreadable)
{
    bool ok = false;
    const int value = field.toInt(&ok);
    if (!ok) {
        ++*unreadable;
        return 0;
    }
    return value;
}

} // namespace

Action interpretCommand(const QString& raw)
{
    Action action;
    action.command = raw;
    action.command.remove(QLatin1Char(' '));
    const QString& text = action.command;

    if (text.startsWith(QLatin1String("COORDS"))) {
        QString rest = text;
        rest.remove(QStringLiteral("COORDS"));
        const QStringList parts = rest.split(QLatin1Char(':'), Qt::KeepEmptyParts);
        if (parts.size() < 5) {
            action.kind = Action::CoordsMalformed;
            return action;
        }
        action.kind = Action::Coords;
        for (int i = 0; i < 5; ++i)
            action.values[i] = readDouble(parts.at(i), &action.unreadableFields);
        return action;
    }
    if (text == QLatin1String("BGALIGN")) {
        action.kind = Action::AlignInscription;
        action.reply = QLatin1String(hostmessages::AlignBegin);
        return action;
    }
    if (text == QLatin1String("BGRALIGN")) {
        action.kind = Action::AlignFront;
        action.reply = QLatin1String(hostmessages::AlignBegin);
        return action;
    }
    if (text == QLatin1String("BGSCAN")) {
        action.kind = Action::Scan;
        action.reply = QLatin1String(hostmessages::ScanBegin);
        return action;
    }
    if (text.startsWith(QLatin1String("APPX"))) {
        action.kind = Action::Appx;
        return action;
    }
    if (text.startsWith(QLatin1String("MOVESTAT"))) {
        QString rest = text;
        rest.remove(QStringLiteral("MOVESTAT"));
        const QStringList parts = rest.split(QLatin1Char(':'), Qt::KeepEmptyParts);
        if (parts.size() != 3) {
            action.kind = Action::MotionStatusMalformed;
            return action;
        }
        action.kind = Action::MotionStatus;
        for (int i = 0; i < 3; ++i)
            action.status[i] = readInt(parts.at(i), &action.unreadableFields);
        return action;
    }
    if (text == QLatin1String("ENAAX")) {
        action.kind = Action::EngageXAlign;
        return action;
    }
    if (text == QLatin1String("QISI")) {
        action.kind = Action::SaveImage;
        return action;
    }
    if (text == QLatin1String("RQI")) {
        action.kind = Action::StreamFrame;
        return action;
    }
    action.kind = Action::Unknown;
    return action;
}

QByteArray textFrame(int sequence, const QString& text)
{
    return (QString::number(sequence) + QLatin1Char(':') + text + QLatin1Char(';')).toUtf8();
}

QByteArray videoHeader(qint32 payloadSize)
{
    QByteArray header(VideoHeaderSize, '\0');
    static const char16_t marker[6] = {u'-', u'S', u'I', u'Z', u'E', u'-'};
    for (int i = 0; i < 6; ++i)
        qToLittleEndian<quint16>(static_cast<quint16>(marker[i]), header.data() + 2 * i);
    qToLittleEndian<qint32>(payloadSize, header.data() + 12);
    return header;
}

QByteArray encodeBmp(const QImage& image)
{
    QByteArray bytes;
    if (image.isNull())
        return bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    if (!image.save(&buffer, "BMP"))
        return QByteArray();
    return bytes;
}

QByteArray imageMessage(int sequence, const QString& text, const QByteArray& bmp)
{
    QByteArray message = (QString::number(sequence) + QLatin1Char(':') + text + QStringLiteral("->")).toUtf8();
    message += bmp;
    message += ';';
    return message;
}

} // namespace hostprotocol
