#include "mainwindow.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QDockWidget>
#include <QFileDialog>
#include <QGraphicsObject>
#include <QHeaderView>
#include <QInputDialog>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QMouseEvent>
#include <QSettings>
#include <QStatusBar>
#include <QTreeView>

#include "positiontimeline.h"
#include <QUrl>

#include <cmath>
#include <limits>

#include "demohost.h"
#include "dialogs.h"
#include "jsonrpc/jsonrpcobject.h"
#include "kernel/mapview.h"
#include "kernel/roaditemmodel.h"
#include "kernel/timelinewidget.h"
#include "settingspanel.h"
#include "treesortmodel.h"

namespace {

const QString GeometryKey = QStringLiteral("Demo/geometry");
const QString WindowStateKey = QStringLiteral("Demo/window_state");

// Shown before the plug-in has loaded anything, when nothing better is known.
constexpr int DefaultZoom = 12;
// Share of the view left around the network when it is fitted.
constexpr double FitMargin = 0.05;

// The waiting cursor for the queries, which block until the server answers.
class WaitCursor
{
public:
    WaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~WaitCursor() { QApplication::restoreOverrideCursor(); }
    WaitCursor(const WaitCursor &) = delete;
    WaitCursor &operator=(const WaitCursor &) = delete;
};

} // namespace

MainWindow::MainWindow(DemoHost *host, QWidget *parent)
    : QMainWindow(parent)
    , m_host(host)
    , m_view(new Road::MapView(this))
{
    setWindowTitle(tr("Traffic priority — demo host"));
    m_view->setObjectName(QStringLiteral("mapView"));
    m_view->setScene(host->scene());
    m_view->setBackgroundBrush(QColor(0xf2, 0xef, 0xe9));
    m_view->viewport()->installEventFilter(this);
    setCentralWidget(m_view);

    createDocks();
    createMenus();
    createStatusBar();

    connect(host, &DemoHost::connectionChanged, this, &MainWindow::onConnectionChanged);
    connect(host, &DemoHost::connectionProblem, this, [this](const QString &message) {
        statusBar()->showMessage(message, 10000);
        m_connection->setText(connectionText());
    });
    connect(m_view, &Road::MapView::zoomChanged, this, [this](int zoom) {
        m_zoom->setText(tr("Zoom %1").arg(zoom));
    });
    connect(m_view, &Road::MapView::zoomChanged, m_settings, &SettingsPanel::setCurrentZoom);
    connect(m_settings, &SettingsPanel::showAllRoutesChanged, this, &MainWindow::applyRouteVisibility);

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
    m_tree = new QTreeView(this);
    m_tree->setObjectName(QStringLiteral("objectTree"));
    m_treeModel = new TreeSortModel(m_host->itemModel(), this);
    m_treeModel->setPositionAge([this](const QString &board) { return m_timeline ? m_timeline->positionAgeMs(board) : -1; },
                                DefaultUpdatePeriodMs);
    m_tree->setModel(m_treeModel);
    m_tree->setUniformRowHeights(true);
    m_tree->setContextMenuPolicy(Qt::CustomContextMenu);
    m_tree->header()->setSectionResizeMode(QHeaderView::Interactive);
    m_tree->setColumnWidth(0, 190);
    m_tree->setColumnWidth(1, 150);
    connect(m_tree->selectionModel(), &QItemSelectionModel::currentChanged, this,
            [this](const QModelIndex &current) { onTreeCurrentChanged(current); });
    connect(m_tree, &QTreeView::customContextMenuRequested, this, &MainWindow::onTreeContextMenu);
    connect(m_treeModel, &QAbstractItemModel::rowsInserted, this, &MainWindow::expandSections);

    auto *treeDock = new QDockWidget(tr("Objects"), this);
    treeDock->setObjectName(QStringLiteral("objectsDock"));
    treeDock->setWidget(m_tree);
    addDockWidget(Qt::LeftDockWidgetArea, treeDock);

    m_settings = new SettingsPanel(this);
    auto *settingsDock = new QDockWidget(tr("Display"), this);
    settingsDock->setObjectName(QStringLiteral("settingsDock"));
    settingsDock->setWidget(m_settings);
    addDockWidget(Qt::RightDockWidgetArea, settingsDock);

    m_timeline = new PositionTimeline(this);
    m_timeline->setObjectName(QStringLiteral("timeline"));
    m_timeline->setMinimumHeight(140);
    auto *timelineDock = new QDockWidget(tr("Schedule offsets"), this);
    timelineDock->setObjectName(QStringLiteral("timelineDock"));
    timelineDock->setWidget(m_timeline);
    addDockWidget(Qt::BottomDockWidgetArea, timelineDock);
    // The tree runs the full height on the left; the timeline spans the rest below.
    setCorner(Qt::BottomLeftCorner, Qt::LeftDockWidgetArea);
    setCorner(Qt::BottomRightCorner, Qt::BottomDockWidgetArea);
    resizeDocks({treeDock, settingsDock}, {360, 270}, Qt::Horizontal);
    resizeDocks({timelineDock}, {170}, Qt::Vertical);
}

