#include "hostlink/datawriter.h"

#include "core/logs.h"
#include "core/stoprequest.h"
#include "hostlink/hostprotocol.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QTcpSocket>

#include <algorithm>
#include <atomic>

namespace {

std::atomic<int>& timeoutMs()
{
    static std::atomic<int> timeout{DataWriter::DefaultTimeoutMs};
    return timeout;
}

// A message as log records quote it: escaped and cut (see logtext::Safe).
QString quoted(const QString& text)
{
    return logtext::Safe(text, logtext::QuoteBytes);
}

} // namespace

void DataWriter::setTimeout(int milliseconds)
{
    timeoutMs() = milliseconds > 0 ? milliseconds : DefaultTimeoutMs;
}

DataWriter::DataWriter(LogFunction log, QObject* parent)
    : QObject(parent)
    , logRecord(std::move(log))
{
}

void DataWriter::attach(QTcpSocket* socket)
{
    detach();
    connection = socket;
    connect(socket, &QTcpSocket::bytesWritten, this, [this, socket]() {
        if (socket == connection && socket->bytesToWrite() == 0)
            stalled = false;
    });
    if (droppedWithoutHost > 0) {
        logRecord(QStringLiteral("%1 messages were dropped while no host was connected").arg(droppedWithoutHost), QString());
        droppedWithoutHost = 0;
    }
}

void DataWriter::detach()
{
    if (connection)
        connection->disconnect(this);
    connection = nullptr;
    stalled = false;
}

void DataWriter::send(const QString& text, const QImage& image)
{
    sequence = hostprotocol::nextSequence(sequence);
    QTcpSocket* socket = connection;
    if (!socket || socket->state() != QAbstractSocket::ConnectedState) {
        if (droppedWithoutHost == 0)
            logRecord(QStringLiteral("No host connected: \"%1\" and later messages are dropped").arg(quoted(text)), QString());
        ++droppedWithoutHost;
        return;
    }

    if (image.isNull()) {
        writeAndWait(socket, hostprotocol::textFrame(sequence, text), "Message");
        return;
    }

    const QByteArray bmp = hostprotocol::encodeBmp(image);
    if (bmp.isEmpty()) {
        // Without a BMP header the host could not find the end of the message.
        logRecord(QStringLiteral("Image message \"%1\" not sent: the %2x%3 image could not be encoded as BMP")
                      .arg(quoted(text))
                      .arg(image.width())
                      .arg(image.height()),
                  QString());
        return;
    }
    QFile copy(QStringLiteral("test.bmp"));
    if (!copy.open(QIODevice::WriteOnly | QIODevice::Truncate) || copy.write(bmp) != bmp.size())
        logRecord(QStringLiteral("Could not write test.bmp: ") + copy.errorString(), QString());
    copy.close();
    writeAndWait(socket, hostprotocol::imageMessage(sequence, text, bmp), "Image message");
}

void DataWriter::dropForLeftHost(const QString& text)
{
    // A burst of them is counted by the log, not written line by line.
    logRecord(QStringLiteral("\"%1\" not sent: it belongs to a host that has left").arg(quoted(text)),
              QStringLiteral("text for a host that has left"));
    sequence = hostprotocol::nextSequence(sequence);
}

bool DataWriter::writeAndWait(QTcpSocket* socket, const QByteArray& bytes, const char* what)
{
    const qint64 written = socket->write(bytes);
    if (written != bytes.size()) {
        logRecord(QStringLiteral("%1 of %2 bytes could not be written: %3")
                      .arg(QLatin1String(what))
                      .arg(bytes.size())
                      .arg(socket->errorString()),
                  QString());
        return false;
    }
    if (stalled) {
        // The host stopped reading earlier: queue without waiting again, within a bound.
        if (socket->bytesToWrite() > BacklogLimit) {
            logRecord(QStringLiteral("Data connection aborted: the host has not read %1 bytes").arg(socket->bytesToWrite()), QString());
            socket->abort();
        }
        return false;
    }
    return waitWritten(socket, what);
}

bool DataWriter::waitWritten(QTcpSocket* socket, const char* what)
{
    const int timeout = timeoutMs();
    QDeadlineTimer deadline(timeout);
    while (socket->bytesToWrite() > 0) {
        if (socket->state() != QAbstractSocket::ConnectedState) {
            logRecord(QStringLiteral("%1 not completely written: the connection ended").arg(QLatin1String(what)), QString());
            return false;
        }
        if (veltrax::StopRequested.load()) {
            stalled = true;
            logRecord(QStringLiteral("%1 abandoned (%2 bytes still queued): the station is stopping")
                          .arg(QLatin1String(what))
                          .arg(socket->bytesToWrite()),
                      QString());
            return false;
        }
        const qint64 remaining = deadline.remainingTime();
        if (remaining <= 0) {
            stalled = true;
            logRecord(QStringLiteral("%1 not written within %2 ms (%3 bytes still queued); the host is not reading")
                          .arg(QLatin1String(what))
                          .arg(timeout)
                          .arg(socket->bytesToWrite()),
                      QString());
            return false;
        }
        // Wait in short slices so that a stop request is seen while the host is not reading.
        if (!socket->waitForBytesWritten(static_cast<int>(std::min<qint64>(remaining, 50)))) {
            if (socket->bytesToWrite() == 0)
                break;
            if (socket->state() != QAbstractSocket::ConnectedState)
                continue;
            if (socket->error() != QAbstractSocket::SocketTimeoutError) {
                logRecord(QStringLiteral("%1 not written: %2").arg(QLatin1String(what), socket->errorString()), QString());
                return false;
            }
        }
    }
    return true;
}
