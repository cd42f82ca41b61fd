// prio-demo: a host for the traffic-priority plug-in, live against a server or the embedded
// simulator.
//   prio-demo                                   embedded simulator, generated city
//   prio-demo --gtfs DIR                        embedded simulator on a GTFS feed
//   prio-demo --replay FILE                     embedded simulator replaying a recording
//   prio-demo --server ws://HOST:PORT           another server (wss:// with --ca FILE)
//   prio-demo --screenshot FILE.png --after S   picture of the window after S seconds, then quit

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QGraphicsObject>
#include <QLoggingCategory>
#include <QTextStream>
#include <QTimer>

#include <memory>

#include "demohost.h"
#include "demooptions.h"
#include "demosource.h"
#include "mainwindow.h"
#include "mapnavigation.h"
#include "mapobject.h"
#include "jsonrpc/connectionkeeper.h"
#include "jsonrpc/jsonrpcobject.h"
#include "jsonrpc/trust.h"
#include "sim/replayer.h"
#include "sim/server.h"

namespace {

// The first wait before trying again to reach a server that is down; each later one is
// longer, up to half a minute.
constexpr int FirstRetryMs = 1000;
// The closer look of a screenshot run: time for the view to settle there.
constexpr int DetailDelayMs = 1500;

int fail(const QString &message)
{
    QTextStream(stderr) << "prio-demo: " << message << Qt::endl;
    return 1;
}

} // namespace

int main(int argc, char *argv[])
{
    bool pluginOptionOk = true;
    const QString pluginOption = DemoCommandLine::takePluginOption(argc, argv, &pluginOptionOk);
    QApplication app(argc, argv);
    // The plug-in keeps its display settings in the application's store: ours.
    QCoreApplication::setOrganizationName(QStringLiteral("Lumen"));
    QCoreApplication::setApplicationName(QStringLiteral("TrafficPriorityDemo"));

    DemoOptions options;
    QString error;
    if (!DemoCommandLine::parse(QCoreApplication::arguments(), &options, &error)) {
        QTextStream(stderr) << "prio-demo: " << error << "\n\n" << DemoCommandLine::helpText();
        return 2;
    }
    if (!pluginOptionOk) {
        QTextStream(stderr) << "prio-demo: --plugin needs the path of the plug-in module\n";
        return 2;
    }
    if (!pluginOption.isEmpty())
        options.pluginPath = pluginOption;
    if (options.helpRequested) {
        QTextStream(stdout) << DemoCommandLine::helpText();
        return 0;
    }
    QTextStream out(stdout);

    // Declared before the host so that the simulator outlives the client connected to it.
    const DemoSource source(options);
    if (!source.summary().isEmpty())
        out << "Embedded simulator at " << source.url().toString() << ": " << source.summary() << Qt::endl;
    if (!source.error().isEmpty())
        QTextStream(stderr) << "prio-demo: " << source.error() << Qt::endl;
    DemoHost host;
    host.setProjectDir(options.projectDir);
    const QString pluginPath = options.pluginPath.isEmpty() ? QStringLiteral(PRIO_PLUGIN_PATH) : options.pluginPath;
    if (!host.loadPlugin(pluginPath))
        return fail(host.errorString());
    const QUrl serverUrl = source.url();
    if (serverUrl.scheme() == QLatin1String("wss")) {
        QSslConfiguration trust;
        if (!JsonRpcTrust::configuration(options.caFile, &trust, &error))
            return fail(error);
        host.rpcClient()->setSslConfiguration(trust);
    }

    MainWindow window(&host);
    if (source.replayer())
        window.showReplay(source.replayer());
    else if (source.simulator())
        window.setUpdatePeriod(source.simulator()->tickInterval());
    window.showSourceProblems(source.error(), source.warnings());
    if (!host.startPlugin())
        return fail(QStringLiteral("%1 (see the [PriorityPlugin] messages above)").arg(host.errorString()));
    if (!window.bindPlugin())
        return fail(QStringLiteral("the plug-in at %1 does not offer the host interface").arg(pluginPath));
    window.setExpectedArea(source.expectedArea());
    host.keeper()->setSilentAfterMs(options.silentAfterSeconds * 1000);
    if (serverUrl.isValid())
        host.connectToServer(serverUrl, FirstRetryMs);
    if (source.replayer())
        source.replayer()->play();

    if (!options.screenshotFile.isEmpty()) {
        // A screenshot run shows a fixed size, whatever the last session left behind.
        window.resize(1280, 800);
        const QString file = QFileInfo(options.screenshotFile).absoluteFilePath();
        QTimer::singleShot(int(options.screenshotDelaySeconds * 1000), &window, [&window, &host, file] {
            if (!window.grab().save(file, "PNG")) {
                QTextStream(stderr) << "prio-demo: cannot write the screenshot to " << file << Qt::endl;
                QCoreApplication::exit(1);
                return;
            }
            QTextStream(stdout) << "Screenshot written to " << file << Qt::endl;
            // Then a closer look at a detector lit at that moment, if one is: zones along the
            // routes are tens of metres, too small to see on the whole city. The detector is
            // selected, so that it stays drawn (in the colour of its state by then) even if
            // the vehicle has left it.
            QObject *lit = nullptr;
            for (QObject *object : listedObjects(host.itemModel())) {
                auto *item = qobject_cast<QGraphicsObject *>(object);
                if (MapObjectRef::of(object).kind == MapObjectRef::Detector && item && item->isVisible()) {
                    lit = object;
                    break;
                }
            }
            if (!lit) {
                QTextStream(stdout) << "No detector was lit; no closer look" << Qt::endl;
                QCoreApplication::exit(0);
                return;
            }
            const QString what = QStringLiteral("detector %1 (%2)")
                                     .arg(MapObjectRef::of(lit).id)
                                     .arg(lit->property("active").toBool() ? QStringLiteral("active")
                                                                            : QStringLiteral("a vehicle inside"));
            window.selectObject(lit, false);
            window.navigation()->zoomTo(lit);
            const QString detail = QFileInfo(file).path() + QLatin1Char('/') + QFileInfo(file).completeBaseName()
                + QStringLiteral("-detail.png");
            QTimer::singleShot(DetailDelayMs, &window, [&window, detail, what] {
                const bool saved = window.grab().save(detail, "PNG");
                if (saved)
                    QTextStream(stdout) << "Screenshot of " << what << ", lit at the first picture, written to "
                                        << detail << Qt::endl;
                QCoreApplication::exit(saved ? 0 : 1);
            });
        });
    }
    window.show();
    return app.exec();
}
