#include "demooptions.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <cmath>

namespace DemoCommandLine {

namespace {

struct Parser
{
    QCommandLineParser parser;
    QCommandLineOption help{{QStringLiteral("h"), QStringLiteral("help")},
                            QStringLiteral("Show this help and quit.")};
    QCommandLineOption server{QStringLiteral("server"),
                              QStringLiteral("Connect to the traffic-priority server at URL "
                                             "instead of starting the embedded simulator."),
                              QStringLiteral("ws://HOST:PORT")};
    QCommandLineOption gtfs{QStringLiteral("gtfs"),
                            QStringLiteral("Feed the GTFS network in DIR to the embedded simulator."),
                            QStringLiteral("DIR")};
    QCommandLineOption replay{QStringLiteral("replay"),
                              QStringLiteral("Replay the recording in FILE (made by prio-sim --record) in "
                                             "the embedded simulator, with controls to play, pause, speed up "
                                             "and seek."),
                              QStringLiteral("FILE")};
    QCommandLineOption ca{QStringLiteral("ca"),
                          QStringLiteral("Trust the certificate authorities in the PEM FILE, besides the "
                                         "system's, for a wss:// server."),
                          QStringLiteral("FILE")};
    QCommandLineOption silentAfter{QStringLiteral("silent-after"),
                                   QStringLiteral("Show the connection as silent when nothing has come from "
                                                  "the server for SECONDS (default 10)."),
                                   QStringLiteral("SECONDS")};
    QCommandLineOption project{QStringLiteral("project"),
                               QStringLiteral("Base directory of the project (default: the "
                                              "current directory)."),
                               QStringLiteral("DIR")};
    QCommandLineOption plugin{QStringLiteral("plugin"),
                              QStringLiteral("Load the traffic-priority plug-in from PATH."),
                              QStringLiteral("PATH")};
    QCommandLineOption screenshot{QStringLiteral("screenshot"),
                                  QStringLiteral("Render the window to FILE.png and quit."),
                                  QStringLiteral("FILE.png")};
    QCommandLineOption after{QStringLiteral("after"),
                             QStringLiteral("Seconds to wait before the screenshot (default 6)."),
                             QStringLiteral("SECONDS")};