void MainWindow::createMenus()
{
    QMenu *file = menuBar()->addMenu(tr("&File"));
    file->addAction(tr("Save &picture of the window…"), this, [this] {
        const QString name = QFileDialog::getSaveFileName(this, tr("Save picture"), QStringLiteral("demo.png"),
                                                          tr("PNG pictures (*.png)"));
        if (!name.isEmpty() && !grab().save(name, "PNG"))
            statusBar()->showMessage(tr("Could not write %1").arg(name), 10000);
    });
    file->addSeparator();
    file->addAction(tr("&Quit"), this, &QWidget::close, QKeySequence::Quit);

    QMenu *server = menuBar()->addMenu(tr("&Server"));
    server->addAction(tr("&Web address…"), this, &MainWindow::showWebUrl);
    server->addAction(tr("&Reconnect"), this,
                      [this] { m_host->connectToServer(m_host->serverUrl(), m_host->retryInterval()); });

    QMenu *view = menuBar()->addMenu(tr("&View"));
    view->addAction(tr("&Fit map to network"), this, [this] {
        const QRectF bounds = loadedRouteBounds();
        if (!bounds.isEmpty())
            m_view->showRect(bounds.marginsAdded(QMarginsF(bounds.width() * FitMargin, bounds.height() * FitMargin,
                                                           bounds.width() * FitMargin, bounds.height() * FitMargin)));
    });
    view->addSeparator();
    for (QDockWidget *dock : findChildren<QDockWidget *>())
        view->addAction(dock->toggleViewAction());
}

void MainWindow::createStatusBar()
{
    m_connection = new QLabel(this);
    m_connection->setObjectName(QStringLiteral("connectionState"));
    m_counts = new QLabel(this);
    m_zoom = new QLabel(this);
    m_errorCount = new QLabel(this);
    m_errorCount->setObjectName(QStringLiteral("errorCount"));
    statusBar()->addPermanentWidget(m_counts);
    statusBar()->addPermanentWidget(m_zoom);
    statusBar()->addPermanentWidget(m_errorCount);
    statusBar()->addPermanentWidget(m_connection);
    m_connection->setText(connectionText());
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
    return ok;
}

void MainWindow::setExpectedArea(const QRectF &lonLat)
{
    m_expectedArea = lonLat;
    if (m_shownOnce && !m_fitted && !lonLat.isEmpty())
        m_view->showRect(lonLat);
}

QString MainWindow::connectionText() const
{
    const QString url = m_host->serverUrl().toString();
    if (url.isEmpty())
        return tr("Not connected");
    if (m_host->isConnected())
        return tr("Connected to %1").arg(url);
    return tr("Not connected to %1").arg(url);
}

void MainWindow::onConnectionChanged(bool connected)
{
    m_connection->setText(connectionText());
    m_connection->setStyleSheet(connected ? QString() : QStringLiteral("color: #b00000;"));
    statusBar()->showMessage(connected ? tr("Connected") : tr("Connection lost; trying again"), 5000);
}

void MainWindow::showRpcError(const QString &message)
{
    ++m_errorTotal;
    m_errors.append(message);
    while (m_errors.size() > MaxKeptErrors)
        m_errors.removeFirst();
    m_errorCount->setText(tr("%n server error(s)", nullptr, m_errorTotal));
    m_errorCount->setToolTip(m_errors.join(QLatin1Char('\n')));
    statusBar()->showMessage(tr("Server: %1").arg(message), 15000);
}

TimelineWidget *MainWindow::timeline() const
{
    return m_timeline;
}

