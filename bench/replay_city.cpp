// replay_city: an hour of the demo's generated city recorded (simulated time, as fast as it
// goes), then played back to the host's JSON-RPC client over loopback at 16x in real time.
// Prints the recording's size, its loading time, how far the playback fell behind its
// clock, the frames the client took per second, the CPU the process spent, and the time of
// a few seeks. It is not a test.
//
//   replay_city [--minutes N (recorded, default 60)] [--play-seconds S (default 30)] [--speed X (default 16)]

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTimer>

#include <sys/resource.h>

#include <cstdio>

#include "benchutil.h"
#include "jsonrpc/jsonrpcobject.h"
#include "sim/recorder.h"
#include "sim/replayer.h"
#include "sim/server.h"
#include "simsetup.h"

namespace {

double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

long maxRssMb()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    const QCommandLineOption minutesOpt(QStringLiteral("minutes"), QStringLiteral("Minutes to record."), QStringLiteral("N"), QStringLiteral("60"));
    const QCommandLineOption playOpt(QStringLiteral("play-seconds"), QStringLiteral("Seconds of playback."), QStringLiteral("S"), QStringLiteral("30"));
    const QCommandLineOption speedOpt(QStringLiteral("speed"), QStringLiteral("Playback speed."), QStringLiteral("X"), QStringLiteral("16"));
    parser.addOptions({minutesOpt, playOpt, speedOpt});
    parser.addHelpOption();
    parser.process(app);
    const int minutes = qMax(1, parser.value(minutesOpt).toInt());
    const double playSeconds = qMax(1.0, parser.value(playOpt).toDouble());
    const double speed = parser.value(speedOpt).toDouble();

    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("city.jsonl"));
    {
        DemoNetwork::Built city = DemoNetwork::generated();
        std::printf("city: %s\n", qPrintable(city.summary));
        Sim::Server server(std::move(city.network));
        server.setTickInterval(0);
        Sim::Recorder recorder;
        if (!recorder.open(file)) {
            std::fprintf(stderr, "%s\n", qPrintable(recorder.errorString()));
            return 1;
        }
        server.setRecorder(&recorder);
        QElapsedTimer clock;
        clock.start();
        for (int s = 0; s < minutes * 60; ++s)
            server.step(1.0);
        recorder.finish(server.world());
        const double mb = QFileInfo(file).size() / 1e6;
        std::printf("recorded %d min in %.1f s: %.1f MB, %.1f MB per hour\n", minutes, clock.elapsed() / 1000.0, mb,
                    mb * 60.0 / minutes);
    }

    QElapsedTimer clock;
    clock.start();
    Sim::Recording recording = Sim::Recording::load(file);
    if (!recording.ok()) {
        std::fprintf(stderr, "%s\n", qPrintable(recording.error()));
        return 1;
    }
    std::printf("loaded %d entries in %.2f s; peak memory so far %ld MB\n", int(recording.entries().size()),
                clock.elapsed() / 1000.0, maxRssMb());

    Sim::Server server(Sim::Network{});
    server.setTickInterval(0);
    if (!server.listen())
        return 1;
    Sim::Replayer replayer(std::move(recording), &server);
    JsonRpcObject client;
    qint64 frames = 0;
    QObject::connect(&client, &JsonRpcObject::frameReceived, &app, [&frames] { ++frames; });
    client.open(server.url());
    if (!Bench::waitFor([&] { return client.isConnected(); }, 5000))
        return 1;
    client.subscribe({QStringLiteral("BoardsServer.boardPosition"), QStringLiteral("BoardsServer.boardLoggedIn"),
                      QStringLiteral("BoardsServer.boardDisconnected"), QStringLiteral("VDTService.vdtStateChanged"),
                      QStringLiteral("BoardsServer.boardPropertiesChanged")});
    Bench::waitFor([&] { return client.pendingCount() == 0; }, 5000);

    replayer.setSpeed(speed);
    double worstLagS = 0.0;
    QTimer probe;
    QElapsedTimer wall;
    // How far behind its own clock the replay has sent: the clock's position against what went out.
    QObject::connect(&probe, &QTimer::timeout, &app, [&] {
        const double due = std::min(replayer.duration(), wall.elapsed() / 1000.0 * speed);
        worstLagS = std::max(worstLagS, due - replayer.moment().t);
    });
    const double cpu0 = cpuSeconds();
    const qint64 frames0 = frames;
    wall.start();
    replayer.play();
    probe.start(100);
    // A real wait: the loop sleeps between the replay's timers, as the demo's does.
    QEventLoop loop;
    QTimer::singleShot(int(playSeconds * 1000), &loop, &QEventLoop::quit);
    QObject::connect(&replayer, &Sim::Replayer::finished, &loop, &QEventLoop::quit);
    loop.exec();
    const double elapsed = wall.elapsed() / 1000.0;
    const double reached = replayer.moment().t;
    std::printf("played %.1f s at %gx: reached %.1f s of the recording (%.1f%% of the clock), worst lag %.2f s of "
                "recording, %.0f frames/s to the client, CPU %.0f%% of one core (server and client in this process)\n",
                elapsed, speed, reached, 100.0 * reached / (elapsed * speed), worstLagS, (frames - frames0) / elapsed,
                100.0 * (cpuSeconds() - cpu0) / elapsed);
    replayer.pause();

    for (double t : {replayer.duration(), 0.0, replayer.duration() / 2, replayer.duration() / 2 + 60}) {
        QElapsedTimer seek;
        seek.start();
        replayer.seek(t);
        std::printf("seek to %.0f s: %lld ms\n", t, seek.elapsed());
    }
    std::printf("peak memory %ld MB\n", maxRssMb());
    return 0;
}
