#pragma once

// A stand-in for the host software on the other end of the station's TCP link. It is written
// from the wire description alone and shares no code with the station's server, so a framing
// fault on either side shows up as a protocol violation on the other.
//
// What it does:
//  - opens the data connection, waits for "NCQ", then opens the video connection;
//  - owns five axes X, Y, Z, A and F (the front camera's focus axis, ZII on the station) that
//    move at a configurable speed in units per second (0 = instantly);
//  - executes INC<axis><d> and MOVE<axis><v>:[<axis><v>:...] commands, reports
//    COORDS<x>:<y>:<z>:<a>:<f> once after connecting and whenever a motion starts and ends,
//    and answers "GMS" with MOVESTAT<master>:<a>:<f> (1 = moving; master covers X, Y and Z);
//  - sends its own messages as <tag>:<command>; with tags 1, 2, 3, ...;
//  - checks every station message (sequence number, ":", text, ";"; numbers consecutive,
//    1..1001 then 1 again), every image message (text "->" BMP file ";", the BMP sized by its
//    own header) and every video frame (16-byte "-SIZE-" header, JPEG payload);
//  - records each message both ways in a transcript with a millisecond time stamp.
//
// Its parts: SimulatedAxes (the axes and their commands' text), HostTranscript (the record), and
// the parsers of what the station sends (StationDataParser, StationVideoParser).
//
// The object is used from one thread with a running event loop (a test's main thread or a
// worker thread). Counters marked "any thread" may be read from elsewhere.

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include "sim/host/simulatedaxes.h"
#include "sim/host/hosttranscript.h"
#include "sim/host/stationdataparser.h"
#include "sim/host/stationvideoparser.h"

#include <atomic>
#include <functional>

class QTcpSocket;

class HostSimulator : public QObject
{
    Q_OBJECT

public:
    enum Axis { X = 0, Y, Z, A, F, AxisCount };

    struct Message
    {
        int sequence = 0;
        QString text;       // for an image message: the text before "->"
        QByteArray bmp;     // the image of an image message, empty otherwise
        qint64 atMs = 0;    // time stamp, ms since the simulator was created
    };

    explicit HostSimulator(QObject* parent = nullptr);
    ~HostSimulator() override;

    // Configuration
    void setSpeed(double unitsPerSecond);
    double speed() const { return axes.speed(); }
    void setPosition(Axis axis, double value);
    bool setTranscriptFile(const QString& path);
    void setFramesDir(const QString& path);
    void setKeepFrames(bool keep) { keepFrames = keep; }
    // Whether messages and transcript lines are also kept in memory (off for long runs).
    void setKeepHistory(bool keep)
    {
        keepHistory = keep;
        log.setKeepHistory(keep);
    }
    // Unknown station texts are only noted unless strict, where they count as violations.
    void setStrict(bool strict) { strictMode = strict; }
    // A host that only ever expects motion it asked for: every move, GMS, end or failure
    // message and scan report that belongs to no request this connection has open (BGALIGN,
    // BGRALIGN, ENAAX, BGSCAN), and a second outcome for one request, count as violations.
    // (Off where the station's operator moves the axes too.)
    void setOwnRequestsOnly(bool only) { ownRequestsOnly = only; }
    // Whether "GMS" is answered (a test can model a silent host).
    void setAnswerStatusQueries(bool answer) { answerStatus = answer; }
    // How long after its axes stop the end of a motion is reported unasked (a busy host's
    // timer fires late); a "GMS" after the stop is still answered after the final COORDS.
    void setEndReportLag(int ms) { endReportLagMs = qMax(0, ms); }
    // A host whose controller reports status and positions separately: "GMS" is answered
    // "still" as soon as the axes stop, and the final COORDS follow only this much later.
    void setStillBeforeCoords(int ms) { stillBeforeCoordsMs = qMax(0, ms); }
    // A slow host: each "GMS" is answered this much later, with the status at the question.
    void setStatusAnswerDelay(int ms) { statusAnswerDelayMs = qMax(0, ms); }
    // A host that asks again at once: each outcome (an end or failure message) makes it send the
    // next of these commands straight away, while handling the read that brought the outcome.
    void setFollowUps(const QStringList& commands) { followUps = commands; }
    // Whether the video connection is opened after "NCQ".
    void setOpenVideo(bool open) { openVideo = open; }
    // Reads the video connection in pieces of at most this many bytes (0 = unlimited), so
    // that a frame in transit can be seen half-received (to cut the connection there).
    void setVideoReadLimit(qint64 bytes) { videoReadLimit = bytes; }

    // Connection
    void connectToStation(const QString& host, quint16 port);
    // True once "NCQ" has arrived and, if wanted, the video connection is up.
    bool isReady() const { return linkReady; }
    bool waitForReady(int timeoutMs);
    void disconnectFromStation();
    bool isDataConnected() const;
    bool isVideoConnected() const;
    QString lastSocketError() const { return socketError; }

    // Sending: frames a command with the next tag and writes it. Returns the tag.
    int send(const QString& command);
    // Writes bytes as they are (malformed input for the station).
    void sendRaw(const QByteArray& bytes);
    void reportCoords();