void MainWindow::setUpdatePeriod(int ms)
{
    m_treeModel->setPositionAge([this](const QString &board) { return m_timeline ? m_timeline->positionAgeMs(board) : -1; },
                                ms);
}

void MainWindow::updateStatus()
{
    // Boards go stale as time passes, without any change in the model: repaint the rows.
    m_tree->viewport()->update();
    const QObjectList routes = m_host->plugin().routes();
    m_counts->setText(tr("%n route(s)", nullptr, routes.size()));
    m_connection->setText(connectionText());
    // Routes come and go with the server's lists: new ones must follow the choice too.
    applyRouteVisibility();
    if (m_fitted || !m_shownOnce)
        return;
    // Fit once the routes' geometry has stopped arriving: the same bounds twice running.
    const QRectF bounds = loadedRouteBounds();
    if (bounds.isEmpty()) {
        m_lastBounds = QRectF();
        return;
    }
    if (bounds != m_lastBounds) {
        m_lastBounds = bounds;
        return;
    }
    m_fitted = true;
    m_view->showRect(bounds.marginsAdded(QMarginsF(bounds.width() * FitMargin, bounds.height() * FitMargin,
                                                   bounds.width() * FitMargin, bounds.height() * FitMargin)));
}

void MainWindow::applyRouteVisibility()
{
    const bool show = m_settings->showAllRoutes();
    const QObjectList routes = m_host->plugin().routes();
    for (QObject *route : routes) {
        if (route->property("dontHide").toBool() != show)
            route->setProperty("dontHide", show);
    }
}

