// hostsoak: a long-running host for a station under test.
//
//   hostsoak --port N --seconds S [--pid PID] [--sample S] [--speed U] [--fault-every N]
//       Loops the host conversation (BGALIGN -> ALIGNEND, ENAAX -> ENAAXEND,
//       BGRALIGN -> ALIGNEND, BGSCAN -> SCANEND, QISI -> SIDONE) while flooding COORDS and
//       sending RQI 30 times a second; every N conversations one disconnect-reconnect cycle
//       (plain, in the middle of a host message, in the middle of a video frame, during an
//       alignment, during a scan). With --pid it samples the station's VmRSS and Threads from
//       /proc/PID/status and prints a table and a verdict.
//   hostsoak --port N --cycles C
//       C connect/disconnect cycles (plain, cut message, cut video frame in turn), each
//       waiting until the station serves the new host (NCQ and the video connection).
//
// Exit status 0 when every exchange was answered, every host served, no protocol violation
// and (with --pid) memory and threads flat; 1 otherwise; 64 on bad arguments.
#include "sim/host/hostsimulator.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QTextStream>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

QTextStream& out()
{
    static QTextStream stream(stdout);
    return stream;
}

void say(const QString& line)
{
    out() << line << '\n';
    out().flush();
}

struct Sample
{
    double seconds = 0;
    double rssKb = 0;
    int threads = 0;
};