    // Waiting: runs the event loop until the condition holds or the time-out passes.
    bool waitUntil(const std::function<bool()>& condition, int timeoutMs);
    // Index of the first message at or after fromIndex whose text equals text, -1 on time-out.
    int waitForText(const QString& text, int fromIndex, int timeoutMs);
    bool waitForFrames(int count, int timeoutMs);

    // Observations (simulator thread unless noted)
    const QList<Message>& messages() const { return received; }
    int messageCount() const { return messagesReceived.load(); }            // any thread
    QStringList texts() const;
    int countOf(const QString& text, int fromIndex = 0) const;
    QList<QByteArray> frames() const { return keptFrames; }
    int frameCount() const { return framesReceived.load(); }               // any thread
    qint64 frameBytes() const { return frameBytesReceived.load(); }        // any thread
    int imageCount() const { return imagesReceived.load(); }               // any thread
    int statusQueries() const { return statusQueriesReceived.load(); }     // any thread
    int moveCommands() const { return moveCommandsReceived.load(); }       // any thread
    int violationCount() const { return log.violationCount(); }            // any thread
    // Failure messages received ("ALIGNFAIL:NOSTONE", "ENAAXFAIL:RANGE", "SCANFAIL:BUSY", ...).
    QStringList failures() const { return failureTexts; }
    // Requests of this connection still waiting for their outcome.
    int openRequests() const { return openAlign + openXAlign + openScan; }
    // Bytes of a video frame received and not yet complete (0 between frames).
    int videoBytesPending() const { return videoParser.pendingBytes(); }
    QStringList violations() const { return log.violations(); }
    QStringList notes() const { return log.notes(); }
    double position(Axis axis) const { return axes.position(axis); }
    double target(Axis axis) const { return axes.target(axis); }
    bool isMoving(Axis axis) const { return axes.isMoving(axis); }
    bool anyMoving() const { return axes.anyMoving(); }
    qint64 elapsedMs() const { return clock.elapsed(); }
    QStringList transcriptLines() const { return log.lines(); }

    static QString axisName(Axis axis);

signals:
    void ready();
    void messageReceived(int sequence, const QString& text);
    void imageReceived(int sequence, const QString& text, const QByteArray& bmp);
    void frameReceived(int index, const QByteArray& payload);
    void motionStarted();
    void motionFinished();
    void violation(const QString& text);
    // Part of a video frame has arrived and the rest has not (see setVideoReadLimit).
    void videoFramePartial(int bytesPending);
    void disconnected();

private slots:
    void onDataConnected();
    void onDataReadyRead();
    void onDataDisconnected();
    void onVideoReadyRead();
    void onVideoDisconnected();
    void onMotionTimer();

private:
    void parseData();
    void handleText(int sequence, const QString& text);
    // The first message of a connection must be "NCQ"; the video connection follows it.
    void handleFirstText(int sequence, const QString& text);
    // A station message past the first: checked against what this host asked for.
    void checkText(const QString& text);
    void handleImage(int sequence, const QString& text, const QByteArray& bmp);
    // Strict accounting: the text needs an open request of this connection.
    void expectRequest(bool open, const QString& text);
    void noteRequestSent(const QString& command);
    void parseVideo();
    // INC... or MOVE...: starts the motion, or flags a malformed command.
    void executeAxisCommand(const QString& text);
    void startMotion(const SimulatedAxes::Move& move);
    int movingFlag(bool moving) const { return moving ? 1 : 0; }
    void answerStatusQuery();
    // Lag between the axes stopping and the unasked report of their final COORDS.
    int endReportDelayMs() const { return endReportLagMs + stillBeforeCoordsMs; }
    void sendFollowUp();
    void record(const QString& direction, const QString& text);
    void flagViolation(const QString& text);
    void note(const QString& text);

    QElapsedTimer clock; // first: the axes and the transcript read it
    SimulatedAxes axes{clock};
    HostTranscript log{clock};
    QTcpSocket* data = nullptr;
    QTcpSocket* video = nullptr;
    QString stationHost;
    quint16 stationPort = 0;
    bool openVideo = true;
    qint64 videoReadLimit = 0;
    bool linkReady = false;
    bool ncqSeen = false;
    QString socketError;

    StationDataParser dataParser;   // stops parsing once the framing is lost
    StationVideoParser videoParser;
    int nextTag = 1;

    QTimer motionTimer;
    bool motionReported = true; // the end of the last motion has been reported
    int endReportLagMs = 0;
    int stillBeforeCoordsMs = 0;
    int statusAnswerDelayMs = 0;
    int connectionEpoch = 0;   // counts data connections: a late answer is for its own
    QStringList followUps;

    bool strictMode = false;
    bool ownRequestsOnly = false;
    // Requests of the current data connection waiting for their outcome.
    int openAlign = 0;
    int openXAlign = 0;
    int openScan = 0;
    QStringList failureTexts;
    bool answerStatus = true;
    bool keepFrames = true;
    bool keepHistory = true;
    QString framesDir;

    QList<Message> received;
    QList<QByteArray> keptFrames;

    std::atomic<int> messagesReceived{0};
    std::atomic<int> framesReceived{0};
    std::atomic<qint64> frameBytesReceived{0};
    std::atomic<int> imagesReceived{0};
    std::atomic<int> statusQueriesReceived{0};
    std::atomic<int> moveCommandsReceived{0};
};
