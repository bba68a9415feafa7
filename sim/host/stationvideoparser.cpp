#include "sim/host/stationvideoparser.h"

#include <cstring>

const QByteArray& StationVideoParser::sizeMarker()
{
    static const QByteArray marker("-\0S\0I\0Z\0E\0-\0", 12);
    return marker;
}

void StationVideoParser::append(const QByteArray& bytes)
{
    if (broken)
        return;
    if (pos > 0) {
        buffer.remove(0, pos);
        pos = 0;
    }
    buffer += bytes;
}

void StationVideoParser::reset()
{
    buffer.clear();
    pos = 0;
    broken = false;
}

bool StationVideoParser::next(Item* item)
{
    if (broken || buffer.size() - pos < HeaderSize)
        return false;
    const char* header = buffer.constData() + pos;
    if (std::memcmp(header, sizeMarker().constData(), 12) != 0) {
        broken = true;
        *item = Item();
        item->kind = Kind::Violation;
        item->index = frames + 1;
        item->text = QStringLiteral("video frame %1 does not start with the \"-SIZE-\" header").arg(frames + 1);
        return true;
    }
    const auto* b = reinterpret_cast<const unsigned char*>(header + 12);
    const qint32 size = qint32(quint32(b[0]) | (quint32(b[1]) << 8) | (quint32(b[2]) << 16) | (quint32(b[3]) << 24));
    if (size < 0 || size > MaxFrameSize) {
        broken = true;
        *item = Item();
        item->kind = Kind::Violation;
        item->index = frames + 1;
        item->text = QStringLiteral("video frame %1 announces %2 bytes").arg(frames + 1).arg(size);
        return true;
    }
    if (buffer.size() - pos - HeaderSize < size)
        return false;
    *item = Item();
    item->kind = Kind::Frame;
    item->index = ++frames;
    item->payload = buffer.mid(pos + HeaderSize, size);
    pos += HeaderSize + size;
    const QByteArray& p = item->payload;
    item->completeJpeg = size >= 4 && uchar(p.at(0)) == 0xFF && uchar(p.at(1)) == 0xD8 && uchar(p.at(size - 2)) == 0xFF
        && uchar(p.at(size - 1)) == 0xD9;
    return true;
}
