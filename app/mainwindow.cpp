#include "mainwindow.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QDockWidget>
#include <QFileDialog>
#include <QGraphicsObject>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMouseEvent>
#include <QScrollArea>
#include <QSettings>
#include <QToolBar>

#include "boardfollower.h"
#include "commandlog.h"
#include "commandlogview.h"
#include "commandrunner.h"
#include "connectionhealth.h"
#include "consolestatusbar.h"
#include "demohost.h"
#include "jsonrpc/connectionkeeper.h"
#include "jsonrpc/jsonrpcobject.h"
#include "kernel/mapview.h"
#include "kernel/roaditemmodel.h"
#include "lastknownpicture.h"
#include "legendpanel.h"
#include "mapnavigation.h"
#include "mapobject.h"
#include "mapoverlay.h"
#include "messagebar.h"
#include "networkcensus.h"
#include "objectlooks.h"
#include "objectmenu.h"
#include "objecttree.h"
#include "positiontimeline.h"
#include "replaybar.h"
#include "searchbar.h"
#include "settingspanel.h"
#include "sim/replayer.h"
#include "staleboardmarks.h"
#include "treesortmodel.h"

namespace {

const QString GeometryKey = QStringLiteral("Demo/geometry");
const QString WindowStateKey = QStringLiteral("Demo/window_state");
// Shown before the plug-in has loaded anything, when nothing better is known.
constexpr int DefaultZoom = 12;

QDockWidget *dock(QMainWindow *window, const QString &title, const char *name, QWidget *content, Qt::DockWidgetArea area)
{
    auto *d = new QDockWidget(title, window);
    d->setObjectName(QString::fromLatin1(name));
    d->setWidget(content);
    window->addDockWidget(area, d);
    return d;
}

// Panels taller than the window scroll instead of stretching it.
QWidget *scrolled(QWidget *panel)
{
    auto *area = new QScrollArea;
    area->setWidget(panel);
    area->setWidgetResizable(true);
    area->setFrameShape(QFrame::NoFrame);
    area->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    return area;
}

} // namespace

MainWindow::MainWindow(DemoHost *host, QWidget *parent)
    : QMainWindow(parent)
    , m_host(host)
    , m_view(new Road::MapView)
    , m_looks(new ObjectLooks(host->rpcClient(), this))
    , m_log(new CommandLog(this))
    , m_runner(new CommandRunner(host, m_log, this))
    , m_menu(new ObjectMenu(host, m_runner, this))
    , m_messages(new MessageBar(m_view))
    , m_status(new ConsoleStatusBar(this))
    , m_overlay(new MapOverlay(m_view))
    , m_health(new ConnectionHealth(host->keeper()))
    , m_picture(new LastKnownPicture(m_view))
    , m_navigation(new MapNavigation(m_view, [this] { return loadedRouteBounds(); }))
    , m_follower(new BoardFollower(m_view, host->rpcClient()))
    , m_search(new SearchBar([this] { return listedObjects(); }))
{
    setWindowTitle(tr("Traffic priority — operator's console (demo host)"));
    m_view->setObjectName(QStringLiteral("mapView"));
    m_view->setScene(host->scene());
    m_view->setBackgroundBrush(QColor(0xf2, 0xef, 0xe9));
    m_view->viewport()->installEventFilter(this);
    setCentralWidget(m_view);
    setStatusBar(m_status);
    m_status->addPermanentWidget(m_health);

    createDocks();
    createActions();

    connect(host, &DemoHost::connectionChanged, this, &MainWindow::onConnectionChanged);
    connect(host, &DemoHost::connectionProblem, this, [this](const QString &message) { m_status->showMessage(message, 10000); });
    connect(m_view, &Road::MapView::zoomChanged, m_status, &ConsoleStatusBar::setZoom);
    connect(m_view, &Road::MapView::zoomChanged, m_settings, &SettingsPanel::setCurrentZoom);
    connect(m_settings, &SettingsPanel::showAllRoutesChanged, this, &MainWindow::applyRouteVisibility);
    connect(m_tree, &ObjectTree::objectChosen, this, [this](QObject *object) { selectObject(object, true); });
    connect(m_tree, &ObjectTree::objectMenuRequested, this, &MainWindow::showObjectMenu);
    connect(m_search, &SearchBar::found, this, [this](QObject *object) { selectObject(object, true); });
    connect(m_menu, &ObjectMenu::followRequested, this, [this](QObject *board) {
        selectObject(board, true);
        m_follower->follow(board);
    });
    connect(m_menu, &ObjectMenu::zoomRequested, this, [this](QObject *object) {
        selectObject(object, false);
        m_navigation->zoomTo(object);
    });
    connect(m_follower, &BoardFollower::followingChanged, this, [this](QObject *board) {
        m_overlay->setFollowing(board ? tr("Following %1 (Esc or a drag stops)").arg(MapObjectRef::of(board).title()) : QString());
    });
    connect(m_runner, &CommandRunner::confirmed, m_messages,
            [this](int, const QString &line) { m_messages->showMessage(MessageBar::Confirmation, line); });
    connect(m_runner, &CommandRunner::refused, m_messages,
            [this](int, const QString &text) { m_messages->showMessage(MessageBar::Refusal, text); });
    connect(m_runner, &CommandRunner::permissionsChanged, this, [this] { m_status->setRole(m_runner->role()); });

    m_statusTimer.setInterval(StatusIntervalMs);
    connect(&m_statusTimer, &QTimer::timeout, this, &MainWindow::updateStatus);
    m_statusTimer.start();

    const QSettings settings;
    if (!restoreGeometry(settings.value(GeometryKey).toByteArray()))
        resize(1280, 800);
    restoreState(settings.value(WindowStateKey).toByteArray());
}

