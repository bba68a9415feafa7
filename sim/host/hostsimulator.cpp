#include "sim/host/hostsimulator.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QRegularExpression>
#include <QTcpSocket>

#include <cmath>
#include <cstring>

namespace {

QString shorten(const QString& text)
{
    return text.size() <= 120 ? text : text.left(120) + QStringLiteral("...");
}

QString formatNumber(double value)
{
    return QString::number(value, 'g', 12);
}

} // namespace

HostSimulator::HostSimulator(QObject* parent)
    : QObject(parent)
{
    clock.start();
    motionTimer.setSingleShot(true);
    motionTimer.setTimerType(Qt::PreciseTimer);
    connect(&motionTimer, &QTimer::timeout, this, &HostSimulator::onMotionTimer);
}

HostSimulator::~HostSimulator()
{
    if (data)
        data->disconnect(this);
    if (video)
        video->disconnect(this);
}

QString HostSimulator::axisName(Axis axis)
{
    static const char* names[AxisCount] = {"X", "Y", "Z", "A", "F"};
    return QLatin1String(names[axis]);
}

void HostSimulator::setSpeed(double unitsPerSecond)
{
    axes.setSpeed(unitsPerSecond);
}

void HostSimulator::setPosition(Axis axis, double value)
{
    axes.setPosition(axis, value);
}

bool HostSimulator::setTranscriptFile(const QString& path)
{
    return log.setFile(path);
}

void HostSimulator::setFramesDir(const QString& path)
{
    framesDir = path;
    if (!framesDir.isEmpty())
        QDir().mkpath(framesDir);
}

// ---------------------------------------------------------------------------------------------
// Connection

void HostSimulator::connectToStation(const QString& host, quint16 port)
{
    stationHost = host;
    stationPort = port;
    linkReady = false;
    ncqSeen = false;
    openAlign = openXAlign = openScan = 0;
    dataParser.reset();
    videoParser.reset();
    socketError.clear();
    if (data) {
        data->disconnect(this);
        data->abort();
        data->deleteLater();
    }
    if (video) {
        video->disconnect(this);
        video->abort();
        video->deleteLater();
        video = nullptr;
    }
    ++connectionEpoch;
    data = new QTcpSocket(this);
    connect(data, &QTcpSocket::connected, this, &HostSimulator::onDataConnected);
    connect(data, &QTcpSocket::readyRead, this, &HostSimulator::onDataReadyRead);
    connect(data, &QTcpSocket::disconnected, this, &HostSimulator::onDataDisconnected);
    connect(data, &QAbstractSocket::errorOccurred, this, [this](QAbstractSocket::SocketError) {
        socketError = data ? data->errorString() : QString();
    });
    data->connectToHost(host, port);
}

void HostSimulator::onDataConnected()
{
    data->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    record(QStringLiteral("--"), QStringLiteral("data connection open to %1:%2").arg(stationHost).arg(stationPort));
}

bool HostSimulator::waitForReady(int timeoutMs)
{
    return waitUntil([this]() { return linkReady; }, timeoutMs);
}

void HostSimulator::disconnectFromStation()
{
    if (video) {
        video->disconnect(this);
        video->disconnectFromHost();
        video->deleteLater();
        video = nullptr;
    }
    if (data) {
        data->disconnect(this);
        data->disconnectFromHost();
        data->deleteLater();
        data = nullptr;
        record(QStringLiteral("--"), QStringLiteral("disconnected by the host"));
    }
    linkReady = false;
}

bool HostSimulator::isDataConnected() const
{
    return data && data->state() == QAbstractSocket::ConnectedState;
}

bool HostSimulator::isVideoConnected() const
{
    return video && video->state() == QAbstractSocket::ConnectedState;
}

void HostSimulator::onDataDisconnected()
{
    record(QStringLiteral("--"), QStringLiteral("data connection closed by the station"));
    linkReady = false;
    if (video) {
        video->disconnect(this);
        video->abort();
        video->deleteLater();
        video = nullptr;
    }
    emit disconnected();
}

