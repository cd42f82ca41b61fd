// The demo's window on the real plug-in and the simulator, driven as an operator drives it:
// the menus of the rows and objects pressed, the commands asked about, logged, confirmed and
// reverted, the dialogs, search, follow, the roles, the map, the connection's health and the
// last-known picture, and the display panel.

#include <QApplication>
#include <QContextMenuEvent>
#include <QGraphicsObject>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QSettings>
#include <QToolButton>
#include <QtTest>

#include "boardfollower.h"
#include "commandlog.h"
#include "commandlogview.h"
#include "commandrunner.h"
#include "connectionhealth.h"
#include "consolestatusbar.h"
#include "demohost.h"
#include "dialogs.h"
#include "e2e/agreement.h"
#include "jsonrpc/connectionkeeper.h"
#include "kernel/mapview.h"
#include "kernel/timelinewidget.h"
#include "lastknownpicture.h"
#include "legendpanel.h"
#include "mainwindow.h"
#include "mapobject.h"
#include "mapoverlay.h"
#include "messagebar.h"
#include "objecttree.h"
#include "searchbar.h"
#include "settingspanel.h"
#include "sim/generator.h"
#include "sim/server.h"
#include "staleboardmarks.h"

namespace {

constexpr int Board = MapObjectRef::Board, Route = MapObjectRef::Route, Detector = MapObjectRef::Detector;

Sim::Network smallNetwork()
{
    Sim::GeneratorOptions options;
    options.routes = 3;
    options.pointsPerRoute = 20;
    options.detectors = 6;
    options.emergencyDetectors = 1;
    options.boards = 5;
    Sim::Network network = Sim::generateNetwork(options);
    // A board on no route (it drives all the same), and the emergency-call detector on no controller.
    network.boards.last().routeId = 0;
    for (Sim::Detector &detector : network.detectors)
        detector.tlNumber = detector.emergency ? 0 : detector.tlNumber;
    return network;
}

// Times of day and counts of seconds as the operator reads them, masked for comparing.
QString masked(QString text)
{
    return text.replace(QRegularExpression(QStringLiteral("\\d\\d:\\d\\d:\\d\\d")), QStringLiteral("hh:mm:ss"))
        .replace(QRegularExpression(QStringLiteral("(?<![\\d.])\\d+ s\\b")), QStringLiteral("n s"));
}

// The texts of a panel's labels, buttons and boxes in the order they were made; nothing when
// one is cut off or two overlap (one not laid out, drawn over another).
QString readable(QWidget *panel)
{
    QStringList texts;
    QVector<QRect> places;
    for (QWidget *w : panel->findChildren<QWidget *>()) {
        const bool box = w->inherits("QGroupBox");
        const QString t = w->property(box ? "title" : "text").toString();
        if (t.isEmpty() || !w->isVisibleTo(panel) || !(box || w->inherits("QLabel") || w->inherits("QAbstractButton")))
            continue;
        const QRect place(w->mapTo(panel, QPoint(0, 0)), box ? QSize(1, 1) : w->size());
        const int height = w->hasHeightForWidth() ? w->heightForWidth(w->width()) : w->minimumSizeHint().height();
        if (w->height() < height || std::any_of(places.begin(), places.end(), [&](const QRect &other) { return other.intersects(place); }))
            return QString();
        places << place;
        texts << t;
    }
    return texts.join('|');
}

// The host and its window, started and bound as the program does it, on a simulator with
// its clock stopped: positions come when a test steps it. The window goes before the host.
struct Demo
{
    std::unique_ptr<Sim::Server> server = std::make_unique<Sim::Server>(smallNetwork());
    std::unique_ptr<DemoHost> host = std::make_unique<DemoHost>();
    std::unique_ptr<MainWindow> window;

