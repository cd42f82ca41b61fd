// prio-sim: the traffic-priority server simulator as a program.
//   prio-sim [--listen 127.0.0.1:8765] [--seed N] [--routes N] [--detectors N] [--boards N]
//            [--gtfs DIR] [--period MS] [--role operator|observer] [--record FILE]
//            [--tls-cert FILE --tls-key FILE]
//   prio-sim --replay FILE [--speed X] [--listen ...] [--tls-cert FILE --tls-key FILE]

#include "generator.h"
#include "gtfs.h"
#include "recorder.h"
#include "replayer.h"
#include "server.h"
#include "tls.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QHostAddress>
#include <QSocketNotifier>
#include <QTextStream>

#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <limits>
#include <optional>

namespace {

// Reads a whole-number option; notes the first bad one in *error.
int intOption(const QCommandLineParser &parser, const QCommandLineOption &option, int min, int max,
              int fallback, QString *error)
{
    if (!parser.isSet(option))
        return fallback;
    bool ok = false;
    const int v = parser.value(option).toInt(&ok);
    if ((!ok || v < min || v > max) && error->isEmpty()) {
        *error = QStringLiteral("--%1 must be a whole number from %2 to %3")
                         .arg(option.names().constFirst())
                         .arg(min)
                         .arg(max);
    }
    return ok ? v : fallback;
}

bool parseListen(const QString &text, QHostAddress *address, quint16 *port)
{
    const int colon = text.lastIndexOf(QLatin1Char(':'));
    if (colon <= 0)
        return false;
    QString host = text.left(colon);
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
        host = host.mid(1, host.size() - 2);
    if (host == QLatin1String("localhost"))
        host = QStringLiteral("127.0.0.1");
    bool ok = false;
    const uint p = text.mid(colon + 1).toUInt(&ok);
    if (!ok || p > 65535 || !address->setAddress(host))
        return false;
    *port = quint16(p);
    return true;
}

int signalSockets[2] = {-1, -1};

void onQuitSignal(int)
{
    const char byte = 1;
    // Only what is safe in a signal handler: the event loop reads it and quits.
    [[maybe_unused]] const ssize_t written = ::write(signalSockets[1], &byte, 1);
}

// Ctrl+C and kill end the event loop instead of the process, so that a recording gets its
// last tick and its end line.
void quitOnSignals(QCoreApplication &app)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalSockets) != 0)
        return;
    auto *notifier = new QSocketNotifier(signalSockets[0], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, &QCoreApplication::quit);
    std::signal(SIGINT, onQuitSignal);
    std::signal(SIGTERM, onQuitSignal);
}