void HostSimulator::onVideoDisconnected()
{
    record(QStringLiteral("--"), QStringLiteral("video connection closed by the station"));
}

// ---------------------------------------------------------------------------------------------
// Sending

int HostSimulator::send(const QString& command)
{
    const int tag = nextTag++;
    const QString framed = QString::number(tag) + QLatin1Char(':') + command + QLatin1Char(';');
    if (!isDataConnected()) {
        note(QStringLiteral("not connected, not sent: ") + framed);
        return tag;
    }
    data->write(framed.toUtf8());
    record(QStringLiteral(">>"), framed);
    noteRequestSent(command);
    return tag;
}

void HostSimulator::sendRaw(const QByteArray& bytes)
{
    if (!isDataConnected())
        return;
    data->write(bytes);
    record(QStringLiteral(">>"), QStringLiteral("(raw) ") + shorten(QString::fromUtf8(bytes)));
}

void HostSimulator::reportCoords()
{
    send(QStringLiteral("COORDS") + formatNumber(position(X)) + QLatin1Char(':') + formatNumber(position(Y))
         + QLatin1Char(':') + formatNumber(position(Z)) + QLatin1Char(':') + formatNumber(position(A))
         + QLatin1Char(':') + formatNumber(position(F)));
}

// ---------------------------------------------------------------------------------------------
// Waiting

bool HostSimulator::waitUntil(const std::function<bool()>& condition, int timeoutMs)
{
    if (condition())
        return true;
    QEventLoop loop;
    QElapsedTimer waited;
    waited.start();
    auto check = [&]() {
        if (condition() || waited.elapsed() >= timeoutMs)
            loop.quit();
    };
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    connect(&tick, &QTimer::timeout, &loop, check);
    tick.start(5);
    const auto c1 = connect(this, &HostSimulator::messageReceived, &loop, check);
    const auto c2 = connect(this, &HostSimulator::frameReceived, &loop, check);
    const auto c3 = connect(this, &HostSimulator::imageReceived, &loop, check);
    const auto c4 = connect(this, &HostSimulator::ready, &loop, check);
    const auto c5 = connect(this, &HostSimulator::disconnected, &loop, check);
    const auto c6 = connect(this, &HostSimulator::motionFinished, &loop, check);
    loop.exec();
    for (const auto& c : {c1, c2, c3, c4, c5, c6})
        disconnect(c);
    return condition();
}

int HostSimulator::waitForText(const QString& text, int fromIndex, int timeoutMs)
{
    int found = -1;
    auto search = [&]() {
        for (int i = qMax(0, fromIndex); i < received.size(); ++i) {
            if (received.at(i).text == text) {
                found = i;
                return true;
            }
        }
        return false;
    };
    waitUntil(search, timeoutMs);
    return found;
}

bool HostSimulator::waitForFrames(int count, int timeoutMs)
{
    return waitUntil([this, count]() { return framesReceived.load() >= count; }, timeoutMs);
}

QStringList HostSimulator::texts() const
{
    QStringList list;
    for (const Message& m : received)
        list << m.text;
    return list;
}

int HostSimulator::countOf(const QString& text, int fromIndex) const
{
    int count = 0;
    for (int i = qMax(0, fromIndex); i < received.size(); ++i)
        count += received.at(i).text == text ? 1 : 0;
    return count;
}

// ---------------------------------------------------------------------------------------------
// Data connection: station messages

void HostSimulator::onDataReadyRead()
{
    dataParser.append(data->readAll());
    parseData();
}

// One item at a time: a handler that waits (and so reads and parses again) takes the next
// items itself, and the order of the wire is kept.
void HostSimulator::parseData()
{
    StationDataParser::Item item;
    while (dataParser.next(&item)) {
        switch (item.kind) {
        case StationDataParser::Kind::Violation:
            flagViolation(item.text);
            break;
        case StationDataParser::Kind::Image:
            handleImage(item.sequence, item.text, item.bmp);
            break;
        case StationDataParser::Kind::Text:
            handleText(item.sequence, item.text);
            break;
        }
    }
}