bool readStatus(qint64 pid, Sample* sample)
{
    QFile file(QStringLiteral("/proc/%1/status").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return false;
    bool rss = false;
    bool threads = false;
    for (const QByteArray& line : file.readAll().split('\n')) {
        if (line.startsWith("VmRSS:")) {
            sample->rssKb = line.mid(6).trimmed().split(' ').value(0).toDouble();
            rss = true;
        } else if (line.startsWith("Threads:")) {
            sample->threads = line.mid(8).trimmed().toInt();
            threads = true;
        }
    }
    return rss && threads;
}

double mean(const std::vector<double>& values, size_t from, size_t to)
{
    if (to <= from)
        return 0;
    double sum = 0;
    for (size_t i = from; i < to; ++i)
        sum += values[i];
    return sum / double(to - from);
}

class Soak : public QObject
{
public:
    Soak(quint16 port, double speed)
        : port(port)
    {
        sim.setKeepHistory(false);
        sim.setKeepFrames(false);
        sim.setSpeed(speed);
        sim.setStrict(true);
        sim.setVideoReadLimit(4096); // frames arrive in pieces: a disconnect can cut one
        connect(&sim, &HostSimulator::messageReceived, this, [this](int, const QString& text) { ++seen[text]; });
        connect(&sim, &HostSimulator::frameReceived, this, [this](int, const QByteArray&) {
            if (oldestRqiMs >= 0)
                worstRqiMs = std::max(worstRqiMs, sim.elapsedMs() - oldestRqiMs);
            oldestRqiMs = -1;
        });
        connect(&sim, &HostSimulator::violation, this, [](const QString& text) { say(QStringLiteral("VIOLATION: ") + text); });
        // Cutting a video frame: the connection is dropped the moment a frame is half in.
        connect(&sim, &HostSimulator::videoFramePartial, this, [this](int) {
            if (!cutArmed)
                return;
            cutArmed = false;
            ++framesCut;
            sim.disconnectFromStation();
        });
        rqiTimer.setTimerType(Qt::PreciseTimer);
        connect(&rqiTimer, &QTimer::timeout, this, [this]() {
            if (!sim.isReady())
                return;
            sim.send(QStringLiteral("RQI"));
            ++rqiSent;
            if (oldestRqiMs < 0)
                oldestRqiMs = sim.elapsedMs();
        });
        coordsTimer.setTimerType(Qt::PreciseTimer);
        connect(&coordsTimer, &QTimer::timeout, this, [this]() {
            if (!sim.isReady())
                return;
            sim.reportCoords();
            ++coordsSent;
        });
    }

    // Connects (again) and waits until the station serves this host.
    bool serve(int timeoutMs = 20000)
    {
        oldestRqiMs = -1; // requests on a closed connection are not owed an answer
        sim.connectToStation(QStringLiteral("127.0.0.1"), port);
        QElapsedTimer waited;
        waited.start();
        while (waited.elapsed() < timeoutMs) {
            if (sim.waitForReady(2000))
                return true;
            // The station may still be closing the previous host: try again.
            sim.connectToStation(QStringLiteral("127.0.0.1"), port);
        }
        return false;
    }

    // Sends request and waits for answer; counts the exchange.
    bool exchange(const QString& request, const QString& answer, int timeoutMs)
    {
        const int before = seen.value(answer);
        sim.send(request);
        ++exchanges;
        const bool ok = sim.waitUntil([&]() { return seen.value(answer) > before; }, timeoutMs);
        if (!ok) {
            ++unanswered;
            say(QStringLiteral("UNANSWERED: %1 -> no %2 within %3 s").arg(request, answer).arg(timeoutMs / 1000));
        }
        return ok;
    }

    bool conversation()
    {
        const int t = 180000;
        return exchange(QStringLiteral("BGALIGN"), QStringLiteral("ALIGNEND"), t)
            && exchange(QStringLiteral("ENAAX"), QStringLiteral("ENAAXEND"), t)
            && exchange(QStringLiteral("BGRALIGN"), QStringLiteral("ALIGNEND"), t)
            && exchange(QStringLiteral("BGSCAN"), QStringLiteral("SCANEND"), t)
            && exchange(QStringLiteral("QISI"), QStringLiteral("SIDONE"), t);
    }

    // One disconnect-reconnect cycle of the given kind; true when the next host was served.
    bool faultCycle(int kind, QString* what)
    {
        switch (kind % 5) {
        case 0:
            *what = QStringLiteral("plain");
            break;
        case 1:
            *what = QStringLiteral("mid-message");
            // Half a command: the station must drop it with the connection.
            sim.sendRaw(QByteArray::number(9000 + kind) + ":BGAL");
            break;
        case 2: {
            *what = QStringLiteral("mid-frame");
            if (!cutAFrame())
                *what += QStringLiteral(" (no frame came in pieces)");
            break;
        }
        case 3:
            *what = QStringLiteral("during alignment");
            sim.send(QStringLiteral("BGALIGN"));
            sim.waitUntil([&]() { return false; }, 300);
            break;
        case 4:
            *what = QStringLiteral("during scan");
            sim.send(QStringLiteral("BGSCAN"));
            sim.waitUntil([&]() { return false; }, 1500);
            break;
        }
        sim.disconnectFromStation();
        ++faultCycles;
        if (!serve()) {
            ++unserved;
            return false;
        }
        // An alignment or scan cut off by the disconnect either stops (the station was waiting
        // for the old host's answer to "GMS") or runs to its end with the new host answering
        // the motion queries; give the second case time to finish before the next conversation.
        if (kind % 5 == 3 || kind % 5 == 4) {
            const QString end = kind % 5 == 3 ? QStringLiteral("ALIGNEND") : QStringLiteral("SCANEND");
            const int before = seen.value(end);
            sim.waitUntil([&]() { return seen.value(end) > before; }, kind % 5 == 3 ? 10000 : 30000);
        }
        return true;
    }

    // Asks for a frame and drops the connection when it has come in part. False when no frame
    // came in pieces within 5 s.
    bool cutAFrame()
    {
        const int cutBefore = framesCut;
        cutArmed = true;
        sim.send(QStringLiteral("RQI"));
        sim.waitUntil([&]() { return framesCut > cutBefore; }, 5000);
        cutArmed = false;
        return framesCut > cutBefore;
    }

    void sample(qint64 pid)
    {
        Sample s;
        s.seconds = clock.elapsed() / 1000.0;
        if (!readStatus(pid, &s)) {
            stationGone = true;
            return;
        }
        samples.push_back(s);
        say(QStringLiteral("sample %1 s: RSS %2 MB, %3 threads, %4 exchanges, %5 RQI, %6 COORDS, %7 frames, %8 fault cycles")
                .arg(s.seconds, 6, 'f', 0)
                .arg(s.rssKb / 1024.0, 0, 'f', 1)
                .arg(s.threads)
                .arg(exchanges)
                .arg(rqiSent)
                .arg(coordsSent)
                .arg(sim.frameCount())
                .arg(faultCycles));
    }

    int runSoak(double seconds, qint64 pid, double sampleSeconds, int faultEvery)
    {
        clock.start();
        QTimer sampler;
        if (pid > 0) {
            connect(&sampler, &QTimer::timeout, this, [&]() { sample(pid); });
            sample(pid);
            sampler.start(int(sampleSeconds * 1000));
        }
        if (!serve(60000)) {
            say(QStringLiteral("hostsoak: the station did not serve the first host"));
            return 1;
        }
        rqiTimer.start(33);   // 30 per second
        coordsTimer.start(10); // COORDS flood, 100 per second
        int conversations = 0;
        int kind = 0;
        bool ok = true;
        while (ok && clock.elapsed() < seconds * 1000 && !stationGone) {
            ok = conversation();
            ++conversations;
            if (ok && faultEvery > 0 && conversations % faultEvery == 0) {
                QString what;
                const bool served = faultCycle(kind++, &what);
                say(QStringLiteral("fault cycle %1: disconnect %2 -> next host %3").arg(faultCycles).arg(what, served ? "served" : "NOT served"));
                ok = served;
            }
        }
        rqiTimer.stop();
        coordsTimer.stop();
        // The last request is owed its frame.
        if (oldestRqiMs >= 0)
            sim.waitUntil([&]() { return oldestRqiMs < 0; }, 10000);
        if (pid > 0)
            sample(pid);

        const bool rqiAnswered = oldestRqiMs < 0 && worstRqiMs <= 5000;
        say(QString());
        say(QStringLiteral("conversations %1, exchanges %2, unanswered %3").arg(conversations).arg(exchanges).arg(unanswered));
        say(QStringLiteral("RQI sent %1, video frames %2, longest wait for a frame %3 ms").arg(rqiSent).arg(sim.frameCount()).arg(worstRqiMs));
        say(QStringLiteral("COORDS sent %1, GMS answered %2, moves %3, images %4").arg(coordsSent).arg(sim.statusQueries()).arg(sim.moveCommands()).arg(sim.imageCount()));
        say(QStringLiteral("fault cycles %1 (video frames cut %2), hosts not served %3, protocol violations %4")
                .arg(faultCycles).arg(framesCut).arg(unserved).arg(sim.violationCount()));
        bool flat = true;
        if (pid > 0)
            flat = verdictFlat();
        const bool pass = ok && !stationGone && unanswered == 0 && unserved == 0 && rqiAnswered && sim.violationCount() == 0 && flat;
        if (stationGone)
            say(QStringLiteral("the station process %1 is gone").arg(pid));
        say(QStringLiteral("verdict: %1").arg(pass ? "PASS" : "FAIL"));
        sim.disconnectFromStation();
        return pass ? 0 : 1;
    }

    // Memory flat: the mean of the last quarter of the samples within 10 % of the second
    // quarter's (the first quarter is start-up: caches, pools, first frames). Threads flat: no
    // more in the last quarter than at any time before it (scan and analyser threads come and
    // go with the conversation, so the count moves by one or two without growing).
    bool verdictFlat()
    {
        say(QString());
        say(QStringLiteral("   time s    RSS MB  threads"));
        for (const Sample& s : samples)
            say(QStringLiteral("%1 %2 %3").arg(s.seconds, 9, 'f', 0).arg(s.rssKb / 1024.0, 9, 'f', 1).arg(s.threads, 8));
        const size_t n = samples.size();
        if (n < 8) {
            say(QStringLiteral("memory and threads: too few samples (%1) to judge").arg(n));
            return false;
        }
        std::vector<double> rss;
        std::vector<double> threads;
        for (const Sample& s : samples) {
            rss.push_back(s.rssKb / 1024.0);
            threads.push_back(s.threads);
        }
        const double rss2 = mean(rss, n / 4, n / 2);
        const double rss4 = mean(rss, 3 * n / 4, n);
        const double thrBefore = *std::max_element(threads.begin(), threads.begin() + 3 * n / 4);
        const double thrLast = *std::max_element(threads.begin() + 3 * n / 4, threads.end());
        const bool rssFlat = rss4 <= rss2 * 1.10;
        const bool thrFlat = thrLast <= thrBefore;
        say(QStringLiteral("RSS: second quarter %1 MB, last quarter %2 MB (%3 %) -> %4")
                .arg(rss2, 0, 'f', 1).arg(rss4, 0, 'f', 1).arg((rss4 / rss2 - 1) * 100, 0, 'f', 1).arg(rssFlat ? "flat" : "GROWING"));
        say(QStringLiteral("threads: at most %1 before the last quarter, at most %2 in it -> %3")
                .arg(thrBefore).arg(thrLast).arg(thrFlat ? "flat" : "GROWING"));
        return rssFlat && thrFlat;
    }

    int runCycles(int cycles)
    {
        int served = 0;
        for (int i = 0; i < cycles; ++i) {
            if (!serve()) {
                say(QStringLiteral("cycle %1: the station did not serve the host").arg(i + 1));
                continue;
            }
            switch (i % 3) {
            case 1:
                sim.sendRaw(QByteArray::number(i) + ":GM");
                break;
            case 2: {
                cutAFrame();
                break;
            }
            default:
                break;
            }
            sim.disconnectFromStation();
            ++served;
            if ((i + 1) % 100 == 0)
                say(QStringLiteral("%1 cycles, %2 served").arg(i + 1).arg(served));
        }
        // The station still answers a whole exchange afterwards.
        const bool after = serve() && exchange(QStringLiteral("ENAAX"), QStringLiteral("ENAAXEND"), 60000);
        sim.disconnectFromStation();
        say(QStringLiteral("cycles %1, served %2, video frames cut %3, protocol violations %4, exchange afterwards %5")
                .arg(cycles).arg(served).arg(framesCut).arg(sim.violationCount()).arg(after ? "answered" : "NOT answered"));
        const bool pass = served == cycles && after && sim.violationCount() == 0;
        say(QStringLiteral("verdict: %1").arg(pass ? "PASS" : "FAIL"));
        return pass ? 0 : 1;
    }

private:
    HostSimulator sim;
    quint16 port;
    QTimer rqiTimer;
    QTimer coordsTimer;
    QHash<QString, int> seen;
    QElapsedTimer clock;
    std::vector<Sample> samples;
    qint64 oldestRqiMs = -1; // time of the oldest RQI not yet followed by a frame
    qint64 worstRqiMs = 0;
    int rqiSent = 0;
    int coordsSent = 0;
    int exchanges = 0;
    int unanswered = 0;
    int faultCycles = 0;
    int framesCut = 0;
    int unserved = 0;
    bool stationGone = false;
    bool cutArmed = false; // drop the connection at the next half-received frame
};

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    quint16 port = 5050;
    double seconds = 600;
    double sampleSeconds = 5;
    double speed = 200;
    qint64 pid = 0;
    int cycles = 0;
    int faultEvery = 1;
    for (int i = 0; i < args.size(); ++i) {
        const QString& a = args.at(i);
        const QString value = args.value(i + 1);
        bool ok = i + 1 < args.size();
        if (a == QLatin1String("--port"))
            port = quint16(value.toUInt(&ok));
        else if (a == QLatin1String("--seconds"))
            seconds = value.toDouble(&ok);
        else if (a == QLatin1String("--sample"))
            sampleSeconds = value.toDouble(&ok);
        else if (a == QLatin1String("--speed"))
            speed = value.toDouble(&ok);
        else if (a == QLatin1String("--pid"))
            pid = value.toLongLong(&ok);
        else if (a == QLatin1String("--cycles"))
            cycles = value.toInt(&ok);
        else if (a == QLatin1String("--fault-every"))
            faultEvery = value.toInt(&ok);
        else
            ok = false;
        if (!ok || (a == QLatin1String("--sample") && sampleSeconds <= 0)) {
            QTextStream(stderr) << "hostsoak: bad argument " << a << "\nusage: hostsoak --port N (--seconds S [--pid PID] [--sample S] [--speed U] [--fault-every N] | --cycles C)\n";
            return 64;
        }
        ++i;
    }
    Soak soak(port, speed);
    return cycles > 0 ? soak.runCycles(cycles) : soak.runSoak(seconds, pid, sampleSeconds, faultEvery);
}