QRectF MainWindow::loadedRouteBounds() const
{
    QRectF bounds;
    const QObjectList routes = m_host->plugin().routes();
    for (QObject *route : routes) {
        auto *item = qobject_cast<QGraphicsObject *>(route);
        if (!item || !route->property("hasGeometry").toBool())
            continue;
        const QRectF r = item->sceneBoundingRect();
        if (r.isValid() && std::isfinite(r.left()) && std::isfinite(r.top()) && std::isfinite(r.width())
            && std::isfinite(r.height()))
            bounds = bounds.united(r);
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

// ---- Selection ----

QObject *MainWindow::objectOfIndex(const QModelIndex &viewIndex) const
{
    auto *entry = qobject_cast<Road::ItemObj *>(m_host->itemModel()->itemFromIndex(m_treeModel->mapToSource(viewIndex)));
    return entry ? entry->object() : nullptr;
}

QModelIndex MainWindow::treeIndexOf(QObject *object) const
{
    if (!object)
        return QModelIndex();
    // The newest of the object's rows, should it be listed more than once.
    auto *entry = qobject_cast<Road::ItemModelItem *>(object->property("modelItemObject").value<QObject *>());
    return entry ? m_treeModel->mapFromSource(m_host->itemModel()->indexFromItem(entry)) : QModelIndex();
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
    }
    if (object && centre) {
        // A board that has not reported a position yet sits at the scene origin.
        const QVariant hasGeometry = object->property("hasGeometry");
        auto *item = qobject_cast<QGraphicsObject *>(object);
        if (item && (!hasGeometry.isValid() || hasGeometry.toBool())) {
            const QPointF c = item->sceneBoundingRect().center();
            if (std::isfinite(c.x()) && std::isfinite(c.y()))
                m_view->centreOn(c);
        }
    }
    const QModelIndex index = treeIndexOf(object);
    if (index.isValid() && m_tree->currentIndex() != index) {
        m_selectingFromMap = true;
        m_tree->setCurrentIndex(index);
        m_tree->scrollTo(index);
        m_selectingFromMap = false;
    } else if (!object) {
        m_tree->clearSelection();
    }
}

void MainWindow::onTreeCurrentChanged(const QModelIndex &current)
{
    if (m_selectingFromMap)
        return;
    selectObject(objectOfIndex(current), true);
}

void MainWindow::expandSections(const QModelIndex &parent, int first, int last)
{
    // Sections open as they appear; entries (routes with their boards) stay closed.
    for (int row = first; row <= last; ++row) {
        const QModelIndex index = m_treeModel->index(row, 0, parent);
        if (!objectOfIndex(index))
            m_tree->expand(index);
    }
}

bool MainWindow::eventFilter(QObject *watched, QEvent *event)
{
    if (watched != m_view->viewport())
        return QMainWindow::eventFilter(watched, event);
    switch (event->type()) {
    case QEvent::MouseButtonPress: {
        auto *mouse = static_cast<QMouseEvent *>(event);
        if (mouse->button() == Qt::LeftButton)
            m_pressPos = mouse->pos();
        break;
    }
    case QEvent::MouseButtonRelease: {
        // A click, not the end of a drag, picks the object under the cursor.
        auto *mouse = static_cast<QMouseEvent *>(event);
        if (mouse->button() == Qt::LeftButton
            && (mouse->pos() - m_pressPos).manhattanLength() < QApplication::startDragDistance())
            selectObject(objectAtMap(mouse->pos()), false);
        break;
    }
    case QEvent::ContextMenu: {
        auto *menuEvent = static_cast<QContextMenuEvent *>(event);
        if (QObject *object = objectAtMap(menuEvent->pos())) {
            showObjectMenu(object, menuEvent->globalPos());
            return true;
        }
        break;
    }
    default:
        break;
    }
    return QMainWindow::eventFilter(watched, event);
}

// ---- Commands and queries ----

void MainWindow::onTreeContextMenu(const QPoint &pos)
{
    if (QObject *object = objectOfIndex(m_tree->indexAt(pos)))
        showObjectMenu(object, m_tree->viewport()->mapToGlobal(pos));
}

void MainWindow::showObjectMenu(QObject *object, const QPoint &globalPos)
{
    QScopedPointer<QMenu> menu(createObjectMenu(object, this));
    if (menu)
        menu->exec(globalPos);
}

QMenu *MainWindow::createObjectMenu(QObject *object, QWidget *parent)
{
    const MapObjectRef ref = MapObjectRef::of(object);
    if (!ref.isValid())
        return nullptr;
    const PluginHandle plugin = m_host->plugin();
    auto *menu = new QMenu(parent);
    menu->setTitle(ref.title());
    menu->addSection(ref.title());
    auto add = [this, menu](const char *name, const QString &text, auto &&slot) {
        QAction *action = menu->addAction(text);
        action->setObjectName(QString::fromLatin1(name));
        connect(action, &QAction::triggered, this, slot);
        return action;
    };

    switch (ref.kind) {
    case MapObjectRef::Board:
        if (ref.locked)
            add("unlock", tr("Unlock board"), [plugin, ref] { plugin.setLockBoard(ref.name, false); });
        else
            add("lock", tr("Lock board"), [plugin, ref] { plugin.setLockBoard(ref.name, true); });
        add("assign", tr("Assign to route…"), [this, ref, object = QPointer<QObject>(object)] {
            askRouteForBoard(ref.name, object ? object->property("routeId").toInt() : 0);
        });
        add("unassign", tr("Unassign from its route"), [plugin, ref] { plugin.unassignBoard(ref.name); });
        add("changeProperties", tr("Change properties…"), [this, ref] { askProperties(ref, false); });
        break;
    case MapObjectRef::Route:
        if (ref.locked)
            add("unlock", tr("Unlock route"), [plugin, ref] { plugin.setLockRoute(ref.id, false); });
        else
            add("lock", tr("Lock route"), [plugin, ref] { plugin.setLockRoute(ref.id, true); });
        add("changeProperties", tr("Change properties…"), [this, ref] { askProperties(ref, false); });
        menu->addSeparator();
        add("timelineData", tr("Timeline data…"), [this, plugin, ref] {
            QVariantMap answer;
            {
                WaitCursor wait;
                answer = plugin.timelineData(ref.id);
            }
            showAnswer(tr("Timeline data of route %1").arg(ref.id), answer);
        });
        break;
    case MapObjectRef::Detector: {
        if (ref.locked)
            add("unlock", tr("Unlock detector"), [plugin, ref] { plugin.setLockDetector(ref.id, false); });
        else
            add("lock", tr("Lock detector"), [plugin, ref] { plugin.setLockDetector(ref.id, true); });
        if (ref.active)
            add("deactivate", tr("Deactivate"), [plugin, ref] { plugin.setVdtActive(ref.id, false); });
        else
            add("activate", tr("Activate"), [plugin, ref] { plugin.setVdtActive(ref.id, true); });
        add("changeProperties", tr("Change properties…"), [this, ref] { askProperties(ref, false); });
        QAction *tlcChange = add("changeTlcProperties", tr("Change controller properties…"),
                                 [this, ref] { askProperties(ref, true); });
        menu->addSeparator();
        add("vdtProperties", tr("Detector properties…"), [this, plugin, ref] {
            QVariantMap answer;
            {
                WaitCursor wait;
                answer = plugin.vdtProperties(ref.id);
            }
            showAnswer(tr("Properties of detector %1").arg(ref.id), answer);
        });
        QAction *tlc = add("tlcProperties", tr("Controller properties…"), [this, plugin, ref] {
            QVariantMap answer;
            {
                WaitCursor wait;
                answer = plugin.tlcProperties(ref.tlNumber);
            }
            showAnswer(tr("Properties of controller %1").arg(ref.tlNumber), answer);
        });
        // Emergency-call detectors belong to no controller.
        tlc->setEnabled(ref.tlNumber > 0);
        tlcChange->setEnabled(ref.tlNumber > 0);
        break;
    }
    case MapObjectRef::None:
        break;
    }
    menu->addSeparator();
    add("webUrl", tr("Server web address…"), [this] { showWebUrl(); });
    return menu;
}

void MainWindow::askProperties(const MapObjectRef &ref, bool controller)
{
    const QString title = controller ? tr("Controller %1").arg(ref.tlNumber) : ref.title();
    const QString hint = controller ? tr("Properties to change on traffic-light controller %1.").arg(ref.tlNumber)
                                    : tr("Properties to change on %1.").arg(ref.title().toLower());
    auto *dialog = new PropertiesDialog(title, hint, this);
    dialog->setObjectName(QStringLiteral("propertiesDialog"));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    if (!controller && ref.kind != MapObjectRef::None)
        dialog->setText(QStringLiteral("locked=%1\n").arg(ref.locked ? QStringLiteral("true") : QStringLiteral("false")));
    connect(dialog, &QDialog::accepted, this, [this, dialog, ref, controller] {
        const PluginHandle plugin = m_host->plugin();
        const QVariantMap props = dialog->properties();
        if (controller)
            plugin.changeTlcProperties(ref.tlNumber, props);
        else if (ref.kind == MapObjectRef::Board)
            plugin.changeBoardProperties(ref.name, props);
        else if (ref.kind == MapObjectRef::Route)
            plugin.changeRouteProperties(ref.id, props);
        else if (ref.kind == MapObjectRef::Detector)
            plugin.changeVdtProperties(ref.id, props);
    });
    dialog->open();
}

void MainWindow::askRouteForBoard(const QString &board, int currentRoute)
{
    auto *dialog = new QInputDialog(this);
    dialog->setObjectName(QStringLiteral("assignDialog"));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowTitle(tr("Assign board %1").arg(board));
    dialog->setLabelText(tr("Route id:"));
    dialog->setInputMode(QInputDialog::IntInput);
    dialog->setIntRange(0, std::numeric_limits<int>::max());
    dialog->setIntValue(currentRoute);
    connect(dialog, &QInputDialog::intValueSelected, this,
            [this, board](int route) { m_host->plugin().assignBoard(board, route); });
    dialog->open();
}

void MainWindow::showAnswer(const QString &title, const QVariant &answer)
{
    auto *dialog = new AnswerDialog(title, answer, this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->show();
}

void MainWindow::showWebUrl()
{
    QString url;
    {
        WaitCursor wait;
        url = m_host->plugin().webUrl();
    }
    // The address comes from the server: only a plain web address becomes a link.
    const QUrl parsed(url, QUrl::StrictMode);
    const bool web = parsed.isValid() && (parsed.scheme() == QLatin1String("http") || parsed.scheme() == QLatin1String("https"));
    QString text;
    if (url.isEmpty())
        text = tr("The server did not tell its web address.");
    else if (web)
        text = tr("The server's web pages are at<br><a href=\"%1\">%2</a>")
                       .arg(QString::fromUtf8(parsed.toEncoded()).toHtmlEscaped(), url.toHtmlEscaped());
    else
        text = tr("The server gave this web address:<br>%1").arg(url.toHtmlEscaped());
    auto *box = new QMessageBox(QMessageBox::Information, tr("Server web address"), text, QMessageBox::Close, this);
    box->setObjectName(QStringLiteral("webUrlBox"));
    box->setTextFormat(Qt::RichText);
    box->setTextInteractionFlags(Qt::TextBrowserInteraction);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}