    // Shown and bound to the plug-in; connected when the server listens.
    bool start()
    {
        server->setTickInterval(0);
        if (!host->loadPlugin(QStringLiteral(PLUGIN_PATH)))
            return false;
        window = std::make_unique<MainWindow>(host.get());
        if (!host->startPlugin() || !window->bindPlugin())
            return false;
        if (server->isListening())
            host->connectToServer(server->url(), 1000);
        window->show();
        QApplication::setActiveWindow(window.get());
        return QTest::qWaitForWindowActive(window.get());
    }
    // Everything loaded and subscribed, the boards on their way and the map fitted to them.
    bool live()
    {
        const Sim::Network &n = server->world().network();
        if (!server->listen() || !start() || !QTest::qWaitFor([&] {
                return objects(Route).size() == n.routes.size() && objects(Detector).size() == n.detectors.size()
                    && objects(Board).size() == n.boards.size() && server->requestCount(QStringLiteral("subscribe")) > 0;
            }))
            return false;
        server->step(1.0);
        return QTest::qWaitFor([this] { return pick(Board) && window->fittedToNetwork(); });
    }
    QVector<QObject *> objects(int kind) const
    {
        QVector<QObject *> found;
        for (QObject *object : listedObjects(host->itemModel()))
            if (MapObjectRef::of(object).kind == kind)
                found.append(object);
        return found;
    }
    // The first of a kind with (or without) a route for a board, driving it on the map, or a
    // controller for a detector.
    QObject *pick(int kind, bool with = true) const
    {
        for (QObject *object : objects(kind)) {
            const MapObjectRef ref = MapObjectRef::of(object);
            const Sim::Board *b = kind == Board ? server->world().board(ref.name) : nullptr;
            if (kind == Route || (b ? b->routeId != 0 && (!with || (b->loggedIn && b->drivingRoute && mapBounds(object))) : ref.tlNumber > 0) == with)
                return object;
        }
        return nullptr;
    }
    // The named actions of the object's menu that can be chosen; triggers the one named.
    QStringList actions(QObject *object, const QString &trigger = QString()) const
    {
        std::unique_ptr<QMenu> menu(window->createObjectMenu(object, nullptr));
        QStringList names;
        for (QAction *action : menu->actions()) {
            if (action->isEnabled() && !action->objectName().isEmpty())
                names.append(action->objectName());
            if (action->objectName() == trigger)
                action->trigger();
        }
        return names;
    }
    // Answers the question a command asks with a key; its text, or nothing when none is open.
    QString answer(int key) const
    {
        const QList<QMessageBox *> boxes = window->findChildren<QMessageBox *>(QStringLiteral("confirmCommand"));
        const auto open = std::find_if(boxes.begin(), boxes.end(), [](QMessageBox *box) { return box->isVisible(); });
        if (open == boxes.end())
            return QString();
        QTest::keyClick(*open, Qt::Key(key));
        return (*open)->text();
    }
    // The log's row as the operator reads it.
    QString logRow(int row) const
    {
        QStringList cells;
        for (int column = CommandLog::ObjectColumn; column <= CommandLog::OutcomeColumn; ++column)
            cells << window->commandLog()->index(row, column).data().toString();
        return masked(cells.join(QStringLiteral(" | ")));
    }
    QStringList lines(MessageBar::Kind kind) const { return window->messageBar()->messages(kind); }
    Road::MapView *view() const { return window->mapView(); }
    QPointF viewCentre() const { return view()->mapToScene(view()->viewport()->rect().center()); }
    bool centredOn(QObject *o) const { return (view()->mapFromScene(mapBounds(o)->center()) - view()->viewport()->rect().center()).manhattanLength() <= 2; }
};

// The title and named actions of the menu a right click at pos on widget opens.
QStringList contextMenuAt(QWidget *widget, const QPoint &pos)
{
    QStringList seen;
    QTimer::singleShot(0, widget, [&seen] {
        if (auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget())) {
            seen.append(menu->title());
            for (QAction *action : menu->actions())
                seen.append(action->objectName());
            seen.removeAll(QString());
            menu->close();
        }
    });
    QContextMenuEvent event(QContextMenuEvent::Mouse, pos, widget->mapToGlobal(pos));
    QApplication::sendEvent(widget, &event);
    return seen;
}

} // namespace

class tst_DemoWindow : public QObject
{
    Q_OBJECT

    // The live demo the rows of one test function share; the plug-in module serves one host
    // at a time.
    std::unique_ptr<Demo> d;
    QByteArray dFor;
    bool live()
    {
        if (!d || dFor != QTest::currentTestFunction()) {
            d = std::make_unique<Demo>();
            dFor = d->live() ? QByteArray(QTest::currentTestFunction()) : QByteArray();
        }
        return !dFor.isEmpty();
    }

private slots:
    void initTestCase() { QVERIFY(E2e::freshCache("tst_demowindow")); }
    void init()
    {
        if (dFor != QTest::currentTestFunction())
            d.reset();
        QSettings().clear();
    }

