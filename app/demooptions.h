#pragma once

#include <QString>
#include <QStringList>
#include <QUrl>

// What the demo program was asked to do on its command line.
struct DemoOptions
{
    // The plug-in module to load; empty: the one built beside the program.
    QString pluginPath;
    // A server to connect to; empty: run the embedded simulator and connect to it.
    QUrl serverUrl;
    // A GTFS feed for the embedded simulator; empty: a generated network.
    QString gtfsDir;
    // A recording for the embedded simulator to replay instead of simulating.
    QString replayFile;
    // A certificate authority to trust besides the system's, for a wss:// server.
    QString caFile;
    // A connection with no message from the server for longer than this is shown silent.
    int silentAfterSeconds = 10;
    // Base directory of the project, which names the plug-in's geometry cache.
    QString projectDir;
    // Render the window to this PNG after screenshotDelaySeconds, then quit.
    QString screenshotFile;
    double screenshotDelaySeconds = 0.0;
    bool helpRequested = false;
};

namespace DemoCommandLine {

constexpr int MaxSilentAfterSeconds = 3600;
// A screenshot more than an hour away is a typo, not a plan.
constexpr double MaxScreenshotDelaySeconds = 3600.0;
// Taken when --screenshot comes without --after.
constexpr double DefaultScreenshotDelaySeconds = 6.0;

// Parses the program's arguments (the program name first). On failure returns false and
// says why in *error; the fields of *options are then unspecified.
bool parse(const QStringList &arguments, DemoOptions *options, QString *error);

// Qt's application object takes -plugin and --plugin for its own generic plug-ins and drops
// them from the arguments, so ours is taken out of argv before the application sees it:
// "--plugin PATH", "--plugin=PATH" or the single-dash forms. Returns the path (empty if not
// given) and removes the option from argc/argv; *ok is false when the path is missing.
QString takePluginOption(int &argc, char **argv, bool *ok);

// The text of --help.
QString helpText();

} // namespace DemoCommandLine
