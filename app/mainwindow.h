#pragma once

#include <QMainWindow>
#include <QPointer>
#include <QRectF>
#include <QStringList>
#include <QTimer>

#include "mapobject.h"

class DemoHost;
class QLabel;
class QMenu;
class QModelIndex;
class QTreeView;
class SettingsPanel;
class TimelineWidget;
class PositionTimeline;
class TreeSortModel;

namespace Road {
class MapView;
}

// The demo host's window: the map in the middle, the object tree, the settings panel and the
// board timeline in docks, the connection state and the plug-in's errors in the status bar.
// Context menus on tree rows and map objects carry the operator commands and queries, which
// reach the plug-in by name only.
class MainWindow : public QMainWindow
{
    Q_OBJECT
public:
    explicit MainWindow(DemoHost *host, QWidget *parent = nullptr);
    ~MainWindow() override;

    Road::MapView *mapView() const { return m_view; }
    QTreeView *objectTree() const { return m_tree; }
    TimelineWidget *timeline() const;
    // The server's position update period: a board whose last position is older is shown
    // stale in the tree.
    void setUpdatePeriod(int ms);
    static constexpr int DefaultUpdatePeriodMs = 1000;
    SettingsPanel *settingsPanel() const { return m_settings; }

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
    // map is centred on it.
    void selectObject(QObject *object, bool centre);
    QObject *selectedObject() const { return m_selected.data(); }
    // The tree view's row of one of the plug-in's objects; invalid when it has none.
    QModelIndex treeIndexOf(QObject *object) const;

    QStringList rpcErrors() const { return m_errors; }
    QString connectionText() const;

    // Errors kept for the status bar's tool tip.
    static constexpr int MaxKeptErrors = 50;
    // Route bounds are checked this often until the map has been fitted to them.
    static constexpr int StatusIntervalMs = 500;

public slots:
    void showRpcError(const QString &message);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    void createDocks();
    void createMenus();
    void createStatusBar();
    void onConnectionChanged(bool connected);
    void onTreeCurrentChanged(const QModelIndex &current);
    void expandSections(const QModelIndex &parent, int first, int last);
    void onTreeContextMenu(const QPoint &pos);
    void showObjectMenu(QObject *object, const QPoint &globalPos);
    QObject *objectAtMap(const QPoint &viewportPos) const;
    // Between the tree view's rows and the objects they list.
    QObject *objectOfIndex(const QModelIndex &viewIndex) const;
    void updateStatus();
    // Keeps every loaded route drawn, or only the selected one.
    void applyRouteVisibility();
    QRectF loadedRouteBounds() const;

    void askProperties(const MapObjectRef &ref, bool controller);
    void askRouteForBoard(const QString &board, int currentRoute);
    void showAnswer(const QString &title, const QVariant &answer);
    void showWebUrl();

    DemoHost *m_host;
    Road::MapView *m_view;
    QTreeView *m_tree = nullptr;
    TreeSortModel *m_treeModel = nullptr;
    PositionTimeline *m_timeline = nullptr;
    SettingsPanel *m_settings = nullptr;
    QLabel *m_connection = nullptr;
    QLabel *m_counts = nullptr;
    QLabel *m_zoom = nullptr;
    QLabel *m_errorCount = nullptr;
    QStringList m_errors;
    int m_errorTotal = 0;
    QPointer<QObject> m_selected;
    bool m_selectingFromMap = false;
    QPoint m_pressPos;
    QTimer m_statusTimer;
    QRectF m_expectedArea;
    QRectF m_lastBounds;
    bool m_fitted = false;
    bool m_shownOnce = false;
};