int fail(const QString &message)
{
    QTextStream(stderr) << "prio-sim: " << message << Qt::endl;
    return 2;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("prio-sim"));
    QCoreApplication::setApplicationVersion(QStringLiteral(PRIO_SIM_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(
            QStringLiteral("Traffic-priority server simulator: JSON-RPC 2.0 over WebSocket."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption listenOpt(QStringLiteral("listen"), QStringLiteral("Address and port to listen on."),
                                       QStringLiteral("ADDRESS:PORT"), QStringLiteral("127.0.0.1:8765"));
    const QCommandLineOption seedOpt(QStringLiteral("seed"),
                                     QStringLiteral("Seed of the made-up network and of its traffic."),
                                     QStringLiteral("N"));
    const QCommandLineOption routesOpt(QStringLiteral("routes"), QStringLiteral("Routes to generate."),
                                       QStringLiteral("N"));
    const QCommandLineOption pointsOpt(QStringLiteral("points"), QStringLiteral("Points per generated route."),
                                       QStringLiteral("N"));
    const QCommandLineOption detectorsOpt(QStringLiteral("detectors"), QStringLiteral("Ordinary detectors."),
                                          QStringLiteral("N"));
    const QCommandLineOption emergencyOpt(QStringLiteral("emergency-detectors"),
                                          QStringLiteral("Emergency-call detectors."), QStringLiteral("N"));
    const QCommandLineOption boardsOpt(QStringLiteral("boards"), QStringLiteral("Boards (vehicles)."),
                                       QStringLiteral("N"));
    const QCommandLineOption gtfsOpt(QStringLiteral("gtfs"),
                                     QStringLiteral("Take routes and stops from this GTFS feed directory."),
                                     QStringLiteral("DIR"));
    const QCommandLineOption periodOpt(QStringLiteral("period"),
                                       QStringLiteral("Simulation tick in milliseconds (0: frozen)."),
                                       QStringLiteral("MS"), QStringLiteral("1000"));
    const QCommandLineOption roleOpt(QStringLiteral("role"),
                                     QStringLiteral("Role of the clients: operator or observer."),
                                     QStringLiteral("ROLE"), Sim::Rpc::RoleOperator);
    const QCommandLineOption steadyOpt(QStringLiteral("no-churn"),
                                       QStringLiteral("Boards stay logged in or out as they start."));
    const QCommandLineOption recordOpt(QStringLiteral("record"),
                                       QStringLiteral("Write the network and every notification to FILE (JSON lines)."),
                                       QStringLiteral("FILE"));
    const QCommandLineOption replayOpt(QStringLiteral("replay"),
                                       QStringLiteral("Serve the recording in FILE instead of a simulation, at its pace."),
                                       QStringLiteral("FILE"));
    const QCommandLineOption speedOpt(QStringLiteral("speed"),
                                      QStringLiteral("Replay X times faster than recorded (default 1)."),
                                      QStringLiteral("X"), QStringLiteral("1"));
    const QCommandLineOption certOpt(QStringLiteral("tls-cert"),
                                     QStringLiteral("Serve wss:// with the PEM certificate (chain) in FILE."),
                                     QStringLiteral("FILE"));
    const QCommandLineOption keyOpt(QStringLiteral("tls-key"),
                                    QStringLiteral("The PEM private key of --tls-cert."), QStringLiteral("FILE"));
    parser.addOptions({listenOpt, seedOpt, routesOpt, pointsOpt, detectorsOpt, emergencyOpt, boardsOpt,
                       gtfsOpt, periodOpt, roleOpt, steadyOpt, recordOpt, replayOpt, speedOpt, certOpt, keyOpt});
    parser.process(app);
    quitOnSignals(app);

    QHostAddress address;
    quint16 port = 0;
    if (!parseListen(parser.value(listenOpt), &address, &port))
        return fail(QStringLiteral("--listen wants ADDRESS:PORT, for example 127.0.0.1:8765"));
    const QString role = parser.value(roleOpt);
    if (!Sim::roles().contains(role))
        return fail(QStringLiteral("--role must be one of %1").arg(Sim::roles().join(QStringLiteral(", "))));

    std::optional<QSslConfiguration> tls;
    if (parser.isSet(certOpt) != parser.isSet(keyOpt))
        return fail(QStringLiteral("--tls-cert and --tls-key go together"));
    if (parser.isSet(certOpt)) {
        QSslConfiguration config;
        QString why;
        if (!Sim::serverTlsConfiguration(parser.value(certOpt), parser.value(keyOpt), &config, &why))
            return fail(why);
        tls = config;
    }
    QTextStream out(stdout);

    if (parser.isSet(replayOpt)) {
        if (parser.isSet(recordOpt) || parser.isSet(gtfsOpt))
            return fail(QStringLiteral("--replay serves a recording: --record and --gtfs do not go with it"));
        bool ok = false;
        const double speed = parser.value(speedOpt).toDouble(&ok);
        if (!ok || !(speed >= Sim::Replayer::MinSpeed && speed <= Sim::Replayer::MaxSpeed))
            return fail(QStringLiteral("--speed must be a number from %1 to %2").arg(Sim::Replayer::MinSpeed).arg(Sim::Replayer::MaxSpeed));
        Sim::Recording recording = Sim::Recording::load(parser.value(replayOpt));
        if (!recording.ok())
            return fail(QStringLiteral("recording refused: %1").arg(recording.error()));
        out << QStringLiteral("recording of %1 s from %2: %3 routes, %4 detectors, %5 boards, %6 entries")
                       .arg(recording.duration())
                       .arg(recording.start().toString(Qt::ISODate))
                       .arg(recording.initial().routes.size())
                       .arg(recording.initial().detectors.size())
                       .arg(recording.initial().boards.size())
                       .arg(recording.entries().size())
            << Qt::endl;
        Sim::Server server(Sim::Network{});
        server.setTickInterval(0);
        if (tls)
            server.setTlsConfiguration(*tls);
        Sim::Replayer replayer(std::move(recording), &server);
        replayer.setSpeed(speed);
        QObject::connect(&replayer, &Sim::Replayer::finished, &app, [&out, &replayer] {
            out << "replay finished at " << replayer.timeAt(replayer.duration()).toString(Qt::ISODate)
                << "; the last moment is served on" << Qt::endl;
        });
        if (!server.listen(address, port))
            return fail(QStringLiteral("cannot listen on %1: %2").arg(parser.value(listenOpt), server.errorString()));
        out << "prio-sim replaying on " << server.url().toString() << " at " << speed << "x" << Qt::endl;
        replayer.play();
        return app.exec();
    }
    if (parser.isSet(speedOpt))
        return fail(QStringLiteral("--speed goes with --replay"));

    QString error;
    const int period = intOption(parser, periodOpt, 0, 3600000, 1000, &error);
    const auto seed = quint32(intOption(parser, seedOpt, 0, std::numeric_limits<int>::max(), 1, &error));
    Sim::Network network;
    if (parser.isSet(gtfsOpt)) {
        Sim::PopulateOptions populate;
        populate.seed = seed;
        // Left out, these follow the size of the feed.
        populate.detectors = intOption(parser, detectorsOpt, 0, Sim::MaxDetectors, -1, &error);
        populate.emergencyDetectors = intOption(parser, emergencyOpt, 0, Sim::MaxDetectors, -1, &error);
        populate.boards = intOption(parser, boardsOpt, 0, Sim::MaxBoards, -1, &error);
        if (!error.isEmpty())
            return fail(error);
        const Sim::GtfsResult feed = Sim::loadGtfsFeed(parser.value(gtfsOpt), populate);
        for (const QString &w : feed.warnings)
            qCWarning(Sim::lcSim).noquote() << "GTFS:" << w;
        if (!feed.ok)
            return fail(QStringLiteral("GTFS feed refused: %1").arg(feed.error));
        out << QStringLiteral("GTFS feed read in %1 ms: %2 routes, %3 trips, %4 shape points, %5 stops")
                       .arg(feed.stats.elapsedMs)
                       .arg(feed.stats.routes)
                       .arg(feed.stats.trips)
                       .arg(feed.stats.shapePoints)
                       .arg(feed.stats.stops)
            << Qt::endl;
        network = feed.network;
    } else {
        Sim::GeneratorOptions gen;
        gen.seed = seed;
        gen.routes = intOption(parser, routesOpt, 0, Sim::MaxRoutes, gen.routes, &error);
        gen.pointsPerRoute = intOption(parser, pointsOpt, 2, Sim::MaxPointsPerRoute, gen.pointsPerRoute, &error);
        gen.detectors = intOption(parser, detectorsOpt, 0, Sim::MaxDetectors, gen.detectors, &error);
        gen.emergencyDetectors =
                intOption(parser, emergencyOpt, 0, Sim::MaxDetectors, gen.emergencyDetectors, &error);
        gen.boards = intOption(parser, boardsOpt, 0, Sim::MaxBoards, gen.boards, &error);
        if (!error.isEmpty())
            return fail(error);
        network = Sim::generateNetwork(gen);
    }
    if (!error.isEmpty())
        return fail(error);

    out << QStringLiteral("network: %1 routes, %2 detectors, %3 traffic-light controllers, %4 boards")
                   .arg(network.routes.size())
                   .arg(network.detectors.size())
                   .arg(network.trafficLights.size())
                   .arg(network.boards.size())
        << Qt::endl;

    Sim::Server server(std::move(network));
    server.setRole(role);
    server.setTickInterval(period);
    server.world().setChurnEnabled(!parser.isSet(steadyOpt));
    if (tls)
        server.setTlsConfiguration(*tls);
    Sim::Recorder recorder;
    if (parser.isSet(recordOpt)) {
        if (!recorder.open(parser.value(recordOpt)))
            return fail(recorder.errorString());
        server.setRecorder(&recorder);
        out << "recording to " << parser.value(recordOpt) << Qt::endl;
    }
    if (!server.listen(address, port))
        return fail(QStringLiteral("cannot listen on %1: %2").arg(parser.value(listenOpt), server.errorString()));
    out << "prio-sim listening on " << server.url().toString() << Qt::endl;
    const int status = app.exec();
    server.setRecorder(nullptr);
    recorder.finish(server.world());
    return status;
}
