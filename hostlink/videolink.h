#pragma once

#include "hostlink/hostlinklog.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>

class QTcpSocket;

// The writing side of the video connection. A frame never waits for the host: it goes to the
// socket at once when the socket holds nothing unsent, and otherwise waits beside it; a newer
// frame replaces the waiting one (the host shows the newest picture, a backlog would only be
// late). So a host that stops reading costs at most the frame in the socket and the frame
// waiting, and the main thread, which also writes the data connection, never waits for it.
// Replaced frames are logged once when dropping starts and then counted by the log like other
// repeats (a summary when they stop, and every minute while they go on).
//
// Main thread only: the socket and every member belong to it.
class VideoLink : public QObject
{
    Q_OBJECT

public:
    using LogFunction = HostLinkLog;

    explicit VideoLink(LogFunction log, QObject* parent = nullptr);

    // The video connection frames go to from now on (none: nullptr). A frame still waiting for
    // the previous connection is dropped with it.
    void attach(QTcpSocket* socket);

    // One frame: the 16-byte "-SIZE-" header, then the payload, in one piece on the wire.
    void write(const QByteArray& payload);

    static const char* const DroppedKind; // the log's kind of the replaced-frame records

private:
    // The socket has handed a write to the kernel: the waiting frame follows once it is empty.
    void sendWaiting();
    void put(const QByteArray& frame);

    LogFunction logRecord;
    QPointer<QTcpSocket> connection;
    QMetaObject::Connection progress; // connection's bytesWritten to sendWaiting
    QByteArray waiting;               // header and payload of the frame waiting, if any
    bool hasWaiting = false;
};