    Parser()
    {
        parser.setApplicationDescription(
                QStringLiteral("Demo host of the traffic-priority plug-in: a map, the object "
                               "tree and a timeline, live from a traffic-priority server."));
        parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
        parser.addOptions({help, server, gtfs, replay, ca, silentAfter, project, plugin, screenshot, after});
    }
};

bool fail(QString *error, const QString &why)
{
    if (error)
        *error = why;
    return false;
}

} // namespace

bool parse(const QStringList &arguments, DemoOptions *options, QString *error)
{
    Parser p;
    if (!p.parser.parse(arguments))
        return fail(error, p.parser.errorText());
    if (!p.parser.positionalArguments().isEmpty())
        return fail(error, QStringLiteral("Unexpected argument: %1")
                                   .arg(p.parser.positionalArguments().constFirst()));

    DemoOptions o;
    o.helpRequested = p.parser.isSet(p.help);

    if (p.parser.isSet(p.server)) {
        const QString text = p.parser.value(p.server);
        const QUrl url(text, QUrl::StrictMode);
        const QString scheme = url.scheme();
        if (!url.isValid() || (scheme != QLatin1String("ws") && scheme != QLatin1String("wss"))
            || url.host().isEmpty() || url.port() <= 0)
            return fail(error, QStringLiteral("--server needs a WebSocket URL with a host and a "
                                              "port, such as ws://127.0.0.1:8090, not '%1'")
                                       .arg(text));
        o.serverUrl = url;
    }

    if (p.parser.isSet(p.gtfs)) {
        if (!o.serverUrl.isEmpty())
            return fail(error, QStringLiteral("--gtfs feeds the embedded simulator, which "
                                              "--server replaces: give one of them"));
        const QFileInfo dir(p.parser.value(p.gtfs));
        if (!dir.isDir())
            return fail(error, QStringLiteral("--gtfs: '%1' is not a directory")
                                       .arg(p.parser.value(p.gtfs)));
        o.gtfsDir = dir.absoluteFilePath();
    }

    if (p.parser.isSet(p.replay)) {
        if (!o.serverUrl.isEmpty() || !o.gtfsDir.isEmpty())
            return fail(error, QStringLiteral("--replay plays a recording in the embedded simulator, which "
                                              "--server and --gtfs do not go with"));
        o.replayFile = QFileInfo(p.parser.value(p.replay)).absoluteFilePath();
    }

    if (p.parser.isSet(p.ca)) {
        if (o.serverUrl.scheme() != QLatin1String("wss"))
            return fail(error, QStringLiteral("--ca goes with a wss:// --server"));
        o.caFile = p.parser.value(p.ca);
    }

    if (p.parser.isSet(p.silentAfter)) {
        bool ok = false;
        o.silentAfterSeconds = p.parser.value(p.silentAfter).toInt(&ok);
        if (!ok || o.silentAfterSeconds < 1 || o.silentAfterSeconds > MaxSilentAfterSeconds)
            return fail(error, QStringLiteral("--silent-after needs whole seconds from 1 to %1, not '%2'")
                                       .arg(MaxSilentAfterSeconds)
                                       .arg(p.parser.value(p.silentAfter)));
    }

    const QString projectDir = p.parser.isSet(p.project) ? p.parser.value(p.project) : QDir::currentPath();
    if (projectDir.isEmpty())
        return fail(error, QStringLiteral("--project needs a directory"));
    o.projectDir = QFileInfo(projectDir).absoluteFilePath();

    if (p.parser.isSet(p.plugin)) {
        o.pluginPath = p.parser.value(p.plugin);
        if (o.pluginPath.isEmpty())
            return fail(error, QStringLiteral("--plugin needs the path of the plug-in module"));
    }

    if (p.parser.isSet(p.after) && !p.parser.isSet(p.screenshot))
        return fail(error, QStringLiteral("--after only goes with --screenshot"));
    if (p.parser.isSet(p.screenshot)) {
        o.screenshotFile = p.parser.value(p.screenshot);
        if (o.screenshotFile.isEmpty())
            return fail(error, QStringLiteral("--screenshot needs a file name"));
        o.screenshotDelaySeconds = DefaultScreenshotDelaySeconds;
        if (p.parser.isSet(p.after)) {
            bool ok = false;
            const double seconds = p.parser.value(p.after).toDouble(&ok);
            if (!ok || !std::isfinite(seconds) || seconds < 0.0 || seconds > MaxScreenshotDelaySeconds)
                return fail(error, QStringLiteral("--after needs a number of seconds from 0 to %1, "
                                                  "not '%2'")
                                           .arg(MaxScreenshotDelaySeconds)
                                           .arg(p.parser.value(p.after)));
            o.screenshotDelaySeconds = seconds;
        }
    }

    *options = o;
    return true;
}

QString takePluginOption(int &argc, char **argv, bool *ok)
{
    *ok = true;
    QString path;
    int out = 1;
    for (int in = 1; in < argc; ++in) {
        const QByteArray arg(argv[in]);
        const QByteArray bare = arg.startsWith("--") ? arg.mid(1) : arg;
        if (bare == "-plugin") {
            if (in + 1 >= argc || QByteArray(argv[in + 1]).isEmpty()) {
                *ok = false;
            } else {
                path = QString::fromLocal8Bit(argv[in + 1]);
                ++in;
            }
            continue;
        }
        if (bare.startsWith("-plugin=")) {
            path = QString::fromLocal8Bit(bare.mid(int(qstrlen("-plugin="))));
            if (path.isEmpty())
                *ok = false;
            continue;
        }
        argv[out++] = argv[in];
    }
    if (out < argc)
        argv[out] = nullptr;
    argc = out;
    return path;
}

QString helpText()
{
    Parser p;
    return p.parser.helpText();
}

} // namespace DemoCommandLine
