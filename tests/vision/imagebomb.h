#pragma once

// Image files whose header claims far more pixels than they hold ("decompression bombs"): a
// valid PNG of any stated size with a tiny compressed body, and a BMP header with no pixels.
// A decoder that trusts the header allocates what it states before it reads a pixel.

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QtEndian>

namespace imagebomb {

inline quint32 crc32(const QByteArray& bytes)
{
    quint32 crc = 0xFFFFFFFFu;
    for (char c : bytes) {
        crc ^= static_cast<quint8>(c);
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

inline QByteArray be32(quint32 v)
{
    QByteArray out(4, '\0');
    qToBigEndian(v, out.data());
    return out;
}

inline QByteArray chunk(const QByteArray& type, const QByteArray& data)
{
    return be32(static_cast<quint32>(data.size())) + type + data + be32(crc32(type + data));
}

// An 8-bit RGB PNG stating width x height whose image data is one compressed row of zeros.
inline QByteArray png(quint32 width, quint32 height)
{
    const QByteArray header = be32(width) + be32(height) + QByteArray("\x08\x02\x00\x00\x00", 5);
    const QByteArray body = qCompress(QByteArray(64, '\0')).mid(4);   // a zlib stream
    return QByteArray("\x89PNG\r\n\x1a\n", 8) + chunk("IHDR", header) + chunk("IDAT", body) + chunk("IEND", {});
}

// A 24-bit BMP header (BITMAPINFOHEADER) stating width x height, without pixel data.
inline QByteArray bmp(qint32 width, qint32 height)
{
    QByteArray out(54, '\0');
    out[0] = 'B';
    out[1] = 'M';
    qToLittleEndian<quint32>(54, out.data() + 10);
    qToLittleEndian<quint32>(40, out.data() + 14);
    qToLittleEndian<qint32>(width, out.data() + 18);
    qToLittleEndian<qint32>(height, out.data() + 22);
    qToLittleEndian<quint16>(1, out.data() + 26);
    qToLittleEndian<quint16>(24, out.data() + 28);
    return out;
}

inline bool write(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

} // namespace imagebomb