MainWindow::~MainWindow() = default;

void MainWindow::createDocks()
{
    m_tree = new ObjectTree(m_host->itemModel());
    m_tree->sortModel()->setPositionAge(
        [this](const QString &board) { return m_timeline ? m_timeline->positionAgeMs(board) : -1; }, DefaultUpdatePeriodMs);
    m_settings = new SettingsPanel;
    m_legend = new LegendPanel(m_looks, [this] { return listedObjects(); });
    m_legend->setObjectName(QStringLiteral("legend"));
    m_timeline = new PositionTimeline;
    m_timeline->setObjectName(QStringLiteral("timeline"));
    m_timeline->setMinimumHeight(140);
    m_stale = new StaleBoardMarks(
        m_view, [this] { return listedObjects(); }, [this](const QString &board) { return m_timeline->positionAgeMs(board); });

    QDockWidget *tree = dock(this, tr("Objects"), "objectsDock", m_tree, Qt::LeftDockWidgetArea);
    QDockWidget *legend = dock(this, tr("Legend"), "legendDock", scrolled(m_legend), Qt::RightDockWidgetArea);
    QDockWidget *settings = dock(this, tr("Display"), "settingsDock", scrolled(m_settings), Qt::RightDockWidgetArea);
    tabifyDockWidget(legend, settings);
    legend->raise();
    QDockWidget *timeline = dock(this, tr("Schedule offsets"), "timelineDock", m_timeline, Qt::BottomDockWidgetArea);
    QDockWidget *log = dock(this, tr("Command log"), "commandLogDock", new CommandLogView(m_log, m_runner), Qt::BottomDockWidgetArea);
    splitDockWidget(timeline, log, Qt::Horizontal);
    // The tree runs the full height on the left; the timeline and the log span the rest below.
    setCorner(Qt::BottomLeftCorner, Qt::LeftDockWidgetArea);
    setCorner(Qt::BottomRightCorner, Qt::BottomDockWidgetArea);
    resizeDocks({tree, legend}, {330, 300}, Qt::Horizontal);
    resizeDocks({timeline, log}, {360, 580}, Qt::Horizontal);
    resizeDocks({timeline}, {190}, Qt::Vertical);
}

void MainWindow::createActions()
{
    const auto action = [this](QMenu *menu, const QString &text, const QKeySequence &key, auto &&slot) {
        QAction *a = menu->addAction(text, this, slot);
        a->setShortcut(key);
        // Kept working while the menu bar is hidden or another part has the focus.
        addAction(a);
        return a;
    };
    QMenu *file = menuBar()->addMenu(tr("&File"));
    file->addAction(tr("Save &picture of the window…"), this, [this] {
        const QString name = QFileDialog::getSaveFileName(this, tr("Save picture"), QStringLiteral("console.png"),
                                                          tr("PNG pictures (*.png)"));
        if (!name.isEmpty() && !grab().save(name, "PNG"))
            m_status->showMessage(tr("Could not write %1").arg(name), 10000);
    });
    file->addSeparator();
    action(file, tr("&Quit"), QKeySequence::Quit, [this] { close(); });

    QMenu *server = menuBar()->addMenu(tr("&Server"));
    QAction *ask = server->addAction(tr("&Ask before safety-critical commands"));
    ask->setObjectName(QStringLiteral("askFirst"));
    ask->setCheckable(true);
    ask->setChecked(m_runner->asksFirst());
    connect(ask, &QAction::toggled, m_runner, &CommandRunner::setAsksFirst);
    server->addAction(tr("&Web address…"), m_menu, &ObjectMenu::showWebUrl);
    server->addAction(tr("&Reconnect now"), m_host->keeper(), &ConnectionKeeper::reconnectNow);

    QMenu *view = menuBar()->addMenu(tr("&View"));
    action(view, tr("&Find…"), QKeySequence::Find, [this] { m_search->activate(); });
    action(view, tr("F&ollow the selected board"), QKeySequence(Qt::Key_F), [this] { toggleFollow(); });
    action(view, tr("&Zoom to the selection"), QKeySequence(Qt::Key_Z), [this] { m_navigation->zoomTo(m_selected); });
    action(view, tr("&Clear the selection"), QKeySequence(Qt::Key_Escape), [this] {
        selectObject(nullptr, false);
        if (m_search->field()->hasFocus())
            m_view->setFocus();
    });
    view->addAction(tr("Show the whole &network (Home on the map)"), m_navigation, &MapNavigation::showNetwork);
    view->addSeparator();
    for (QDockWidget *d : findChildren<QDockWidget *>())
        view->addAction(d->toggleViewAction());

    QToolBar *tools = addToolBar(tr("Console"));
    tools->setObjectName(QStringLiteral("consoleTools"));
    tools->setMovable(false);
    tools->addWidget(m_search);
}

