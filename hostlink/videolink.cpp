#include "hostlink/videolink.h"

#include "hostlink/hostprotocol.h"

#include <QTcpSocket>

const char* const VideoLink::DroppedKind = "Video frame dropped: the host has not taken the previous one";

VideoLink::VideoLink(LogFunction log, QObject* parent)
    : QObject(parent)
    , logRecord(std::move(log))
{
}

void VideoLink::attach(QTcpSocket* socket)
{
    if (connection)
        disconnect(progress);
    connection = socket;
    waiting.clear();
    hasWaiting = false;
    if (socket)
        progress = connect(socket, &QTcpSocket::bytesWritten, this, &VideoLink::sendWaiting);
}

void VideoLink::write(const QByteArray& payload)
{
    // Header and payload leave in one write: a reader sees the header followed by exactly the
    // number of bytes it announces.
    QByteArray frame = hostprotocol::videoHeader(payload.size()) + payload;
    QTcpSocket* socket = connection;
    if (!socket)
        return;
    if (socket->bytesToWrite() == 0 && !hasWaiting) {
        put(frame);
        return;
    }
    if (hasWaiting) {
        logRecord(QStringLiteral("Video frame of %1 bytes dropped: the host has not taken the previous frame yet "
                                 "(%2 bytes still queued); the newest frame waits instead")
                      .arg(waiting.size() - 16)
                      .arg(socket->bytesToWrite()),
                  QString::fromLatin1(DroppedKind));
    }
    waiting = std::move(frame);
    hasWaiting = true;
}

void VideoLink::sendWaiting()
{
    QTcpSocket* socket = connection;
    if (!hasWaiting || !socket || socket->bytesToWrite() > 0)
        return;
    hasWaiting = false;
    put(waiting);
    waiting.clear();
}

void VideoLink::put(const QByteArray& frame)
{
    // A buffered socket only copies here; the event loop hands the bytes to the kernel as it
    // takes them, so this never waits for the host.
    const qint64 written = connection->write(frame);
    if (written == frame.size())
        return;
    logRecord(QStringLiteral("Video frame of %1 bytes could not be written: %2").arg(frame.size() - 16).arg(connection->errorString()),
              QStringLiteral("Video frame could not be written"));
}
