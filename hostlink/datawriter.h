#pragma once

#include "hostlink/hostlinklog.h"

#include <QImage>
#include <QObject>
#include <QPointer>
#include <QString>

class QTcpSocket;

// The writing side of the data connection: numbers every message (also those dropped, so the
// host can see a gap), frames it (text, or text with a BMP image) and writes it, waiting up
// to the write time-out until it has left. A host that stops reading does not keep the main
// thread blocked message after message: after one write ran into the time-out, later writes
// are queued without waiting until the backlog has drained, and a backlog past BacklogLimit
// ends the connection.
//
// Main thread only: the socket and every member belong to it. The time-out is a process-wide
// setting (atomic), read at each write.
class DataWriter : public QObject
{
    Q_OBJECT

public:
    using LogFunction = HostLinkLog;

    static constexpr int DefaultTimeoutMs = 30000;
    // A host that has not read this much of what the data connection queued for it is gone.
    static constexpr qint64 BacklogLimit = 64LL * 1024 * 1024;

    // Upper bound of one blocking write (DefaultTimeoutMs unless a test shortens it).
    static void setTimeout(int milliseconds);

    explicit DataWriter(LogFunction log, QObject* parent = nullptr);

    // The data connection messages go to from now on. Reports the messages dropped while no
    // host was connected.
    void attach(QTcpSocket* socket);
    // The data connection has ended: messages are dropped (and counted) until the next one.
    void detach();

    // Numbers, frames and writes one message; with a non-null image the image message (text,
    // "->", BMP file, ";") instead.
    void send(const QString& text, const QImage& image = QImage());
    // A message for a host that has left: logged (counted) and not written, but numbered like
    // any message dropped for want of a host.
    void dropForLeftHost(const QString& text);

private:
    // Writes bytes on the socket and waits, up to the time-out, until they have left. False on
    // failure.
    bool writeAndWait(QTcpSocket* socket, const QByteArray& bytes, const char* what);
    // The wait of writeAndWait once the bytes are queued.
    bool waitWritten(QTcpSocket* socket, const char* what);

    LogFunction logRecord;
    QPointer<QTcpSocket> connection;
    int sequence = 0;
    // The last write ran into the time-out: later writes do not wait again until the backlog
    // has drained. (Video frames never wait: see VideoLink.)
    bool stalled = false;
    // Messages dropped since the data connection ended (reported once a host is back).
    int droppedWithoutHost = 0;
};
