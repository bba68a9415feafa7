// Host link over loopback: the station's server in the main thread (as in the station), the
// host simulator in a thread of its own.
//
//   CommandRoundTrip  the host sends a tagged BGALIGN and waits for ALIGNBG, 10,000 times:
//                     p50 / p99 / max in ms (goals: p50 <= 0.5 ms, p99 <= 3 ms)
//   VideoFluxWrite    FluxWrite of 300 KB payloads read by the host: frames/s, MB/s, and
//                     whether every frame arrived intact and in order
//   CoordsFlood       10,000 COORDS per second from the host for 10 s: backlog (messages sent
//                     and not yet turned into NewCoord), receive text held, resident memory
#include "core/logs.h"
#include "hostlink/veltraxserver.h"
#include "sim/host/hostsimulator.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include <unistd.h>

namespace {

VeltraxServer* server = nullptr;

double residentMegabytes()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    if (fields.size() < 2)
        return 0;
    return fields.at(1).toDouble() * double(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

// Runs the main thread's event loop (the server's sockets live there) until done() or time-out.
// The loop blocks on its sockets like the station's does; done() is looked at every millisecond.
bool serveUntil(const std::function<bool()>& done, int timeoutMs)
{
    if (done())
        return true;
    QEventLoop loop;
    QElapsedTimer waited;
    waited.start();
    QTimer check;
    check.setTimerType(Qt::PreciseTimer);
    QObject::connect(&check, &QTimer::timeout, &loop, [&]() {
        if (done() || waited.elapsed() > timeoutMs)
            loop.quit();
    });
    check.start(1);
    loop.exec();
    return done();
}

// The host simulator in its own thread.
class HostThread
{
public:
    HostThread()
    {
        thread.start();
        sim = new HostSimulator;
        sim->setKeepHistory(false);
        sim->setKeepFrames(false);
        sim->moveToThread(&thread);
    }
    ~HostThread()
    {
        QMetaObject::invokeMethod(sim, [this]() {
            sim->disconnectFromStation();
            delete sim;
        }, Qt::BlockingQueuedConnection);
        thread.quit();
        thread.wait();
    }
    template <class F>
    void run(F f)
    {
        QMetaObject::invokeMethod(sim, f, Qt::QueuedConnection);
    }
    bool connect()
    {
        auto ready = std::make_shared<std::atomic<bool>>(false);
        const quint16 port = server->ListenPort();
        run([this, ready, port]() {
            QObject::connect(sim, &HostSimulator::ready, sim, [ready]() { *ready = true; });
            sim->connectToStation(QStringLiteral("127.0.0.1"), port);
        });
        return serveUntil([&]() { return ready->load() && server->HasVideoConnection(); }, 10000);
    }

    QThread thread;
    HostSimulator* sim = nullptr;
};

double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t index = std::min(values.size() - 1, size_t(p * double(values.size() - 1) + 0.5));
    return values[index];
}

void CommandRoundTrip(benchmark::State& state)
{
    const int count = int(state.range(0));
    std::vector<double> samples;
    for (auto _ : state) {
        HostThread host;
        if (!host.connect()) {
            state.SkipWithError("host simulator could not connect");
            return;
        }
        samples.clear();
        samples.reserve(count);
        std::atomic<bool> finished{false};
        QElapsedTimer sent;
        host.run([&]() {
            QObject::connect(host.sim, &HostSimulator::messageReceived, host.sim, [&](int, const QString& text) {
                if (text != QLatin1String("ALIGNBG"))
                    return;
                samples.push_back(sent.nsecsElapsed() / 1.0e6);
                if (int(samples.size()) >= count) {
                    finished = true;
                    return;
                }
                sent.start();
                host.sim->send(QStringLiteral("BGALIGN"));
            });
            sent.start();
            host.sim->send(QStringLiteral("BGALIGN"));
        });
        if (!serveUntil([&]() { return finished.load(); }, 120000)) {
            state.SkipWithError("round trips did not complete");
            return;
        }
        if (host.sim->violationCount() > 0)
            state.SkipWithError("protocol violation seen by the host");
    }
    const double p50 = percentile(samples, 0.50);
    const double p99 = percentile(samples, 0.99);
    state.counters["round_trips"] = double(samples.size());
    state.counters["p50_ms"] = p50;
    state.counters["p99_ms"] = p99;
    state.counters["max_ms"] = percentile(samples, 1.0);
    state.counters["p50_goal_met"] = p50 <= 0.5 ? 1 : 0;
    state.counters["p99_goal_met"] = p99 <= 3.0 ? 1 : 0;
}

// A payload that looks like a JPEG file (start and end markers) and carries its index, so the
// host side can tell a lost, reordered or damaged frame.
QByteArray framePayload(const QByteArray& body, quint32 index)
{
    QByteArray payload = body;
    std::memcpy(payload.data() + 2, &index, sizeof index);
    return payload;
}

void VideoFluxWrite(benchmark::State& state)
{
    const int frames = int(state.range(0));
    const int size = 300 * 1024;
    QByteArray body(size, '\0');
    quint32 seed = 12345;
    for (int i = 0; i < size; ++i) {
        seed = seed * 1664525u + 1013904223u;
        body[i] = char(seed >> 24);
    }
    body[0] = char(0xFF);
    body[1] = char(0xD8);
    body[size - 2] = char(0xFF);
    body[size - 1] = char(0xD9);

    double seconds = 0;
    int intact = 0;
    bool inOrder = true;
    for (auto _ : state) {
        HostThread host;
        if (!host.connect()) {
            state.SkipWithError("host simulator could not connect");
            return;
        }
        std::atomic<int> received{0};
        std::atomic<int> good{0};
        std::atomic<bool> ordered{true};
        host.run([&]() {
            QObject::connect(host.sim, &HostSimulator::frameReceived, host.sim, [&](int, const QByteArray& payload) {
                quint32 index = 0;
                if (payload.size() == size)
                    std::memcpy(&index, payload.constData() + 2, sizeof index);
                if (int(index) != received.load())
                    ordered = false;
                if (payload == framePayload(body, index))
                    ++good;
                ++received;
            });
        });
        serveUntil([]() { return false; }, 20);

        QElapsedTimer clock;
        clock.start();
        // The video link keeps one frame besides the one leaving and drops older ones, so the
        // frames are written at the pace the host takes them, as a camera would.
        for (int i = 0; i < frames; ++i) {
            if (!serveUntil([&]() { return received.load() >= i - 1; }, 120000))
                break;
            server->FluxWrite(framePayload(body, quint32(i)));
        }
        if (!serveUntil([&]() { return received.load() >= frames; }, 120000)) {
            state.SkipWithError("frames did not all arrive");
            return;
        }
        seconds = clock.nsecsElapsed() / 1.0e9;
        intact = good.load();
        inOrder = ordered.load();
        if (host.sim->violationCount() > 0)
            state.SkipWithError("protocol violation seen by the host");
    }
    state.counters["frames"] = frames;
    state.counters["frames_per_s"] = frames / seconds;
    state.counters["MB_per_s"] = double(frames) * (size + 16) / (1024.0 * 1024.0) / seconds;
    state.counters["intact"] = intact;
    state.counters["in_order"] = inOrder ? 1 : 0;
}

void CoordsFlood(benchmark::State& state)
{
    const int ratePerSecond = 10000;
    const int durationMs = int(state.range(0)) * 1000;

    std::atomic<long> sent{0};
    long received = 0;
    long maxBacklog = 0;
    int maxPending = 0;
    double rssStart = 0;
    double rssEnd = 0;
    double rssMax = 0;
    double drainMs = 0;
    for (auto _ : state) {
        HostThread host;
        if (!host.connect()) {
            state.SkipWithError("host simulator could not connect");
            return;
        }
        received = 0;
        const QMetaObject::Connection counter = QObject::connect(server, &VeltraxServer::NewCoord, server,
                                                                 [&](double, double, double, double, double) { ++received; });
        serveUntil([]() { return false; }, 50);
        received = 0;
        sent = 0;
        rssStart = rssMax = residentMegabytes();

        std::atomic<bool> sending{true};
        host.run([&]() {
            auto* timer = new QTimer(host.sim);
            timer->setTimerType(Qt::PreciseTimer);
            auto* clock = new QElapsedTimer;
            clock->start();
            QObject::connect(timer, &QTimer::timeout, host.sim, [&, timer, clock]() {
                const qint64 elapsed = clock->elapsed();
                const long due = long(qMin<qint64>(elapsed, durationMs) * ratePerSecond / 1000);
                while (sent.load() < due) {
                    const long n = sent.load();
                    host.sim->send(QStringLiteral("COORDS%1:%2:3:4:5").arg(n).arg(n % 360));
                    ++sent;
                }
                if (elapsed >= durationMs) {
                    timer->stop();
                    delete clock;
                    timer->deleteLater();
                    sending = false;
                }
            });
            timer->start(1);
        });

        QElapsedTimer sampleClock;
        sampleClock.start();
        while (sending.load()) {
            serveUntil([&]() { return sampleClock.elapsed() >= 100 || !sending.load(); }, 1000);
            sampleClock.restart();
            maxBacklog = std::max(maxBacklog, sent.load() - received);
            maxPending = std::max(maxPending, server->PendingReceiveSize());
            rssMax = std::max(rssMax, residentMegabytes());
        }
        QElapsedTimer drain;
        drain.start();
        serveUntil([&]() { return received >= sent.load(); }, 30000);
        drainMs = drain.nsecsElapsed() / 1.0e6;
        rssEnd = residentMegabytes();
        QObject::disconnect(counter);
    }
    state.counters["sent"] = double(sent.load());
    state.counters["received"] = double(received);
    state.counters["max_backlog_msgs"] = double(maxBacklog);
    state.counters["final_backlog_msgs"] = double(sent.load() - received);
    state.counters["drain_ms"] = drainMs;
    state.counters["max_receive_chars"] = maxPending;
    state.counters["rss_start_MB"] = rssStart;
    state.counters["rss_max_MB"] = rssMax;
    state.counters["rss_end_MB"] = rssEnd;
}

void quietMessages(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    if (type != QtDebugMsg && type != QtInfoMsg)
        fprintf(stderr, "%s\n", qPrintable(message));
}

} // namespace

BENCHMARK(CommandRoundTrip)->Arg(10000)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(VideoFluxWrite)->Arg(300)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(CoordsFlood)->Arg(10)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    qInstallMessageHandler(quietMessages);
    QTemporaryDir workDir;
    QDir::setCurrent(workDir.path()); // Logs.ini of the run goes there
    VeltraxServer::SetListenEndpoint(QHostAddress(QHostAddress::LocalHost), 0);
    server = VeltraxServer::AccessMemory();

    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    VeltraxServer::Destroy();
    Logs::Destroy();
    return 0;
}