void HostSimulator::handleText(int sequence, const QString& text)
{
    record(QStringLiteral("<<"), QString::number(sequence) + QLatin1Char(':') + text + QLatin1Char(';'));
    ++messagesReceived;
    if (keepHistory)
        received << Message{sequence, text, QByteArray(), clock.elapsed()};

    if (!ncqSeen) {
        handleFirstText(sequence, text);
        return;
    }
    checkText(text);
    emit messageReceived(sequence, text);
}

void HostSimulator::handleFirstText(int sequence, const QString& text)
{
    if (text != QLatin1String("NCQ"))
        flagViolation(QStringLiteral("first message on the data connection is \"%1\", not NCQ").arg(shorten(text)));
    ncqSeen = true;
    if (openVideo && !video) {
        video = new QTcpSocket(this);
        video->setReadBufferSize(videoReadLimit);
        connect(video, &QTcpSocket::readyRead, this, &HostSimulator::onVideoReadyRead);
        connect(video, &QTcpSocket::disconnected, this, &HostSimulator::onVideoDisconnected);
        connect(video, &QTcpSocket::connected, this, [this]() {
            record(QStringLiteral("--"), QStringLiteral("video connection open"));
            linkReady = true;
            emit ready();
        });
        video->connectToHost(stationHost, stationPort);
    } else {
        linkReady = true;
    }
    reportCoords();
    emit messageReceived(sequence, text);
    if (linkReady)
        emit this->ready();
}

void HostSimulator::checkText(const QString& text)
{
    static const QRegularExpression scanReport(QStringLiteral(
        "^IMGSCAP(\\d+)COORDS([-+0-9.eE]+)&([-+0-9.eE]+)&([-+0-9.eE]+)#([-+0-9.eE]+)#([-+0-9.eE]+)#([-+0-9.eE]+)#([-+0-9.eE]+)$"));

    const bool anyOpen = openAlign + openXAlign + openScan > 0;
    if (text == QLatin1String("GMS")) {
        expectRequest(anyOpen, text);
        ++statusQueriesReceived;
        if (answerStatus)
            answerStatusQuery();
    } else if (text.startsWith(QLatin1String("INC")) || text.startsWith(QLatin1String("MOVE"))) {
        expectRequest(anyOpen, text);
        executeAxisCommand(text);
    } else if (text == QLatin1String("ALIGNEND") || text.startsWith(QLatin1String("ALIGNFAIL:"))) {
        expectRequest(openAlign > 0, text);
        openAlign = qMax(0, openAlign - 1);
        if (text != QLatin1String("ALIGNEND"))
            failureTexts << text;
        sendFollowUp();
    } else if (text == QLatin1String("ENAAXEND") || text.startsWith(QLatin1String("ENAAXFAIL:"))) {
        expectRequest(openXAlign > 0, text);
        openXAlign = qMax(0, openXAlign - 1);
        if (text != QLatin1String("ENAAXEND"))
            failureTexts << text;
        sendFollowUp();
    } else if (text == QLatin1String("SCANEND")) {
        expectRequest(openScan > 0, text);
        openScan = qMax(0, openScan - 1);
        sendFollowUp();
    } else if (text.startsWith(QLatin1String("SCANFAIL:"))) {
        // A refused scan (BUSY) ends with its failure alone; any other is followed by SCANEND.
        expectRequest(openScan > 0, text);
        failureTexts << text;
        if (text == QLatin1String("SCANFAIL:BUSY")) {
            openScan = qMax(0, openScan - 1);
            sendFollowUp();
        }
    } else if (text == QLatin1String("NCQ") || text == QLatin1String("ALIGNBG") || text == QLatin1String("SCANBG")
               || text == QLatin1String("SIDONE") || text.startsWith(QLatin1String("SIFAIL:"))) {
        // Acknowledgements and the snapshot's failure; the script waits for them.
    } else if (text.startsWith(QLatin1String("IMGSCAP"))) {
        expectRequest(openScan > 0, text);
        const QRegularExpressionMatch match = scanReport.match(text);
        bool numbers = match.hasMatch();
        for (int i = 2; numbers && i <= 8; ++i) {
            double value = 0;
            numbers = SimulatedAxes::parseNumber(match.captured(i), &value);
        }
        if (!numbers)
            flagViolation(QStringLiteral("malformed scan report \"%1\"").arg(shorten(text)));
    } else if (text.startsWith(QLatin1String("IMGCAP"))) {
        flagViolation(QStringLiteral("IMGCAP report without an image: \"%1\"").arg(shorten(text)));
    } else if (strictMode) {
        flagViolation(QStringLiteral("unknown message \"%1\"").arg(shorten(text)));
    } else {
        note(QStringLiteral("unknown message \"%1\"").arg(shorten(text)));
    }
}