bool MainWindow::bindPlugin()
{
    const PluginHandle plugin = m_host->plugin();
    bool ok = m_host->setView(m_view);
    ok = m_host->registerTimeline(m_timeline) && ok;
    ok = plugin.connectRpcError(this, "showRpcError(QString)") && ok;
    m_settings->setPlugin(plugin);
    m_settings->applySavedMinZoom();
    // The zoom the view had before the plug-in listened.
    m_settings->setCurrentZoom(m_view->zoom());
    // A filter left on by the last session hides boards from the first moment: say so.
    const QString name = plugin.vehicleNameFilter(), description = plugin.vehicleDescrFilter();
    if (!name.isEmpty() || !description.isEmpty())
        m_messages->showMessage(MessageBar::Notice,
                                tr("Vehicle filters from the last session are on (name: %1; description: %2): boards "
                                   "that do not match are not shown. The Display panel changes them.")
                                    .arg(name.isEmpty() ? tr("any") : name, description.isEmpty() ? tr("any") : description));
    return ok;
}

void MainWindow::setExpectedArea(const QRectF &lonLat)
{
    m_expectedArea = lonLat;
    if (m_shownOnce && !m_fitted && !lonLat.isEmpty())
        m_view->showRect(lonLat);
}

void MainWindow::onConnectionChanged(bool connected)
{
    m_health->refresh();
    // The plug-in hears of a loss after the host: its items are still on the map.
    if (!connected && !listedObjects().isEmpty())
        m_picture->freeze(QDateTime::currentDateTime(), m_timeline->latestPositionTime());
    // A new session may be another server: what the timeline showed belongs to the last one.
    if (connected)
        m_timeline->clear();
}

void MainWindow::showRpcError(const QString &message)
{
    m_status->addServerError(message);
}

QStringList MainWindow::rpcErrors() const
{
    return m_status->serverErrors();
}

TimelineWidget *MainWindow::timeline() const
{
    return m_timeline;
}

void MainWindow::setUpdatePeriod(int ms)
{
    m_tree->sortModel()->setPositionAge(
        [this](const QString &board) { return m_timeline ? m_timeline->positionAgeMs(board) : -1; }, ms);
    m_stale->setUpdatePeriod(ms);
}

void MainWindow::showReplay(Sim::Replayer *replayer)
{
    auto *bar = new ReplayBar(replayer, this);
    addToolBar(Qt::BottomToolBarArea, bar);
    connect(bar, &ReplayBar::updatePeriodChanged, this, &MainWindow::setUpdatePeriod);
    setUpdatePeriod(replayer->isPlaying() ? int(replayer->recording().periodMs() / replayer->speed()) : 0);
}

void MainWindow::showSourceProblems(const QString &error, const QStringList &warnings)
{
    if (!error.isEmpty())
        m_messages->showMessage(MessageBar::Refusal, error);
    if (!warnings.isEmpty())
        m_messages->showMessage(MessageBar::Notice, tr("%n warning(s) about the network: ", nullptr, warnings.size())
                                                        + warnings.mid(0, 3).join(QStringLiteral("; "))
                                                        + (warnings.size() > 3 ? QStringLiteral("; …") : QString()));
}

QVector<QObject *> MainWindow::listedObjects() const
{
    return ::listedObjects(m_host->itemModel());
}