    // A safety-critical command asks first, naming the object and the action; Enter sends it
    // once, and the log and the line over the map show the server's notification confirming
    // it; Revert asks and undoes it. Esc sends nothing; with the question turned off none is
    // asked; without a notification in time the command stays unconfirmed.
    void command_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("action");
        QTest::addColumn<int>("key"); // answers the question; 0: the question is turned off
        QTest::addColumn<QString>("method");
        // The question, the log's row, the line over the map and Revert's question; %1 is the
        // object's key, %2 the board's route.
        QTest::addColumn<QStringList>("texts");
        QTest::addColumn<QStringList>("fault"); // the server's refusal: code and message
        const int enter = Qt::Key_Return;
        QTest::newRow("route locked") << Route << "lock" << enter << "RoadNetwork.changeRouteProperties"
                                      << QStringList{"Lock route %1?", "Route %1 | Lock | locked=true | Confirmed hh:mm:ss", "Route %1 locked", "Unlock route %1?"} << QStringList();
        QTest::newRow("board locked") << Board << "lock" << enter << "BoardsServer.changeBoardProperties"
                                      << QStringList{"Lock board %1?", "Board %1 | Lock | locked=true | Confirmed hh:mm:ss", "Board %1 locked", "Unlock board %1?"} << QStringList();
        QTest::newRow("detector locked") << Detector << "lock" << enter << "VDTService.changeVdtProperties"
                                         << QStringList{"Lock detector %1?", "Detector %1 | Lock | locked=true | Confirmed hh:mm:ss", "Detector %1 locked",
                                                        "Unlock detector %1?"} << QStringList();
        QTest::newRow("detector activated") << Detector << "activate" << enter << "VDTService.setVdtActive"
                                            << QStringList{"Activate detector %1?", "Detector %1 | Activate | activate=true | Confirmed hh:mm:ss",
                                                           "Detector %1 activated", "Deactivate detector %1?"} << QStringList();
        QTest::newRow("board unassigned") << Board << "unassign" << enter << "RoadNetwork.unassignBoard"
                                          << QStringList{"Unassign board %1 from route %2?", "Board %1 | Unassign | (was route %2) | Confirmed hh:mm:ss",
                                                         "Board %1 unassigned", "Assign board %1 to route %2?"} << QStringList();
        QTest::newRow("cancelled with Esc") << Board << "lock" << int(Qt::Key_Escape) << "BoardsServer.changeBoardProperties" << QStringList{"Lock board %1?", ""} << QStringList();
        QTest::newRow("not asked when turned off") << Board << "lock" << 0 << "BoardsServer.changeBoardProperties"
                                                   << QStringList{"", "Board %1 | Lock | locked=true | Confirmed hh:mm:ss", "Board %1 locked", ""} << QStringList();
        // A refusal says why in plain words, in the log and over the map, until it is dismissed;
        // a refused command has nothing to revert.
        const std::pair<QStringList, QString> refusals[] = {
            {{"-32000", "Forbidden"}, "your role (operator) may not do this"}, {{"-32601", "Method not found"}, "the server does not know this command"},
            {{"-32602", "Invalid params: route  is   locked"}, "route is locked"}, {{"-32099", "Busy\n now"}, "Busy now (code -32099)"},
            {{"1", QString(301, 'x')}, QString(300, 'x') + "… (code 1)"}, {{"1", QString(300, 'x')}, QString(300, 'x') + " (code 1)"}};
        for (const auto &[fault, reason] : refusals)
            QTest::addRow("refused: %s", qPrintable(reason.left(40))) << Route << "lock" << 0 << "RoadNetwork.changeRouteProperties"
                                                              << QStringList{"", "Route %1 | Lock | locked=true | Refused: " + reason, "Lock route %1 refused: " + reason} << fault;
        // Last: the board stays locked.
        QTest::newRow("no notification in time") << Board << "lock" << enter << "BoardsServer.changeBoardProperties"
                                                  << QStringList{"Lock board %1?", "Board %1 | Lock | locked=true | Unconfirmed after n s"} << QStringList();
    }
    void command()
    {
        QFETCH(int, kind);
        QFETCH(QString, action);
        QFETCH(int, key);
        QFETCH(QString, method);
        QFETCH(QStringList, texts);
        QFETCH(QStringList, fault);
        QVERIFY(live());
        QPointer<QObject> object = d->pick(kind);
        const MapObjectRef ref = MapObjectRef::of(object);
        const QString route = kind == Board ? QString::number(d->server->world().board(ref.name)->routeId) : QString();
        for (QString &text : texts)
            text.replace(QStringLiteral("%1"), kind == Board ? ref.name : QString::number(ref.id)).replace(QStringLiteral("%2"), route);
        const int rows = d->window->commandLog()->rowCount(), sent = d->server->requestCount(method);
        const bool late = texts.at(1).contains(QStringLiteral("Unconfirmed"));
        d->window->commandRunner()->setConfirmTimeout(late ? 300 : CommandRunner::ConfirmTimeoutMs);
        if (late)
            d->server->delayMethod(method, 900);
        d->window->findChild<QAction *>(QStringLiteral("askFirst"))->setChecked(key != 0);
        if (!fault.isEmpty())
            d->server->failMethod(method, fault.at(0).toInt(), fault.at(1));

        QVERIFY(d->actions(object, action).contains(action));
        QCOMPARE(d->answer(key ? key : Qt::Key_Escape), texts.at(0));
        if (texts.at(1).isEmpty()) {
            // A query answered is a request the server got after the command would have come.
            d->host->plugin().webUrl();
            QCOMPARE(d->server->requestCount(method), sent);
            QCOMPARE(d->window->commandLog()->rowCount(), rows);
            return;
        }
        QTRY_COMPARE(d->logRow(0), texts.at(1));
        // On a loaded machine a short confirmation time can run out before the request is read.
        QTRY_COMPARE(d->server->requestCount(method), sent + 1);
        if (late) {
            // The notification comes after all; the log keeps what the operator was told.
            QTRY_VERIFY(object->property("locked").toBool() && d->logRow(0) == texts.at(1));
            return;
        }
        if (!fault.isEmpty()) {
            d->server->clearFaults();
            QCOMPARE(d->lines(MessageBar::Refusal), QStringList(texts.at(2)));
            QVERIFY(!d->window->findChild<CommandLogView *>()->revertButton(0)->isEnabled());
            d->window->messageBar()->findChild<QToolButton *>(QStringLiteral("dismiss"))->click();
            QTRY_VERIFY(d->lines(MessageBar::Refusal).isEmpty());
            return;
        }
        QCOMPARE(masked(d->lines(MessageBar::Confirmation).constLast()), "hh:mm:ss " + texts.at(2));
        QTest::mouseClick(d->window->findChild<CommandLogView *>()->revertButton(0), Qt::LeftButton);
        QCOMPARE(d->answer(Qt::Key_Return), texts.at(3));
        QTRY_COMPARE(d->window->commandLog()->rowCount(), rows + 2);
        QTRY_VERIFY(d->logRow(0).endsWith(QLatin1String("| Confirmed hh:mm:ss")));
    }

    // The dialogs that send a command stay open with their input while the server refuses
    // it; a board assigned to another route keeps its row selected; a query shows what the
    // server holds, or that it did not answer. The log keeps its newest entries.
    void dialogs()
    {
        QVERIFY(live());
        QObject *route = d->pick(Route), *board = d->pick(Board), *detector = d->pick(Detector);
        const int id = MapObjectRef::of(route).id;
        const Sim::World &world = d->server->world();
        d->actions(route, QStringLiteral("changeProperties"));
        QPointer<PropertiesDialog> properties = d->window->findChild<PropertiesDialog *>(QStringLiteral("propertiesDialog"));
        auto *text = properties->findChild<QPlainTextEdit *>();
        QCOMPARE(text->toPlainText(), QStringLiteral("locked=false\n"));
        text->setPlainText(QStringLiteral("name=Night line\ndescription=\"Harbour, late\""));
        properties->accept();
        QTRY_VERIFY(!properties);
        QCOMPARE(world.route(id)->name + '|' + world.route(id)->description, QStringLiteral("Night line|Harbour, late"));

        ObjectTree *tree = d->window->objectTree();
        const QString name = MapObjectRef::of(board).name;
        const int from = world.board(name)->routeId, to = from == id ? id % 3 + 1 : id;
        tree->scrollTo(tree->indexOf(board));
        QTest::mouseClick(tree->viewport(), Qt::LeftButton, Qt::NoModifier, tree->visualRect(tree->indexOf(board)).center());
        QCOMPARE(d->window->selectedObject(), board);
        d->actions(board, QStringLiteral("assign"));
        QPointer<RouteDialog> assign = d->window->findChild<RouteDialog *>(QStringLiteral("assignDialog"));
        QCOMPARE(assign->routeId(), from);
        assign->setRouteId(9999);
        QTest::keyClick(assign, Qt::Key_Return);
        const QString why = QStringLiteral("Assign board %1 to route 9999 refused: Unknown route 9999").arg(name);
        QTRY_COMPARE(assign->refusalText() + QString::number(assign->routeId()), why + "9999");
        QCOMPARE(d->lines(MessageBar::Refusal).constLast(), why);
        assign->setRouteId(to);
        QTest::keyClick(assign, Qt::Key_Return);
        QTRY_VERIFY(!assign);
        QTRY_COMPARE(board->property("routeId").toInt(), to);
        QCOMPARE(d->logRow(0), QStringLiteral("Board %1 | Assign | route %2 (was %3) | Confirmed hh:mm:ss").arg(name).arg(to).arg(from));
        QTRY_VERIFY(tree->objectAt(tree->currentIndex()) == board && d->window->selectedObject() == board);

        d->server->failMethod(QStringLiteral("VDTService.getVdtProperties"), -32000, QStringLiteral("No"));
        const struct { QObject *object; const char *query; QString shown; } queries[] = {
            {route, "timelineData", QStringLiteral("Timeline data of route %1: ").arg(id) + world.timelineData(*world.route(id), true).keys().join(' ')},
            {detector, "vdtProperties", QStringLiteral("Properties of detector %1: No answer: the server refused the query or did not answer in time (the "
                                                       "status bar has the reason).|Close").arg(MapObjectRef::of(detector).id)}};
        for (const auto &query : queries) {
            d->actions(query.object, QString::fromLatin1(query.query));
            std::unique_ptr<AnswerDialog> answer(d->window->findChild<AnswerDialog *>());
            auto *edit = answer->findChild<QPlainTextEdit *>();
            const QString shown = edit ? QJsonDocument::fromJson(edit->toPlainText().toUtf8()).object().keys().join(' ') : readable(answer.get());
            QCOMPARE(answer->windowTitle() + ": " + shown, query.shown);
        }
        d->server->clearFaults();

        CommandLog log;
        QSignalSpy removed(&log, &CommandLog::rowsRemoved);
        for (int i = 0; i <= CommandLog::MaxEntries; ++i)
            log.add(OperatorCommand::make(i ? OperatorCommand::Unlock : OperatorCommand::Lock, MapObjectRef::of(route)));
        QCOMPARE(std::make_tuple(log.rowCount(), removed.size(), log.entryAt(CommandLog::MaxEntries - 1)->command.action),
                 std::make_tuple(CommandLog::MaxEntries, 1, OperatorCommand::Unlock));
    }

    // Each object's menu offers what may be done to it; what the role may not do is greyed
    // out, and the role is shown.
    void menus_data()
    {
        QTest::addColumn<QString>("role");
        QTest::addColumn<int>("kind");
        QTest::addColumn<bool>("with"); // a board on a route, a detector with a controller
        QTest::addColumn<QString>("enabled");
        QTest::newRow("operator, board on a route") << "operator" << Board << true << "lock assign unassign changeProperties follow zoomTo webUrl";
        QTest::newRow("operator, board on none") << "operator" << Board << false << "lock assign changeProperties follow zoomTo webUrl";
        QTest::newRow("operator, route") << "operator" << Route << true << "lock changeProperties timelineData zoomTo webUrl";
        QTest::newRow("operator, detector") << "operator" << Detector << true
                                            << "lock activate changeProperties changeTlcProperties vdtProperties tlcProperties zoomTo webUrl";
        QTest::newRow("operator, emergency detector") << "operator" << Detector << false << "lock activate changeProperties vdtProperties zoomTo webUrl";
        QTest::newRow("observer, board") << "observer" << Board << true << "follow zoomTo webUrl";
        QTest::newRow("observer, detector") << "observer" << Detector << true << "vdtProperties tlcProperties zoomTo webUrl";
    }
    void menus()
    {
        QFETCH(QString, role);
        QFETCH(int, kind);
        QFETCH(bool, with);
        QFETCH(QString, enabled);
        QVERIFY(live());
        QVERIFY(d->server->setRole(role));
        QTRY_COMPARE(d->window->consoleStatusBar()->roleText(), "Role: " + role);
        QTRY_COMPARE(d->actions(d->pick(kind, with)).join(QLatin1Char(' ')), enabled);
    }

    // What the operator reads in the menus, the menu bar, the display panel and the legend.
    void texts()
    {
        QVERIFY(live());
        QStringList seen;
        for (QObject *object : {d->pick(Board), d->pick(Route), d->pick(Detector)}) {
            std::unique_ptr<QMenu> menu(d->window->createObjectMenu(object, nullptr));
            for (QAction *action : menu->actions())
                seen << action->text();
        }
        for (QAction *m : d->window->menuBar()->actions())
            for (QAction *a : QList<QAction *>{m} + m->menu()->actions())
                seen << a->text();
        QCOMPARE(seen.join('|'), "Board B1001||Lock board|Assign to route…|Unassign from its route|Change properties…||Follow (F)|Zoom to it (Z)||Server web address…|"
                                 "Route 1||Lock route|Change properties…||Timeline data…|Zoom to it (Z)||Server web address…|Detector 1||Lock detector|"
                                 "Activate|Change properties…|Change controller properties…||Detector properties…|Controller properties…|Zoom to it (Z)||"
                                 "Server web address…|&File|Save &picture of the window…||&Quit|&Server|&Ask before safety-critical commands|&Web address…|"
                                 "&Reconnect now|&View|&Find…|F&ollow the selected board|&Zoom to the selection|&Clear the selection|Show the whole &network "
                                 "(Home on the map)||Objects|Display|Legend|Schedule offsets|Command log");
        d->window->findChild<QWidget *>(QStringLiteral("settingsDock"))->raise();
        QTRY_COMPARE(readable(d->window->settingsPanel()),
                     "Routes|Show all routes|Vehicles|Text:|Emergency sector:|Weight:|Detectors|Weight:|Show when activated|Show when zoomed in|(map: 12)|"
                     "From zoom level:|Vehicle filters|Name:|Description:");
        d->window->legend()->refresh();
        QCOMPARE(readable(d->window->legend()).remove(QRegularExpression("\\|\\d+")),
                 "<b>Boards: on the map, in the tree (bus, emergency car), how many</b>|On its route|–|Off its route|On no route|–|Has priority|–|"
                 "Locked|No position yet|Not logged in|A pin points where the board heads, a circle means it stands; boards without a position "
                 "or not logged in are not drawn.|<b>Detectors</b>|–|Idle (drawn zoomed in)|–|A vehicle inside|–|Active: asks for priority|–|"
                 "Locked: reports nothing|Emergency-call sector|<b>Routes</b>|Route (arrows: direction)|–|Locked route");
        // The samples are drawn at twice the pixels.
        QStringList samples;
        for (QLabel *label : d->window->legend()->findChildren<QLabel *>())
            if (label->pixmap(Qt::ReturnByValue).devicePixelRatio() == 2.0)
                samples << QStringLiteral("%1x%2").arg(label->pixmap(Qt::ReturnByValue).width()).arg(label->pixmap(Qt::ReturnByValue).height());
        QVERIFY2(!samples.isEmpty() && samples.filter("112x60") == samples, qPrintable(samples.join(' ')));
    }

    // A right click on a board under "Assigned boards" opens that board's menu, titled with
    // it; nothing under the pointer moves (its route would open), and rows sorted anew between
    // the press and the menu do not change whose menu it is.
    void menuOfThePressedRow()
    {
        QVERIFY(live());
        ObjectTree *tree = d->window->objectTree();
        QObject *board = d->pick(Board);
        const QString name = MapObjectRef::of(board).name;
        // Its row under "Assigned boards"; the other one is under its route, which is closed.
        const QModelIndexList rows = tree->model()->match(tree->model()->index(0, 0), Qt::DisplayRole, name, -1, Qt::MatchRecursive);
        const auto under = std::find_if(rows.begin(), rows.end(), [](const QModelIndex &i) { return i.parent().data() == "Assigned boards"; });
        QVERIFY(under != rows.end());
        tree->scrollTo(*under);
        const QRect place = tree->visualRect(*under);
        QTest::mousePress(tree->viewport(), Qt::RightButton, Qt::NoModifier, place.center());
        QVERIFY(tree->currentIndex() == *under && tree->visualRect(*under) == place && d->window->selectedObject() == board);
        tree->sortByColumn(0, Qt::DescendingOrder);
        QCOMPARE(contextMenuAt(tree->viewport(), place.center()).mid(0, 3), QStringList({"Board " + name, "heading", "lock"}));
        QTest::mouseRelease(tree->viewport(), Qt::RightButton, Qt::NoModifier, place.center());
        tree->sortByColumn(0, Qt::AscendingOrder);
    }

    // Search (Ctrl+F) takes a part of a key or name in any case, selects the first hit and
    // brings the map to it, close enough to see it (a detector from a city view too); Enter
    // steps on, Esc ends it.
    void search_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<int>("column");
        QTest::newRow("board by its name") << Board << 0;
        QTest::newRow("route by its name") << Route << 1;
        QTest::newRow("detector by its name") << Detector << 1;
        QTest::newRow("nothing") << int(MapObjectRef::None) << 0;
    }
    void search()
    {
        QFETCH(int, kind);
        QFETCH(int, column);
        QVERIFY(live());
        QObject *wanted = kind == Board ? d->pick(Board) : d->objects(kind).value(1);
        d->view()->setZoom(11);
        QTest::keyClick(d->window.get(), Qt::Key_F, Qt::ControlModifier);
        QLineEdit *field = d->window->searchBar()->field();
        const QString text = wanted ? rowText(wanted, column) : QStringLiteral("#qqqq#");
        QTest::keyClicks(field, text.mid(1, text.size() - 2).toLower());
        const QVector<QObject *> hits = d->window->searchBar()->hits();
        QCOMPARE(d->window->searchBar()->findChild<QLabel *>(QStringLiteral("searchPlace"))->text(), wanted ? QStringLiteral("1 of %1").arg(hits.size()) : QStringLiteral("not found"));
        if (wanted) {
            QCOMPARE(d->window->selectedObject(), wanted);
            const QRect onScreen = d->view()->mapFromScene(*mapBounds(wanted)).boundingRect();
            QVERIFY(d->centredOn(wanted) && (kind == Board || std::max(onScreen.width(), onScreen.height()) >= 12));
            QTest::keyClick(field, Qt::Key_Return);
            QCOMPARE(d->window->selectedObject(), hits.value(1 % hits.size()));
        }
        // Esc ends it and clears the selection, as on the map.
        QTest::keyClick(field, Qt::Key_Escape);
        QCOMPARE(d->window->selectedObject(), nullptr);
    }

    // The status bar counts the boards by state. With the map focused + zooms in and − out,
    // the scale bar following (worked by hand: at zoom 11 and latitude 60 a degree of longitude
    // is 256 * 2^11 / 360 pixels and 111319.5 / 2 m, so the bar is 2 km in 52 pixels), and
    // Home shows the whole network again. Z zooms to the selection. A click on a board on the
    // map selects it and its row, a right click opens its menu, and F follows it: across
    // twenty moves the map keeps it in the middle, with a trail of where it was.
    void mapAndFollow()
    {
        QVERIFY(live());
        QTRY_VERIFY2(d->window->consoleStatusBar()->censusText().startsWith("5 boards: "), qPrintable(d->window->consoleStatusBar()->censusText()));
        QObject *board = d->pick(Board);
        Road::MapView *view = d->view();
        view->setFocus();
        const int fitted = view->zoom();
        const QPointF home = d->viewCentre();
        for (Qt::Key key : {Qt::Key_Plus, Qt::Key_Plus, Qt::Key_Minus})
            QTest::keyClick(view, key);
        QCOMPARE(view->zoom(), fitted + 1);
        view->setZoom(11);
        view->centreOn(QPointF(10.0, 60.0));
        const MapOverlay *overlay = d->window->mapOverlay();
        QCOMPARE(std::make_tuple(overlay->scaleMetres(), overlay->scalePixels(), scaleLabel(overlay->scaleMetres())), std::make_tuple(2000.0, 52, QString("2 km")));
        QTest::keyClick(view, Qt::Key_Home);
        QVERIFY(view->zoom() == fitted && QLineF(d->viewCentre(), home).length() < 1e-6);
        d->window->selectObject(board, false);
        QTest::keyClick(view, Qt::Key_Z);
        QVERIFY(d->centredOn(board));
        d->window->selectObject(nullptr, false);
        const QPoint spot = view->mapFromScene(mapBounds(board)->center());
        QTest::mouseClick(view->viewport(), Qt::LeftButton, Qt::NoModifier, spot);
        QVERIFY(d->window->selectedObject() == board && d->window->objectTree()->objectAt(d->window->objectTree()->currentIndex()) == board);
        QTest::keyClick(view, Qt::Key_F);
        QCOMPARE(d->window->follower()->board(), board);
        QCOMPARE(contextMenuAt(view->viewport(), spot).value(0), MapObjectRef::of(board).title());
        for (int move = 0; move < 20; ++move) {
            const int positions = d->window->timeline()->samples(MapObjectRef::of(board).name).size();
            d->server->step(1.0);
            QTRY_VERIFY(d->window->timeline()->samples(MapObjectRef::of(board).name).size() > positions);
            QTRY_VERIFY2(d->centredOn(board), qPrintable(QStringLiteral("move %1").arg(move)));
        }
        // Positions at a stop repeat one point, which the trail keeps once.
        const QPolygonF trail = d->window->follower()->trail();
        QVERIFY(trail.size() > 2 && trail.size() <= BoardFollower::TrailLength && trail.constLast() == mapBounds(board)->center());

        // Dragging the map ends the following.
        const QPoint middle = view->viewport()->rect().center();
        QTest::mousePress(view->viewport(), Qt::LeftButton, Qt::NoModifier, middle);
        QMouseEvent drag(QEvent::MouseMove, middle + QPoint(60, 0), Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(view->viewport(), &drag);
        QTest::mouseRelease(view->viewport(), Qt::LeftButton, Qt::NoModifier, middle + QPoint(60, 0));
        QCOMPARE(d->window->follower()->board(), nullptr);
    }

    // A server that stops talking: the boards go stale on the map as in the tree, and the
    // connection shows silent, until positions come again. A lost connection leaves a dimmed
    // picture of the map over the whole view, saying when; the connection's health says it is
    // down and when the next try comes, and "Reconnect now" brings it back. The picture stays
    // until the plug-in has loaded again.
    void connection()
    {
        QVERIFY(live());
        d->window->setUpdatePeriod(200);
        d->host->keeper()->setSilentAfterMs(300);
        QStringList drawn;
        for (QObject *board : d->objects(Board))
            if (qobject_cast<QGraphicsObject *>(board)->isVisible() && board->property("hasGeometry").toBool())
                drawn << MapObjectRef::of(board).name;
        const auto stale = [this] {
            d->window->staleBoardMarks()->refresh();
            const QStringList names = d->window->staleBoardMarks()->staleBoards();
            return QSet<QString>(names.begin(), names.end());
        };
        QTRY_COMPARE(stale(), QSet<QString>(drawn.begin(), drawn.end()));
        const QModelIndex row = d->window->treeIndexOf(d->objects(Board).constFirst());
        QVERIFY(row.data(Qt::FontRole).value<QFont>().italic());
        QCOMPARE(masked(row.data(Qt::ToolTipRole).toString().section('\n', -1)), QStringLiteral("Last position n s ago (the server updates every 0.2 s)"));
        const QString url = d->server->url().toString();
        ConnectionHealth *health = d->window->connectionHealth();
        QTRY_COMPARE(masked(health->text()), QStringLiteral("Connected to %1, but silent for n s").arg(url));
        d->server->step(1.0);
        QTRY_VERIFY(stale().isEmpty() && !row.data(Qt::FontRole).value<QFont>().italic());
        QTRY_COMPARE(masked(health->text()), QStringLiteral("Connected to %1 · last message n s ago").arg(url));

        const QString positionsAt = d->server->world().now().toLocalTime().toString(QStringLiteral("HH:mm:ss"));
        LastKnownPicture *picture = d->window->lastKnownPicture();
        QVERIFY(!picture->isShown() && !health->canReconnectNow());
        const quint16 port = d->server->port();
        d->server->close();
        d->server->dropConnections();
        QTRY_VERIFY(d->objects(Board).isEmpty());
        QCOMPARE(masked(picture->text()) + picture->text().right(8), "Connection lost at hh:mm:ss — positions as of hh:mm:ss" + positionsAt);
        QVERIFY(picture->item()->sceneBoundingRect().contains(d->view()->mapToScene(d->view()->viewport()->rect().adjusted(2, 2, -2, -2)).boundingRect()));
        QTRY_VERIFY(health->canReconnectNow());
        const QRegularExpression down("^Not connected to " + QRegularExpression::escape(url) + " \\(.+\\) · next try in [12] s · last message \\d+ s ago$");
        QVERIFY2(down.match(health->text()).hasMatch(), qPrintable(health->text()));

        QVERIFY(d->server->listen(QHostAddress::LocalHost, port));
        d->server->delayMethod(QStringLiteral("BoardsServer.getBoards"), 800);
        QTest::mouseClick(health->findChild<QToolButton *>(QStringLiteral("reconnectNow")), Qt::LeftButton);
        QTRY_VERIFY(d->host->isConnected() && !d->objects(Route).isEmpty());
        QVERIFY2(picture->isShown(), "released before the boards came");
        QTRY_VERIFY(!picture->isShown());
        QVERIFY(!d->objects(Board).isEmpty() && picture->text().isEmpty() && !d->host->scene()->items().contains(picture->item()));
    }

    // What the last session left: the host's own setting comes back, and a filter carried over
    // is announced and the status bar counts the boards it lets show. The panel's edits reach
    // the plug-in, which stores them (a filter when the typing pauses, or at Enter).
    void lastSession()
    {
        const QString stored = ".*B100[12].*";
        QSettings().setValue(QStringLiteral("Lumen2/vehicle_descr_filter"), stored);
        // The detectors' minimum zoom the plug-in forgets; the host keeps it.
        QSettings().setValue(QStringLiteral("Demo/min_visible_zoom"), 15);
        Demo demo;
        QVERIFY(demo.server->listen() && demo.start());
        QCOMPARE(demo.host->plugin().property("minVisibleZoom"), QVariant(15));
        demo.window->findChild<QWidget *>("minVisibleZoom")->setProperty("value", 16);
        QCOMPARE(std::make_pair(QSettings().value("Demo/min_visible_zoom").toInt(), demo.host->plugin().property("minVisibleZoom").toInt()), std::make_pair(16, 16));
        QCOMPARE(demo.lines(MessageBar::Notice), QStringList("Vehicle filters from the last session are on (name: any; description: " + stored
                                                             + "): boards that do not match are not shown. The Display panel changes them."));
        int loggedIn = 0, matching = 0;
        for (const Sim::Board &board : demo.server->world().network().boards) {
            loggedIn += board.loggedIn;
            matching += board.loggedIn && QRegExp(stored).exactMatch(board.description);
        }
        QTRY_COMPARE(demo.window->consoleStatusBar()->shownBoardsText(), QStringLiteral("%1 of %2 boards shown").arg(matching).arg(loggedIn));
        auto *edit = demo.window->findChild<QLineEdit *>("vehicleNameFilter");
        QTest::keyClicks(edit, QStringLiteral("Bus (1)"));
        QTRY_COMPARE(demo.host->plugin().vehicleNameFilter(), QStringLiteral("Bus (1)"));
        QCOMPARE(QSettings().value("Lumen2/vehicle_name_filter").toString(), QStringLiteral("Bus (1)"));
        for (QLineEdit *filter : {edit, demo.window->findChild<QLineEdit *>("vehicleDescrFilter")}) {
            filter->clear();
            QTest::keyClick(filter, Qt::Key_Return);
        }
        QTRY_COMPARE(demo.window->consoleStatusBar()->shownBoardsText(), QString());
        // The clear buttons fade out (160 ms); an animation still running when its line edit
        // goes is never deleted, and LeakSanitizer would count it against us.
        QTest::qWait(300);

        // What the demo could not serve, and the plug-in another host holds.
        demo.window->showSourceProblems(QStringLiteral("GTFS feed in /feed refused: no trips.txt"), {"a", "b", "c", "d"});
        QCOMPARE(demo.lines(MessageBar::Refusal), QStringList(QStringLiteral("GTFS feed in /feed refused: no trips.txt")));
        QCOMPARE(demo.lines(MessageBar::Notice).constLast(), QStringLiteral("4 warning(s) about the network: a; b; c; …"));
        DemoHost other;
        QVERIFY(!other.loadPlugin(QStringLiteral(PLUGIN_PATH)));
        QCOMPARE(other.errorString(), QStringLiteral("The plug-in object already belongs to another host"));
    }
};

QTEST_MAIN(tst_DemoWindow)
#include "tst_demowindow.moc"
