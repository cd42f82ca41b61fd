#pragma once

#include <QMainWindow>
#include <QPointer>
#include <QRectF>
#include <QStringList>
#include <QTimer>

class BoardFollower;
class CommandLog;
class CommandRunner;
class ConnectionHealth;
class ConsoleStatusBar;
class DemoHost;
class LastKnownPicture;
class LegendPanel;
class MapNavigation;
class MapOverlay;
class MessageBar;
class ObjectLooks;
class ObjectMenu;
class ObjectTree;
class PositionTimeline;
class QMenu;
class QModelIndex;
class SearchBar;
class SettingsPanel;
class StaleBoardMarks;
class TimelineWidget;

namespace Sim {
class Replayer;
}

namespace Road {
class MapView;
}

// The demo host's window, an operator's console: the map in the middle with the lines the
// operator must read above it, the boards gone quiet marked on it and, while the connection
// is lost, the last picture it showed; the object tree, the legend, the display settings,
// the board timeline and the command log in docks; search and follow in the tool bar, the
// controls of a replay below; the census, the role and the connection's health in the
// status bar. Every part is a class of its own; this window only wires them together and
// keeps the one selection they share.
class MainWindow : public QMainWindow
{
    Q_OBJECT
public:
    explicit MainWindow(DemoHost *host, QWidget *parent = nullptr);
    ~MainWindow() override;

    Road::MapView *mapView() const { return m_view; }
    ObjectTree *objectTree() const { return m_tree; }
    TimelineWidget *timeline() const;
    SettingsPanel *settingsPanel() const { return m_settings; }
    ConsoleStatusBar *consoleStatusBar() const { return m_status; }
    MessageBar *messageBar() const { return m_messages; }
    CommandLog *commandLog() const { return m_log; }
    CommandRunner *commandRunner() const { return m_runner; }
    SearchBar *searchBar() const { return m_search; }
    BoardFollower *follower() const { return m_follower; }
    LegendPanel *legend() const { return m_legend; }
    MapOverlay *mapOverlay() const { return m_overlay; }
    MapNavigation *navigation() const { return m_navigation; }
    ConnectionHealth *connectionHealth() const { return m_health; }
    LastKnownPicture *lastKnownPicture() const { return m_picture; }
    StaleBoardMarks *staleBoardMarks() const { return m_stale; }

    // The server's position update period: a board whose last position is older is shown
    // stale in the tree and on the map (0: none is).
    void setUpdatePeriod(int ms);
    // Adds the controls of the replay the window shows.
    void showReplay(Sim::Replayer *replayer);
    // Why the network the demo was to serve could not be had (a refused GTFS feed or
    // recording), and what was odd about the one it serves.
    void showSourceProblems(const QString &error, const QStringList &warnings);
    static constexpr int DefaultUpdatePeriodMs = 1000;

    // Hands the map view and the timeline to the started plug-in, shows its settings and
    // listens to its rpcError. False when the plug-in refused any of it.
    bool bindPlugin();
    // Where the network should be, before any route has arrived (degrees).
    void setExpectedArea(const QRectF &lonLat);
    // Whether the map has been fitted to the routes the plug-in loaded.
    bool fittedToNetwork() const { return m_fitted; }

    // The commands and queries for one of the plug-in's objects (the caller owns the menu);
    // null for anything else.
    QMenu *createObjectMenu(QObject *object, QWidget *parent);
    // Selects one of the plug-in's objects (null: none) and its tree row; with centre, the
    // map goes to it.
    void selectObject(QObject *object, bool centre);
    QObject *selectedObject() const { return m_selected.data(); }
    // The tree view's row of one of the plug-in's objects; invalid when it has none.
    QModelIndex treeIndexOf(QObject *object) const;

    QStringList rpcErrors() const;

    // The status bar and the route visibility are brought up to date this often, and the
    // map is fitted once the routes' bounds hold still over one such period.
    static constexpr int StatusIntervalMs = 500;

public slots:
    void showRpcError(const QString &message);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    void createDocks();
    void createActions();
    void onConnectionChanged(bool connected);
    void showObjectMenu(QObject *object, const QPoint &globalPos);
    QObject *objectAtMap(const QPoint &viewportPos) const;
    QVector<QObject *> listedObjects() const;
    void updateStatus();
    void toggleFollow();
    // Keeps every loaded route drawn, or only the selected one.
    void applyRouteVisibility();
    QRectF loadedRouteBounds() const;

    DemoHost *m_host;
    Road::MapView *m_view;
    ObjectLooks *m_looks;
    CommandLog *m_log;
    CommandRunner *m_runner;
    ObjectMenu *m_menu;
    MessageBar *m_messages;
    ConsoleStatusBar *m_status;
    MapOverlay *m_overlay;
    ConnectionHealth *m_health;
    LastKnownPicture *m_picture;
    MapNavigation *m_navigation;
    BoardFollower *m_follower;
    SearchBar *m_search;
    ObjectTree *m_tree = nullptr;
    PositionTimeline *m_timeline = nullptr;
    SettingsPanel *m_settings = nullptr;
    LegendPanel *m_legend = nullptr;
    StaleBoardMarks *m_stale = nullptr;
    QPointer<QObject> m_selected;
    QPoint m_pressPos;
    QTimer m_statusTimer;
    QRectF m_expectedArea;
    QRectF m_lastBounds;
    bool m_fitted = false;
    bool m_shownOnce = false;
};