void HostSimulator::answerStatusQuery()
{
    // A motion that has ended by the clock is reported (its final COORDS) before the station
    // hears "still", whether or not the motion timer has fired yet: a host never says its axes
    // stand before it has told where they stand. Unless it is one that does (stillBeforeCoords).
    if (!anyMoving() && stillBeforeCoordsMs == 0)
        onMotionTimer();
    const bool master = isMoving(X) || isMoving(Y) || isMoving(Z);
    const QString answer = QStringLiteral("MOVESTAT%1:%2:%3")
                               .arg(movingFlag(master))
                               .arg(movingFlag(isMoving(A)))
                               .arg(movingFlag(isMoving(F)));
    if (statusAnswerDelayMs == 0) {
        send(answer);
        return;
    }
    const int epoch = connectionEpoch;
    QTimer::singleShot(statusAnswerDelayMs, Qt::PreciseTimer, this, [this, answer, epoch]() {
        if (epoch == connectionEpoch)
            send(answer);
    });
}

void HostSimulator::sendFollowUp()
{
    if (!followUps.isEmpty())
        send(followUps.takeFirst());
}

void HostSimulator::expectRequest(bool open, const QString& text)
{
    if (ownRequestsOnly && !open)
        flagViolation(QStringLiteral("\"%1\" belongs to no request of this connection").arg(shorten(text)));
}

void HostSimulator::noteRequestSent(const QString& command)
{
    const QString bare = QString(command).remove(QLatin1Char(' '));
    if (bare == QLatin1String("BGALIGN") || bare == QLatin1String("BGRALIGN"))
        ++openAlign;
    else if (bare == QLatin1String("ENAAX"))
        ++openXAlign;
    else if (bare == QLatin1String("BGSCAN"))
        ++openScan;
}

void HostSimulator::handleImage(int sequence, const QString& text, const QByteArray& bmp)
{
    record(QStringLiteral("<<"), QStringLiteral("%1:%2-> [BMP %3 bytes];").arg(sequence).arg(text).arg(bmp.size()));
    ++messagesReceived;
    ++imagesReceived;
    if (keepHistory)
        received << Message{sequence, text, bmp, clock.elapsed()};
    expectRequest(openScan > 0, text);
    static const QRegularExpression imageReport(QStringLiteral("^IMGCAP(\\d+)COORDS([-+0-9.eE]+)&([-+0-9.eE]+)&([-+0-9.eE]+)$"));
    const QRegularExpressionMatch match = imageReport.match(text);
    bool ok = match.hasMatch();
    for (int i = 2; ok && i <= 4; ++i) {
        double value = 0;
        ok = SimulatedAxes::parseNumber(match.captured(i), &value);
    }
    if (!ok) {
        if (strictMode)
            flagViolation(QStringLiteral("unexpected image message text \"%1\"").arg(shorten(text)));
        else
            note(QStringLiteral("image message with unexpected text \"%1\"").arg(shorten(text)));
    }
    if (!framesDir.isEmpty()) {
        QFile file(QDir(framesDir).filePath(QStringLiteral("image_%1.bmp").arg(imagesReceived.load(), 4, 10, QLatin1Char('0'))));
        if (!file.open(QIODevice::WriteOnly) || file.write(bmp) != bmp.size())
            note(QStringLiteral("could not save %1: %2").arg(file.fileName(), file.errorString()));
    }
    emit imageReceived(sequence, text, bmp);
    emit messageReceived(sequence, text);
}

