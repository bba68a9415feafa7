#include "imageprobe.h"

#include <opencv2/imgcodecs.hpp>

#include <QFile>

#include <cstdlib>
#include <exception>

namespace imageprobe {

namespace {

quint32 bigEndian(const QByteArray& bytes, int at, int size)
{
    quint32 value = 0;
    for (int i = 0; i < size; ++i)
        value = (value << 8) | static_cast<quint8>(bytes.at(at + i));
    return value;
}

qint32 littleEndian32(const QByteArray& bytes, int at)
{
    quint32 value = 0;
    for (int i = 3; i >= 0; --i)
        value = (value << 8) | static_cast<quint8>(bytes.at(at + i));
    return static_cast<qint32>(value);
}

bool isStartOfFrame(quint8 marker)
{
    // SOF0..SOF15 without DHT (C4), JPG (C8) and DAC (CC).
    return marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
}

// Walks the JPEG's segments up to its frame header, which holds the size. Every step reads or
// skips at least one byte, so the walk ends at the end of the file at the latest.
bool jpegSize(QFile& file, Header* header)
{
    if (!file.seek(2))
        return false;
    char c = 0;
    for (;;) {
        if (!file.getChar(&c) || static_cast<quint8>(c) != 0xFF)
            return false;
        do {
            if (!file.getChar(&c))
                return false;
        } while (static_cast<quint8>(c) == 0xFF);   // fill bytes
        const quint8 marker = static_cast<quint8>(c);
        if (marker == 0xD9 || marker == 0xDA)
            return false;                            // end of image, or pixel data before any frame header
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD8))
            continue;                                // markers without a length
        const QByteArray length = file.read(2);
        if (length.size() < 2 || bigEndian(length, 0, 2) < 2)
            return false;
        if (isStartOfFrame(marker)) {
            const QByteArray frame = file.read(5);   // precision, height, width
            if (frame.size() < 5)
                return false;
            header->height = bigEndian(frame, 1, 2);
            header->width = bigEndian(frame, 3, 2);
            return true;
        }
        if (!file.seek(file.pos() + bigEndian(length, 0, 2) - 2))
            return false;
    }
}

} // namespace

bool ReadHeader(const QString& path, Header* header, QString* why)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *why = QStringLiteral("cannot open: ") + file.errorString();
        return false;
    }
    const QByteArray start = file.read(26);
    static const QByteArray pngSignature("\x89PNG\r\n\x1a\n", 8);
    *header = Header();
    if (start.startsWith(pngSignature)) {
        header->format = QStringLiteral("PNG");
        if (start.size() < 24 || start.mid(12, 4) != "IHDR") {
            *why = QStringLiteral("PNG header cut short or without IHDR");
            return false;
        }
        header->width = bigEndian(start, 16, 4);
        header->height = bigEndian(start, 20, 4);
        return true;
    }
    if (start.startsWith("BM")) {
        header->format = QStringLiteral("BMP");
        if (start.size() < 26) {
            *why = QStringLiteral("BMP header cut short");
            return false;
        }
        if (littleEndian32(start, 14) == 12) {   // the old OS/2 header: 16-bit sizes
            header->width = static_cast<quint8>(start.at(18)) | static_cast<quint8>(start.at(19)) << 8;
            header->height = static_cast<quint8>(start.at(20)) | static_cast<quint8>(start.at(21)) << 8;
        } else {
            header->width = littleEndian32(start, 18);
            header->height = std::abs(static_cast<long long>(littleEndian32(start, 22)));   // negative: top-down rows
        }
        return true;
    }
    if (start.size() >= 3 && static_cast<quint8>(start.at(0)) == 0xFF && static_cast<quint8>(start.at(1)) == 0xD8) {
        header->format = QStringLiteral("JPEG");
        if (!jpegSize(file, header)) {
            *why = QStringLiteral("JPEG without a readable frame header");
            return false;
        }
        return true;
    }
    *why = QStringLiteral("not a PNG, BMP or JPEG file");
    return false;
}

cv::Mat Load(const QString& path, int flags, QString* why)
{
    Header header;
    if (!ReadHeader(path, &header, why))
        return cv::Mat();
    if (header.width <= 0 || header.height <= 0) {
        *why = header.format + QStringLiteral(" header gives no size (") + QString::number(header.width)
               + QLatin1Char('x') + QString::number(header.height) + QLatin1Char(')');
        return cv::Mat();
    }
    if (header.width * header.height > MaxPixels) {
        *why = header.format + QStringLiteral(" of ") + QString::number(header.width) + QLatin1Char('x')
               + QString::number(header.height) + QStringLiteral(" px is above the limit of ")
               + QString::number(MaxPixels) + QStringLiteral(" pixels, not decoded");
        return cv::Mat();
    }
    try {
        cv::Mat image = cv::imread(QFile::encodeName(path).toStdString(), flags);
        if (image.empty())
            *why = QStringLiteral("cannot decode the ") + header.format + QStringLiteral(" data");
        return image;
    } catch (const std::exception& e) {
        *why = QStringLiteral("cannot decode: ") + QString::fromLocal8Bit(e.what()).trimmed();
        return cv::Mat();
    }
}

} // namespace imageprobe