void MainWindow::updateStatus()
{
    // Boards go stale as time passes, without any change in the model: repaint the rows.
    m_tree->viewport()->update();
    const NetworkCensus census = NetworkCensus::take(listedObjects(), *m_looks);
    const bool loading = m_host->isConnected() && (census.routes == 0 || !census.geometryComplete())
        && m_host->rpcClient()->pendingCount() > 0;
    m_status->setCensus(loading ? census.loadingText() : census.boardsText());
    const PluginHandle plugin = m_host->plugin();
    const bool filtered = !plugin.vehicleNameFilter().isEmpty() || !plugin.vehicleDescrFilter().isEmpty();
    m_status->setShownBoards(filtered ? census.shownText() : QString());
    m_health->refresh();
    m_stale->refresh();
    if (m_picture->isShown() && m_host->isConnected() && census.routes > 0 && census.geometryComplete()
        && m_host->rpcClient()->pendingCount() == 0)
        m_picture->release();
    // Routes come and go with the server's lists: new ones must follow the choice too.
    applyRouteVisibility();
    if (m_fitted || !m_shownOnce)
        return;
    // Fit once the routes' geometry has stopped arriving: the same bounds twice running.
    const QRectF bounds = loadedRouteBounds();
    if (bounds.isEmpty() || bounds != m_lastBounds) {
        m_lastBounds = bounds;
        return;
    }
    m_fitted = true;
    m_navigation->showNetwork();
}

void MainWindow::applyRouteVisibility()
{
    const bool show = m_settings->showAllRoutes();
    for (QObject *route : m_host->plugin().routes()) {
        if (route->property("dontHide").toBool() != show)
            route->setProperty("dontHide", show);
    }
}

QRectF MainWindow::loadedRouteBounds() const
{
    QRectF bounds;
    for (QObject *route : m_host->plugin().routes()) {
        if (const std::optional<QRectF> r = mapBounds(route))
            bounds = bounds.united(*r);
    }
    return bounds;
}

void MainWindow::showEvent(QShowEvent *event)
{
    QMainWindow::showEvent(event);
    if (m_shownOnce)
        return;
    m_shownOnce = true;
    // The view knows its size only now; fitting before would use a wrong one.
    if (!m_expectedArea.isEmpty())
        m_view->showRect(m_expectedArea);
    else
        m_view->setZoom(DefaultZoom);
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    QSettings settings;
    settings.setValue(GeometryKey, saveGeometry());
    settings.setValue(WindowStateKey, saveState());
    QMainWindow::closeEvent(event);
}

// ---- Selection, menus and following ----

QModelIndex MainWindow::treeIndexOf(QObject *object) const
{
    return m_tree->indexOf(object);
}

QObject *MainWindow::objectAtMap(const QPoint &viewportPos) const
{
    for (QGraphicsItem *item : m_view->items(viewportPos)) {
        QObject *object = mapObjectOfItem(item);
        if (MapObjectRef::of(object).isValid())
            return object;
    }
    return nullptr;
}

void MainWindow::selectObject(QObject *object, bool centre)
{
    if (m_selected != object) {
        if (m_selected)
            m_selected->setProperty("selected", false);
        m_selected = object;
        if (object)
            object->setProperty("selected", true);
        if (m_follower->board() != object)
            m_follower->follow(nullptr);
    }
    if (object && centre)
        m_navigation->centreOn(object);
    m_tree->showObject(object);
}

void MainWindow::toggleFollow()
{
    m_follower->follow(m_follower->board() ? nullptr : m_selected.data());
}

QMenu *MainWindow::createObjectMenu(QObject *object, QWidget *parent)
{
    return m_menu->create(object, parent);
}

void MainWindow::showObjectMenu(QObject *object, const QPoint &globalPos)
{
    QScopedPointer<QMenu> menu(m_menu->create(object, this));
    if (menu)
        menu->exec(globalPos);
}

bool MainWindow::eventFilter(QObject *watched, QEvent *event)
{
    if (watched != m_view->viewport())
        return QMainWindow::eventFilter(watched, event);
    if (event->type() == QEvent::MouseButtonPress) {
        auto *mouse = static_cast<QMouseEvent *>(event);
        if (mouse->button() == Qt::LeftButton)
            m_pressPos = mouse->pos();
    } else if (event->type() == QEvent::MouseButtonRelease) {
        // A click, not the end of a drag, picks the object under the cursor.
        auto *mouse = static_cast<QMouseEvent *>(event);
        if (mouse->button() == Qt::LeftButton
            && (mouse->pos() - m_pressPos).manhattanLength() < QApplication::startDragDistance())
            selectObject(objectAtMap(mouse->pos()), false);
    } else if (event->type() == QEvent::ContextMenu) {
        auto *menuEvent = static_cast<QContextMenuEvent *>(event);
        if (QObject *object = objectAtMap(menuEvent->pos())) {
            showObjectMenu(object, menuEvent->globalPos());
            return true;
        }
    }
    return QMainWindow::eventFilter(watched, event);
}