// ---------------------------------------------------------------------------------------------
// Video connection

void HostSimulator::onVideoReadyRead()
{
    videoParser.append(video->readAll());
    parseVideo();
    if (videoParser.pendingBytes() > 0)
        emit videoFramePartial(videoParser.pendingBytes()); // last: a receiver may disconnect
}

void HostSimulator::parseVideo()
{
    StationVideoParser::Item item;
    while (videoParser.next(&item)) {
        if (item.kind == StationVideoParser::Kind::Violation) {
            flagViolation(item.text);
            continue;
        }
        const QByteArray& payload = item.payload;
        const int size = payload.size();
        const int index = item.index;
        framesReceived = index;
        frameBytesReceived += size;

        QString saved;
        if (size == 0) {
            note(QStringLiteral("video frame %1 is empty").arg(index));
        } else {
            if (!item.completeJpeg)
                flagViolation(QStringLiteral("video frame %1 (%2 bytes) is not a complete JPEG file").arg(index).arg(size));
            if (!framesDir.isEmpty()) {
                const QString name = QStringLiteral("frame_%1.jpg").arg(index, 4, 10, QLatin1Char('0'));
                QFile file(QDir(framesDir).filePath(name));
                if (file.open(QIODevice::WriteOnly) && file.write(payload) == payload.size())
                    saved = QStringLiteral(" saved as ") + name;
                else
                    note(QStringLiteral("could not save %1: %2").arg(file.fileName(), file.errorString()));
            }
        }
        record(QStringLiteral("<V"), QStringLiteral("frame %1: header -SIZE- %2, %2 payload bytes%3").arg(index).arg(size).arg(saved));
        if (keepFrames)
            keptFrames << payload;
        emit frameReceived(index, payload);
    }
}

// ---------------------------------------------------------------------------------------------
// Axes

void HostSimulator::executeAxisCommand(const QString& text)
{
    const bool increment = text.startsWith(QLatin1String("INC"));
    SimulatedAxes::Move move;
    if (!(increment ? axes.parseIncrement(text, &move) : axes.parseMove(text, &move))) {
        flagViolation(QStringLiteral("malformed %1 \"%2\"").arg(increment ? QStringLiteral("increment") : QStringLiteral("move"), shorten(text)));
        return;
    }
    ++moveCommandsReceived;
    startMotion(move);
}

void HostSimulator::startMotion(const SimulatedAxes::Move& move)
{
    const qint64 now = clock.elapsed();
    // The positions at the start of the motion are reported first.
    reportCoords();
    const double longest = axes.start(move, now);
    motionReported = false;
    emit motionStarted();
    // (A host that reports its positions apart from its status reports them late even after a
    // motion that took no time.)
    if (longest <= 0 && stillBeforeCoordsMs == 0) {
        onMotionTimer();
        return;
    }
    motionTimer.start(int(std::ceil(qMax(0.0, longest))) + endReportDelayMs());
}

void HostSimulator::onMotionTimer()
{
    if (axes.anyMoving()) {
        motionTimer.start(int(qMax<qint64>(1, axes.remainingMs())) + endReportDelayMs());
        return;
    }
    if (motionReported)
        return;
    motionReported = true;
    reportCoords();
    emit motionFinished();
}

// ---------------------------------------------------------------------------------------------
// Records

void HostSimulator::record(const QString& direction, const QString& text)
{
    log.record(direction, text);
}

void HostSimulator::flagViolation(const QString& text)
{
    log.violation(text);
    emit violation(text);
}

void HostSimulator::note(const QString& text)
{
    log.note(text);
}
