#pragma once

// Cuts the station's video connection into frames, without a socket. Each frame is a 16-byte
// header, "-SIZE-" in UTF-16 little-endian (12 bytes) and the payload size as a signed 32-bit
// little-endian integer, followed by that many bytes of JPEG. A header that is not one, or a
// size below zero or above MaxFrameSize, loses the framing: the parser is broken until reset().
// Frame numbers count on across resets (1, 2, ... since construction), like the simulator's
// frame files.
//
// Not thread-safe: one owner thread.

#include <QByteArray>
#include <QString>

class StationVideoParser
{
public:
    static constexpr int HeaderSize = 16;
    static constexpr qint32 MaxFrameSize = 256 * 1024 * 1024;

    enum class Kind { Frame, Violation };

    struct Item
    {
        Kind kind = Kind::Frame;
        int index = 0;             // frame number (the one that failed, for a violation)
        QByteArray payload;
        bool completeJpeg = false; // starts with FF D8 and ends with FF D9
        QString text;              // what went wrong, for a violation
    };

    static const QByteArray& sizeMarker();

    void append(const QByteArray& bytes);
    bool next(Item* item);
    void reset();

    bool isBroken() const { return broken; }
    int pendingBytes() const { return buffer.size() - pos; }
    int framesDelivered() const { return frames; }

private:
    QByteArray buffer;
    int pos = 0;
    bool broken = false;
    int frames = 0;
};
