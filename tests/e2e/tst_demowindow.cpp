// The demo's window on the real plug-in and the simulator, driven as an operator drives it:
// the settings panel, the menus of the rows and objects pressed, the commands asked about,
// logged and confirmed, the dialogs, search, follow and the roles.

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGraphicsPixmapItem>
#include <QContextMenuEvent>
#include <QGraphicsObject>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QRegularExpression>
#include <QSettings>
#include <QSlider>
#include <QSpinBox>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QToolButton>
#include <QtTest>

#include <algorithm>
#include <memory>

#include "boardfollower.h"
#include "commandlog.h"
#include "commandlogview.h"
#include "app/smallfeed.h"
#include "commandrunner.h"
#include "connectionhealth.h"
#include "consolestatusbar.h"
#include "demohost.h"
#include "demooptions.h"
#include "demosource.h"
#include "dialogs.h"
#include "kernel/mapview.h"
#include "jsonrpc/connectionkeeper.h"
#include "kernel/timelinewidget.h"
#include "lastknownpicture.h"
#include "legendpanel.h"
#include "mainwindow.h"
#include "mapnavigation.h"
#include "mapobject.h"
#include "messagebar.h"
#include "objecttree.h"
#include "replaybar.h"
#include "searchbar.h"
#include "settingspanel.h"
#include "sim/generator.h"
#include "sim/recorder.h"
#include "sim/replayer.h"
#include "sim/server.h"
#include "staleboardmarks.h"
#include "treesortmodel.h"

namespace {

Sim::Network smallNetwork()
{
    Sim::GeneratorOptions options;
    options.routes = 3;
    options.pointsPerRoute = 20;
    options.detectors = 6;
    options.emergencyDetectors = 1;
    options.boards = 5;
    options.emergencyBoardShare = 0.0;
    return Sim::generateNetwork(options);
}

// The host and its window, started and bound as the program does it, and the simulator
// they talk to when a test serves one.
struct Demo
{
    std::unique_ptr<Sim::Server> server;
    std::unique_ptr<DemoHost> host = std::make_unique<DemoHost>();
    std::unique_ptr<MainWindow> window;

    bool serve(Sim::Network network = smallNetwork())
    {
        server = std::make_unique<Sim::Server>(std::move(network));
        server->setTickInterval(0);
        return server->listen();
    }
    bool start(bool shown = false)
    {
        if (!host->loadPlugin(QStringLiteral(PLUGIN_PATH)))
            return false;
        window = std::make_unique<MainWindow>(host.get());
        if (!host->startPlugin() || !window->bindPlugin())
            return false;
        if (server)
            host->connectToServer(server->url());
        if (!shown)
            return true;
        window->show();
        QApplication::setActiveWindow(window.get());
        return QTest::qWaitForWindowActive(window.get());
    }
    // Loaded and subscribed: commands come back as notifications.
    bool ready(MapObjectRef::Kind kind = MapObjectRef::Board)
    {
        return !objects(kind).isEmpty() && server->requestCount(QStringLiteral("subscribe")) >= 1;
    }
    QVector<QObject *> objects(MapObjectRef::Kind kind) const
    {
        QVector<QObject *> found;
        for (QObject *object : listedObjects(host->itemModel())) {
            if (MapObjectRef::of(object).kind == kind)
                found.append(object);
        }
        return found;
    }
    // Boards with a position that drive their route.
    QVector<QObject *> drivingBoards() const
    {
        QVector<QObject *> found;
        for (QObject *board : objects(MapObjectRef::Board)) {
            const Sim::Board *b = server->world().board(MapObjectRef::of(board).name);
            if (b && b->loggedIn && b->drivingRoute != 0 && mapBounds(board))
                found.append(board);
        }
        return found;
    }
    QPointF viewCentre() const
    {
        Road::MapView *view = window->mapView();
        return view->mapToScene(view->viewport()->rect().center());
    }
    ~Demo()
    {
        // As in the program: the window (and its view) goes before the host.
        window.reset();
        host.reset();
    }
};

QAction *menuAction(QMenu *menu, const QString &name)
{
    for (QAction *action : menu->actions()) {
        if (action->objectName() == name)
            return action;
    }
    return nullptr;
}

// The title and named actions of the menu a right click at pos on widget opens.
QStringList contextMenuAt(QWidget *widget, const QPoint &pos)
{
    QStringList seen;
    QTimer::singleShot(0, widget, [&seen] {
        if (auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget())) {
            seen.append(menu->title());
            for (QAction *action : menu->actions())
                if (!action->objectName().isEmpty() && action->objectName() != QLatin1String("heading"))
                    seen.append(action->objectName());
            menu->close();
        }
    });
    QContextMenuEvent event(QContextMenuEvent::Mouse, pos, widget->mapToGlobal(pos));
    QApplication::sendEvent(widget, &event);
    return seen;
}

// Answers the question a safety-critical command asks with a key; its text, or nothing
// when no question is open.
QString answerQuestion(MainWindow *window, Qt::Key key)
{
    for (QMessageBox *box : window->findChildren<QMessageBox *>(QStringLiteral("confirmCommand"))) {
        if (box->isVisible()) {
            const QString question = box->text();
            QTest::keyClick(box, key);
            return question;
        }
    }
    return QString();
}

} // namespace

class tst_DemoWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        QCoreApplication::setOrganizationName(QStringLiteral("lumen-tests"));
        QCoreApplication::setApplicationName(QStringLiteral("tst_demowindow"));
    }
    void init() { QSettings().clear(); }

    // What the plug-in read from the application's settings shows in the panel, and a change
    // in the panel reaches the plug-in, which stores it under its key.
    void settingsPanel_data()
    {
        QTest::addColumn<QString>("property");
        QTest::addColumn<QString>("key");
        QTest::addColumn<int>("stored");
        QTest::addColumn<int>("changed");
        QTest::newRow("vehicle text") << "textShowMode" << "Lumen2/text_show_value" << 2 << 1;
        QTest::newRow("emergency sector") << "emsShowMode" << "Lumen2/ems_show_value" << 2 << 1;
        QTest::newRow("board weight") << "brdWeightShowMode" << "Lumen2/brd_weight_show_mode_value" << 2 << 1;
        QTest::newRow("detector weight") << "dtWeightShowMode" << "Lumen2/dt_weight_show_mode_value" << 2 << 1;
        // Both flags default to true: a stored false must show.
        QTest::newRow("on activation") << "showDtOnActivation" << "Lumen2/show_dt_on_activation" << 0 << 1;
        QTest::newRow("when approaching") << "showDtWhenApproaching" << "Lumen2/show_dt_when_approaching" << 0 << 1;
    }
    void settingsPanel()
    {
        QFETCH(QString, property);
        QFETCH(QString, key);
        QFETCH(int, stored);
        QFETCH(int, changed);
        QSettings().setValue(key, stored);
        Demo demo;
        QVERIFY(demo.start());
        auto *box = demo.window->settingsPanel()->findChild<QComboBox *>(property);
        auto *check = demo.window->settingsPanel()->findChild<QCheckBox *>(property);
        QVERIFY(box || check);
        QCOMPARE(box ? box->currentIndex() : int(check->isChecked()), stored);
        box ? box->setCurrentIndex(changed) : check->setChecked(changed);
        QCOMPARE(demo.host->plugin().property(property.toLatin1().constData()).toInt(), changed);
        QCOMPARE(QSettings().value(key).toInt(), changed);
    }

    // A filter carried over from the last session is announced, the status bar counts the
    // boards it lets show, and the panel's edits reach the plug-in after a pause or at Enter.
    void filters_data()
    {
        QTest::addColumn<QString>("editName");
        QTest::addColumn<QString>("key");
        QTest::newRow("name") << "vehicleNameFilter" << "Lumen2/vehicle_name_filter";
        QTest::newRow("description") << "vehicleDescrFilter" << "Lumen2/vehicle_descr_filter";
    }
    void filters()
    {
        QFETCH(QString, editName);
        QFETCH(QString, key);
        const QString stored = QStringLiteral(".*B100[12].*");
        QSettings().setValue(key, stored);
        Demo demo;
        QVERIFY(demo.serve() && demo.start());
        QCOMPARE(demo.window->messageBar()->messages(MessageBar::Notice).size(), 1);
        int loggedIn = 0, matching = 0;
        for (const Sim::Board &board : demo.server->world().network().boards) {
            loggedIn += board.loggedIn;
            matching += board.loggedIn && QRegExp(stored).exactMatch(editName.contains("Name") ? board.name : board.description);
        }
        QTRY_COMPARE(demo.window->consoleStatusBar()->shownBoardsText(),
                     QStringLiteral("%1 of %2 boards shown").arg(matching).arg(loggedIn));

        auto *edit = demo.window->settingsPanel()->findChild<QLineEdit *>(editName);
        const auto current = [&] {
            return editName == QLatin1String("vehicleNameFilter") ? demo.host->plugin().vehicleNameFilter()
                                                                  : demo.host->plugin().vehicleDescrFilter();
        };
        edit->clear();
        QTest::keyClicks(edit, QStringLiteral("Bus ("));
        // Typing waits for a pause before it filters; an unfinished pattern is marked.
        QCOMPARE(current(), stored);
        QVERIFY(!edit->styleSheet().isEmpty());
        QTRY_COMPARE(current(), QStringLiteral("Bus ("));
        QCOMPARE(QSettings().value(key).toString(), QStringLiteral("Bus ("));
        QTest::keyClicks(edit, QStringLiteral("1)"));
        QTest::keyClick(edit, Qt::Key_Return);
        QCOMPARE(current(), QStringLiteral("Bus (1)"));
        QVERIFY(edit->styleSheet().isEmpty());
        edit->clear();
        QTest::keyClick(edit, Qt::Key_Return);
        QTRY_COMPARE(demo.window->consoleStatusBar()->shownBoardsText(), QString());
    }

    // The plug-in forgets its detectors' minimum zoom between sessions; the host keeps it.
    void minimumZoomOutlivesTheSession()
    {
        const auto spinOf = [](Demo &demo) {
            return demo.window->settingsPanel()->findChild<QSpinBox *>(QStringLiteral("minVisibleZoom"));
        };
        {
            Demo demo;
            QVERIFY(demo.start());
            QCOMPARE(spinOf(demo)->value(), 17);
            spinOf(demo)->setValue(15);
            QCOMPARE(demo.host->plugin().property("minVisibleZoom").toInt(), 15);
        }
        Demo demo;
        QVERIFY(demo.start());
        QCOMPARE(demo.host->plugin().property("minVisibleZoom").toInt(), 15);
        QCOMPARE(spinOf(demo)->value(), 15);
    }

    // A safety-critical command is asked about first: Enter sends it once, and the log and
    // the message bar show the server's notification confirming it; the log's Revert undoes
    // it. Esc sends nothing; with the question turned off none is asked. Without a
    // notification in time the command stays unconfirmed.
    void askedCommand_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("verb");
        QTest::addColumn<QString>("done");
        QTest::addColumn<QString>("undo");
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("delayMs");
        const int route = MapObjectRef::Route, board = MapObjectRef::Board, detector = MapObjectRef::Detector;
        QTest::newRow("route locked") << route << "Lock" << "locked" << "Unlock" << int(Qt::Key_Return) << 0;
        QTest::newRow("board locked") << board << "Lock" << "locked" << "Unlock" << int(Qt::Key_Return) << 0;
        QTest::newRow("detector locked") << detector << "Lock" << "locked" << "Unlock" << int(Qt::Key_Return) << 0;
        QTest::newRow("detector activated") << detector << "Activate" << "activated" << "Deactivate" << int(Qt::Key_Return) << 0;
        QTest::newRow("cancelled with Esc") << board << "Lock" << "locked" << "Unlock" << int(Qt::Key_Escape) << 0;
        QTest::newRow("not asked when turned off") << board << "Lock" << "locked" << "Unlock" << 0 << 0;
        QTest::newRow("no notification in time") << board << "Lock" << "locked" << "Unlock" << int(Qt::Key_Return) << 1000;
    }
    void askedCommand()
    {
        QFETCH(int, kind);
        QFETCH(QString, verb);
        QFETCH(QString, done);
        QFETCH(QString, undo);
        QFETCH(int, key);
        QFETCH(int, delayMs);
        Demo demo;
        QVERIFY(demo.serve() && demo.start(true));
        QTRY_VERIFY(demo.ready(MapObjectRef::Kind(kind)));
        QPointer<QObject> object = demo.objects(MapObjectRef::Kind(kind)).constFirst();
        const MapObjectRef ref = MapObjectRef::of(object);
        const bool lock = verb == QLatin1String("Lock");
        const QString method = lock ? OperatorCommand::make(OperatorCommand::Lock, ref).method() : QStringLiteral("VDTService.setVdtActive");
        const QString noun = ref.title().left(1).toLower() + ref.title().mid(1);
        const Sim::World &world = demo.server->world();
        const auto doneOnServer = [&] {
            return !lock ? world.detectorActivated(*world.detector(ref.id))
                 : ref.kind == MapObjectRef::Route ? world.route(ref.id)->locked
                 : ref.kind == MapObjectRef::Board ? world.board(ref.name)->locked
                                                   : world.detector(ref.id)->locked;
        };
        CommandLog *log = demo.window->commandLog();
        demo.window->commandRunner()->setConfirmTimeout(delayMs ? delayMs / 2 : CommandRunner::ConfirmTimeoutMs);
        if (delayMs)
            demo.server->delayMethod(method, delayMs);
        if (!key)
            demo.window->findChild<QAction *>(QStringLiteral("askFirst"))->setChecked(false);

        std::unique_ptr<QMenu> menu(demo.window->createObjectMenu(object, nullptr));
        menuAction(menu.get(), verb.toLower())->trigger();
        QCOMPARE(answerQuestion(demo.window.get(), Qt::Key(key ? key : Qt::Key_Escape)), key ? QStringLiteral("%1 %2?").arg(verb, noun) : QString());
        if (key == Qt::Key_Escape) {
            // A query answered is a request the server got after the command would have come.
            demo.host->plugin().webUrl();
            QCOMPARE(demo.server->requestCount(method), 0);
            QCOMPARE(log->rowCount(), 0);
            return;
        }
        if (delayMs) {
            QTRY_COMPARE(log->entryAt(0)->outcome, CommandLog::Unconfirmed);
            QTRY_VERIFY(doneOnServer());
            QCOMPARE(log->entryAt(0)->outcome, CommandLog::Unconfirmed);
            return;
        }
        QTRY_COMPARE(log->entryAt(0)->outcome, CommandLog::Confirmed);
        QVERIFY(doneOnServer());
        QCOMPARE(demo.server->requestCount(method), 1);
        const QStringList lines = demo.window->messageBar()->messages(MessageBar::Confirmation);
        QCOMPARE(lines.size(), 1);
        QVERIFY2(QRegularExpression(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d %1 %2$").arg(ref.title(), done)).match(lines.at(0)).hasMatch(),
                 qPrintable(lines.at(0)));
        if (ref.kind == MapObjectRef::Board) {
            // The legend's locked boards are drawn by the board now locked, once it has a
            // position.
            LegendPanel *legend = demo.window->legend();
            demo.server->step(1.0);
            QTRY_VERIFY((legend->refresh(), legend->hasSample(LegendPanel::BoardLocked)));
            QCOMPARE(legend->count(LegendPanel::BoardLocked), 1);
        }

        QTest::mouseClick(demo.window->findChild<CommandLogView *>()->revertButton(0), Qt::LeftButton);
        QCOMPARE(answerQuestion(demo.window.get(), Qt::Key_Return), key ? QStringLiteral("%1 %2?").arg(undo, noun) : QString());
        QTRY_VERIFY(!doneOnServer());
        QTRY_COMPARE(log->entryAt(0)->outcome, CommandLog::Confirmed);
        QCOMPARE(log->rowCount(), 2);
    }

    // The controller's properties as the server holds them, shown as the server sent them.
    void controllerQuery()
    {
        Demo demo;
        QVERIFY(demo.serve() && demo.start());
        QTRY_VERIFY(demo.ready(MapObjectRef::Detector));
        const QVector<QObject *> detectors = demo.objects(MapObjectRef::Detector);
        const auto detector = std::find_if(detectors.begin(), detectors.end(),
                                           [](QObject *d) { return MapObjectRef::of(d).tlNumber > 0; });
        QVERIFY2(detector != detectors.end(), "no detector with a traffic-light controller");
        const MapObjectRef ref = MapObjectRef::of(*detector);
        std::unique_ptr<QMenu> menu(demo.window->createObjectMenu(*detector, nullptr));
        menuAction(menu.get(), QStringLiteral("tlcProperties"))->trigger();
        auto *answer = demo.window->findChild<AnswerDialog *>();
        auto *text = answer ? answer->findChild<QPlainTextEdit *>(QStringLiteral("answerText")) : nullptr;
        QVERIFY(text);
        const Sim::World &world = demo.server->world();
        QCOMPARE(QJsonDocument::fromJson(text->toPlainText().toUtf8()).object(),
                 world.trafficLightProperties(*world.trafficLight(ref.tlNumber)));
    }

    // Property changes are typed as key=value lines; text that does not parse sends nothing,
    // and a refusal leaves the dialog open with the text as it was, and reaches the status
    // bar.
    void propertiesDialog()
    {
        Demo demo;
        QVERIFY(demo.serve() && demo.start());
        QTRY_VERIFY(demo.ready(MapObjectRef::Route));
        QObject *route = demo.objects(MapObjectRef::Route).constFirst();
        const int id = MapObjectRef::of(route).id;

        std::unique_ptr<QMenu> menu(demo.window->createObjectMenu(route, nullptr));
        menuAction(menu.get(), QStringLiteral("changeProperties"))->trigger();
        QPointer<PropertiesDialog> dialog = demo.window->findChild<PropertiesDialog *>(QStringLiteral("propertiesDialog"));
        QVERIFY(dialog && dialog->isVisible());
        auto *text = dialog->findChild<QPlainTextEdit *>(QStringLiteral("propertiesText"));
        text->setPlainText(QStringLiteral("name Night line"));
        dialog->accept();
        QVERIFY(dialog->isVisible());
        const QString refused = QStringLiteral("colour=red\nname=Night line");
        text->setPlainText(refused);
        dialog->accept();
        QTRY_VERIFY2(dialog->refusalText().contains(QStringLiteral("colour")), qPrintable(dialog->refusalText()));
        QVERIFY(dialog->isVisible());
        QCOMPARE(text->toPlainText(), refused);
        // The plug-in's rpcError of it is in the status bar.
        QCOMPARE(demo.window->rpcErrors().size(), 1);
        QVERIFY(demo.window->rpcErrors().constFirst().startsWith(QStringLiteral("code: -32602, message: ")));
        text->setPlainText(QStringLiteral("name=Night line\ndescription=\"Harbour, late\""));
        dialog->accept();
        QTRY_VERIFY(!dialog);
        QCOMPARE(demo.server->world().route(id)->name, QStringLiteral("Night line"));
        QCOMPARE(demo.server->world().route(id)->description, QStringLiteral("Harbour, late"));
        QCOMPARE(demo.server->requestCount(QStringLiteral("RoadNetwork.changeRouteProperties")), 2);
    }

    // Assigning asks for the route id, starting from the board's current route; a refusal
    // keeps the dialog and its input; after the board has moved to its new route, the tree's
    // current row is still the board's.
    void assignKeepsInputAndSelection()
    {
        Demo demo;
        QVERIFY(demo.serve() && demo.start(true));
        QTRY_VERIFY(demo.ready() && demo.objects(MapObjectRef::Route).size() == 3);
        ObjectTree *tree = demo.window->objectTree();
        QObject *board = demo.objects(MapObjectRef::Board).constFirst();
        const QString name = MapObjectRef::of(board).name;
        const Sim::World &world = demo.server->world();
        int target = 0;
        for (QObject *route : demo.objects(MapObjectRef::Route)) {
            if (MapObjectRef::of(route).id != world.board(name)->routeId)
                target = MapObjectRef::of(route).id;
        }
        tree->scrollTo(tree->indexOf(board));
        QTest::mouseClick(tree->viewport(), Qt::LeftButton, Qt::NoModifier, tree->visualRect(tree->indexOf(board)).center());
        QCOMPARE(demo.window->selectedObject(), board);

        std::unique_ptr<QMenu> menu(demo.window->createObjectMenu(board, nullptr));
        menuAction(menu.get(), QStringLiteral("assign"))->trigger();
        QPointer<RouteDialog> dialog = demo.window->findChild<RouteDialog *>(QStringLiteral("assignDialog"));
        QVERIFY(dialog);
        QCOMPARE(dialog->routeId(), qMax(1, board->property("routeId").toInt()));
        dialog->setRouteId(9999);
        QTest::keyClick(dialog, Qt::Key_Return);
        QTRY_VERIFY2(dialog->refusalText().contains(QStringLiteral("9999")), qPrintable(dialog->refusalText()));
        QCOMPARE(dialog->routeId(), 9999);
        QCOMPARE(demo.window->messageBar()->messages(MessageBar::Refusal), QStringList(dialog->refusalText()));
        dialog->setRouteId(target);
        QTest::keyClick(dialog, Qt::Key_Return);
        QTRY_VERIFY(!dialog);
        QTRY_COMPARE(world.board(name)->routeId, target);
        QTRY_COMPARE(board->property("routeId").toInt(), target);
        QTRY_COMPARE(tree->objectAt(tree->currentIndex()), board);
        QCOMPARE(demo.window->selectedObject(), board);
    }

    // A right click on a board under "Assigned boards" opens that board's menu, titled with
    // it; nothing under the pointer moves, and rows that move between the press and the menu
    // do not change whose menu it is.
    void menuOfThePressedRow_data()
    {
        QTest::addColumn<bool>("resort");
        QTest::newRow("the board's route would open") << false;
        QTest::newRow("rows sorted anew before the menu") << true;
    }
    void menuOfThePressedRow()
    {
        QFETCH(bool, resort);
        Demo demo;
        QVERIFY(demo.serve() && demo.start(true));
        QTRY_VERIFY(demo.ready() && demo.objects(MapObjectRef::Route).size() == 3);
        ObjectTree *tree = demo.window->objectTree();
        const QVector<QObject *> boards = demo.objects(MapObjectRef::Board);
        const auto assigned = std::find_if(boards.begin(), boards.end(), [](QObject *b) { return b->property("routeId").toInt() != 0; });
        QVERIFY(assigned != boards.end());
        QObject *board = *assigned;
        // Its row under "Assigned boards"; the other one is under its route, which is closed.
        const QModelIndexList rows = tree->model()->match(tree->model()->index(0, 0), Qt::DisplayRole,
                                                          MapObjectRef::of(board).name, -1, Qt::MatchExactly | Qt::MatchRecursive);
        const auto under = std::find_if(rows.begin(), rows.end(), [](const QModelIndex &i) {
            return i.parent().data().toString() == QLatin1String("Assigned boards");
        });
        QVERIFY(under != rows.end());
        const QModelIndex row = *under;
        tree->scrollTo(row);
        const QRect place = tree->visualRect(row);

        QTest::mousePress(tree->viewport(), Qt::RightButton, Qt::NoModifier, place.center());
        QCOMPARE(tree->currentIndex(), row);
        QCOMPARE(tree->visualRect(row), place);
        QCOMPARE(demo.window->selectedObject(), board);
        if (resort)
            tree->sortByColumn(0, Qt::DescendingOrder);
        const QStringList menu = contextMenuAt(tree->viewport(), place.center());
        QCOMPARE(menu.value(0), MapObjectRef::of(board).title());
        QVERIFY(menu.contains(QStringLiteral("assign")));
        QTest::mouseRelease(tree->viewport(), Qt::RightButton, Qt::NoModifier, place.center());
    }

    // Search takes a part of a key or name in any case, selects the first hit and brings the
    // map to it, close enough to see it (a detector from a city view too); Enter steps on.
    void search_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<int>("column");
        QTest::newRow("board by its name") << int(MapObjectRef::Board) << 0;
        QTest::newRow("route by its name") << int(MapObjectRef::Route) << 1;
        QTest::newRow("detector by its name") << int(MapObjectRef::Detector) << 1;
    }
    void search()
    {
        QFETCH(int, kind);
        QFETCH(int, column);
        Demo demo;
        QVERIFY(demo.serve() && demo.start(true));
        QTRY_VERIFY(demo.ready() && demo.ready(MapObjectRef::Detector) && demo.window->fittedToNetwork());
        demo.server->step(1.0);
        QTRY_VERIFY(!demo.drivingBoards().isEmpty());
        QObject *wanted = kind == MapObjectRef::Board ? demo.drivingBoards().constFirst()
                                                      : demo.objects(MapObjectRef::Kind(kind)).constLast();
        Road::MapView *view = demo.window->mapView();
        view->setZoom(11);

        QTest::keyClick(demo.window.get(), Qt::Key_F, Qt::ControlModifier);
        QLineEdit *field = demo.window->searchBar()->field();
        QVERIFY(field->hasFocus());
        const QString text = rowText(wanted, column);
        QTest::keyClicks(field, text.mid(1, text.size() - 2).toLower());
        QCOMPARE(demo.window->selectedObject(), wanted);
        const QPointF centre = mapBounds(wanted)->center();
        const QPointF offset = view->mapFromScene(centre) - view->viewport()->rect().center();
        QVERIFY2(offset.manhattanLength() <= 2, qPrintable(QStringLiteral("%1, %2").arg(offset.x()).arg(offset.y())));
        const QRect onScreen = view->mapFromScene(*mapBounds(wanted)).boundingRect();
        QVERIFY(kind == MapObjectRef::Board || std::max(onScreen.width(), onScreen.height()) >= 12);

        const QVector<QObject *> hits = demo.window->searchBar()->hits();
        QTest::keyClick(field, Qt::Key_Return);
        QCOMPARE(demo.window->selectedObject(), hits.value(1 % hits.size()));
    }

    // A click on a board on the map selects it and its row, a right click opens its menu,
    // and F follows it: across twenty moves the map keeps it in the middle, with a trail of
    // where it was. Dragging the map ends the following and selects nothing else.
    void clickAndFollowABoard()
    {
        Demo demo;
        QVERIFY(demo.serve() && demo.start(true));
        QTRY_VERIFY(demo.ready() && demo.window->fittedToNetwork());
        demo.server->step(1.0);
        QTRY_VERIFY(!demo.drivingBoards().isEmpty());
        QObject *board = demo.drivingBoards().constFirst();
        Road::MapView *view = demo.window->mapView();
        demo.window->navigation()->zoomTo(board);
        const QPoint spot = view->mapFromScene(mapBounds(board)->center());
        QVERIFY((spot - view->viewport()->rect().center()).manhattanLength() <= 2);
        QTest::mouseClick(view->viewport(), Qt::LeftButton, Qt::NoModifier, spot);
        QCOMPARE(demo.window->selectedObject(), board);
        QVERIFY(board->property("selected").toBool());
        QCOMPARE(demo.window->objectTree()->objectAt(demo.window->objectTree()->currentIndex()), board);
        view->setFocus();
        QTest::keyClick(view, Qt::Key_F);
        QCOMPARE(demo.window->follower()->board(), board);
        QCOMPARE(contextMenuAt(view->viewport(), view->mapFromScene(mapBounds(board)->center())).value(0),
                 MapObjectRef::of(board).title());

        const QString name = MapObjectRef::of(board).name;
        for (int move = 0; move < 20; ++move) {
            const int positions = demo.window->timeline()->samples(name).size();
            demo.server->step(1.0);
            QTRY_VERIFY(demo.window->timeline()->samples(name).size() > positions);
            QTRY_VERIFY2((view->mapFromScene(mapBounds(board)->center()) - view->viewport()->rect().center()).manhattanLength() <= 2,
                         qPrintable(QStringLiteral("move %1").arg(move)));
        }
        // Positions at a stop repeat one point, which the trail keeps once.
        QVERIFY(demo.window->follower()->trail().size() > 2);

        const QPoint middle = view->viewport()->rect().center() + QPoint(0, 40);
        QTest::mousePress(view->viewport(), Qt::LeftButton, Qt::NoModifier, middle);
        // QTest moves a widget's pointer without an event; send the drag itself.
        QMouseEvent drag(QEvent::MouseMove, middle + QPoint(60, 0), Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(view->viewport(), &drag);
        QTest::mouseRelease(view->viewport(), Qt::LeftButton, Qt::NoModifier, middle + QPoint(60, 0));
        QCOMPARE(demo.window->follower()->board(), nullptr);
        QCOMPARE(demo.window->selectedObject(), board);
    }

    // An observer's commands are greyed out, its queries not, and its role is shown.
    void observerSeesCommandsGreyed()
    {
        Demo demo;
        QVERIFY(demo.serve());
        demo.server->setRole(QStringLiteral("observer"));
        QVERIFY(demo.start(true));
        QTRY_VERIFY(demo.ready() && demo.ready(MapObjectRef::Detector));
        QTRY_COMPARE(demo.window->consoleStatusBar()->roleText(), QStringLiteral("Role: observer"));
        const auto enabled = [&](QObject *object) {
            std::unique_ptr<QMenu> menu(demo.window->createObjectMenu(object, nullptr));
            QStringList on;
            for (QAction *action : menu->actions())
                if (action->isEnabled() && !action->objectName().isEmpty())
                    on.append(action->objectName());
            return on;
        };
        QCOMPARE(enabled(demo.objects(MapObjectRef::Board).constFirst()), QStringList({"follow", "zoomTo", "webUrl"}));
        QCOMPARE(enabled(demo.objects(MapObjectRef::Route).constFirst()), QStringList({"timelineData", "zoomTo", "webUrl"}));
        const QStringList detector = enabled(demo.objects(MapObjectRef::Detector).constFirst());
        QVERIFY(detector.contains("vdtProperties") && !detector.contains("lock") && !detector.contains("activate"));
    }

    // The keys of the map, while it has the focus: + and − zoom, the arrows pan, Home shows
    // the whole network, Esc clears the selection.
    void mapKeys()
    {
        Demo demo;
        QVERIFY(demo.serve() && demo.start(true));
        QTRY_VERIFY(demo.ready(MapObjectRef::Route) && demo.window->fittedToNetwork());
        Road::MapView *view = demo.window->mapView();
        view->setFocus();
        const int fitted = view->zoom();
        const QPointF home = demo.viewCentre();
        QTest::keyClick(view, Qt::Key_Plus);
        QCOMPARE(view->zoom(), fitted + 1);
        QTest::keyClick(view, Qt::Key_Right);
        QVERIFY(demo.viewCentre().x() > home.x());
        QTest::keyClick(view, Qt::Key_Minus);
        QTest::keyClick(view, Qt::Key_Minus);
        QCOMPARE(view->zoom(), fitted - 1);
        QTest::keyClick(view, Qt::Key_Home);
        QCOMPARE(view->zoom(), fitted);
        QVERIFY(QLineF(demo.viewCentre(), home).length() < 1e-6);
        demo.window->selectObject(demo.objects(MapObjectRef::Route).constFirst(), false);
        QTest::keyClick(view, Qt::Key_Escape);
        QCOMPARE(demo.window->selectedObject(), nullptr);
    }

    // The plug-in draws a route only while it is selected, unless the host keeps it shown.
    void showAllRoutes()
    {
        Demo demo;
        QVERIFY(demo.serve() && demo.start(true));
        QTRY_COMPARE(demo.objects(MapObjectRef::Route).size(), 3);
        const QVector<QObject *> routes = demo.objects(MapObjectRef::Route);
        const auto visibleCount = [&] {
            return int(std::count_if(routes.begin(), routes.end(),
                                     [](QObject *route) { return qobject_cast<QGraphicsObject *>(route)->isVisible(); }));
        };
        // Shown by default.
        QTRY_COMPARE(visibleCount(), 3);
        auto *box = demo.window->settingsPanel()->findChild<QCheckBox *>(QStringLiteral("showAllRoutes"));
        demo.window->selectObject(routes.at(1), false);
        box->setChecked(false);
        QCOMPARE(visibleCount(), 1);
        QVERIFY(qobject_cast<QGraphicsObject *>(routes.at(1))->isVisible());
        QCOMPARE(QSettings().value(SettingsPanel::ShowAllRoutesKey).toBool(), false);
        box->setChecked(true);
        QCOMPARE(visibleCount(), 3);
    }

    // While the geometry comes the status bar counts it; once it has come the map shows all
    // of it and the status bar counts the boards by state.
    void loadingThenTheNetwork()
    {
        Sim::Network network = smallNetwork();
        QRectF expected;
        for (const Sim::Route &route : network.routes) {
            for (const QPointF &p : route.line.points())
                expected |= QRectF(p, QSizeF(1e-9, 1e-9));
        }
        Demo demo;
        QVERIFY(demo.serve(std::move(network)));
        // A project of its own: no geometry cached by earlier tests.
        QTemporaryDir project;
        demo.host->setProjectDir(project.path());
        demo.server->delayMethod(QStringLiteral("RoadNetwork.getRouteGeometry"), 1000);
        QVERIFY(demo.start(true));
        QTRY_VERIFY(demo.window->consoleStatusBar()->censusText().startsWith(QStringLiteral("Loading: routes 0/3")));
        QTRY_VERIFY_WITH_TIMEOUT(demo.window->fittedToNetwork(), 10000);
        Road::MapView *view = demo.window->mapView();
        const QRectF visible = view->mapToScene(view->viewport()->rect()).boundingRect();
        QVERIFY(visible.contains(expected));
        // Fitted, not merely zoomed out: the network fills a good part of the view.
        QVERIFY(expected.width() > visible.width() / 3 || expected.height() > visible.height() / 3);
        QTRY_VERIFY2(demo.window->consoleStatusBar()->censusText().startsWith(QStringLiteral("5 boards: ")),
                     qPrintable(demo.window->consoleStatusBar()->censusText()));
    }

    // A lost connection leaves a dimmed picture of the map where the plug-in's items were,
    // saying when; the connection's health says it is down, and "Reconnect now" brings it
    // back. The picture stays until the plug-in has loaded again.
    void lastPictureWhileTheConnectionIsLost()
    {
        Demo demo;
        QVERIFY(demo.serve() && demo.start(true));
        QTRY_VERIFY(demo.ready() && demo.window->fittedToNetwork());
        demo.server->step(1.0);
        QTRY_VERIFY(!demo.drivingBoards().isEmpty());
        const QString positionsAt = demo.server->world().now().toLocalTime().toString(QStringLiteral("HH:mm:ss"));
        LastKnownPicture *picture = demo.window->lastKnownPicture();
        ConnectionHealth *health = demo.window->connectionHealth();
        QVERIFY(!picture->isShown() && !health->canReconnectNow());
        health->refresh();
        QVERIFY2(QRegularExpression(QStringLiteral("^Connected to ws://.* · last message \\d+ s ago$")).match(health->text()).hasMatch(),
                 qPrintable(health->text()));

        const quint16 port = demo.server->port();
        demo.server->close();
        demo.server->dropConnections();
        QTRY_VERIFY(demo.objects(MapObjectRef::Board).isEmpty());
        QVERIFY(picture->isShown());
        QVERIFY2(QRegularExpression(QStringLiteral("^Connection lost at \\d\\d:\\d\\d:\\d\\d — positions as of %1$").arg(positionsAt))
                     .match(picture->text()).hasMatch(),
                 qPrintable(picture->text()));
        // Laid where the map was, over the whole view.
        Road::MapView *view = demo.window->mapView();
        QCOMPARE(picture->item()->scene(), static_cast<QGraphicsScene *>(demo.host->scene()));
        const QRectF shown = view->mapToScene(view->viewport()->rect()).boundingRect();
        const QRectF covered = picture->item()->sceneBoundingRect();
        QVERIFY2(qAbs(covered.left() - shown.left()) < shown.width() / 100 && qAbs(covered.bottom() - shown.bottom()) < shown.height() / 100
                     && qAbs(covered.width() - shown.width()) < shown.width() / 100,
                 qPrintable(QStringLiteral("%1 %2 %3 %4").arg(covered.left()).arg(covered.top()).arg(covered.width()).arg(covered.height())));
        QTRY_VERIFY(health->canReconnectNow());
        QVERIFY2(health->text().startsWith(QStringLiteral("Not connected to ws://"))
                     && health->text().contains(QStringLiteral("last message")),
                 qPrintable(health->text()));

        QVERIFY(demo.server->listen(QHostAddress::LocalHost, port));
        demo.server->delayMethod(QStringLiteral("BoardsServer.getBoards"), 800);
        QTest::mouseClick(health->findChild<QToolButton *>(QStringLiteral("reconnectNow")), Qt::LeftButton);
        QTRY_VERIFY(demo.host->isConnected() && !demo.objects(MapObjectRef::Route).isEmpty());
        QVERIFY2(picture->isShown(), "released before the boards came");
        QTRY_VERIFY(!picture->isShown());
        QVERIFY(!demo.objects(MapObjectRef::Board).isEmpty());
        QVERIFY(picture->text().isEmpty());
        QVERIFY(!demo.host->scene()->items().contains(picture->item()));
    }

    // A server that stops talking: the boards go stale on the map as in the tree, and the
    // connection shows silent, until positions come again.
    void quietServer()
    {
        Demo demo;
        QVERIFY(demo.serve() && demo.start(true));
        QTRY_VERIFY(demo.ready());
        demo.server->step(1.0);
        QTRY_VERIFY(!demo.drivingBoards().isEmpty());
        demo.window->setUpdatePeriod(200);
        demo.host->keeper()->setSilentAfterMs(300);
        StaleBoardMarks *marks = demo.window->staleBoardMarks();
        QStringList drawn;
        for (QObject *board : demo.objects(MapObjectRef::Board)) {
            if (qobject_cast<QGraphicsObject *>(board)->isVisible() && board->property("hasGeometry").toBool())
                drawn << MapObjectRef::of(board).name;
        }
        drawn.sort();
        const auto stale = [&] {
            marks->refresh();
            QStringList names = marks->staleBoards();
            names.sort();
            return names;
        };
        QTRY_COMPARE(stale(), drawn);
        QObject *board = demo.objects(MapObjectRef::Board).constFirst();
        QVERIFY(demo.window->objectTree()->sortModel()->isStale(demo.window->treeIndexOf(board)));
        QTRY_VERIFY2(demo.window->connectionHealth()->text().contains(QStringLiteral("silent for")),
                     qPrintable(demo.window->connectionHealth()->text()));

        demo.server->step(1.0);
        QTRY_VERIFY(stale().isEmpty());
        QTRY_VERIFY(!demo.window->connectionHealth()->text().contains(QStringLiteral("silent")));
    }

    // The controls of a replay: the slider seeks, the speed and play set the pace at which
    // boards count as stale, and a paused replay has none.
    void replayControls()
    {
        QTemporaryDir dir;
        const QString file = dir.filePath(QStringLiteral("run.jsonl"));
        QString board;
        {
            // Not listening, the server's clock stands still; the tick it records is a second.
            Sim::Server live(smallNetwork());
            Sim::Recorder recorder;
            QVERIFY(recorder.open(file));
            live.setRecorder(&recorder);
            board = live.world().network().boards.constFirst().name;
            for (int second = 1; second <= 12; ++second) {
                live.step(1.0);
                if (second == 5)
                    QVERIFY(live.world().changeBoardProperties(board, QJsonObject{{"locked", true}}).isEmpty());
                live.flushNotifications();
            }
            recorder.finish(live.world());
        }
        Sim::Recording recording = Sim::Recording::load(file);
        QVERIFY2(recording.ok(), qPrintable(recording.error()));
        const QDateTime start = recording.start();
        Demo demo;
        demo.server = std::make_unique<Sim::Server>(Sim::Network{});
        demo.server->setTickInterval(0);
        QVERIFY(demo.server->listen());
        Sim::Replayer replayer(std::move(recording), demo.server.get());
        QVERIFY(demo.start(true));
        demo.window->showReplay(&replayer);
        auto *bar = demo.window->findChild<ReplayBar *>();
        QVERIFY(bar);
        QCOMPARE(bar->slider()->maximum(), 12);
        QTRY_VERIFY(demo.ready());
        const auto locked = [&] {
            for (QObject *b : demo.objects(MapObjectRef::Board)) {
                if (MapObjectRef::of(b).name == board)
                    return b->property("locked").toBool();
            }
            return false;
        };
        bar->slider()->setValue(8);
        QCOMPARE(replayer.position(), 8.0);
        QTRY_VERIFY(locked());
        QVERIFY2(bar->timeText().startsWith(start.addSecs(8).toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))),
                 qPrintable(bar->timeText()));
        bar->slider()->setValue(2);
        QTRY_VERIFY(!locked());

        QSignalSpy periods(bar, &ReplayBar::updatePeriodChanged);
        bar->speedBox()->setCurrentIndex(ReplayBar::speeds().indexOf(4.0));
        QCOMPARE(replayer.speed(), 4.0);
        bar->playButton()->click();
        QVERIFY(replayer.isPlaying());
        QCOMPARE(periods.last().at(0).toInt(), 250);
        QTRY_VERIFY(replayer.moment().t > 2.0);
        bar->playButton()->click();
        QVERIFY(!replayer.isPlaying());
        QCOMPARE(periods.last().at(0).toInt(), 0);
        demo.window->staleBoardMarks()->refresh();
        QVERIFY(demo.window->staleBoardMarks()->staleBoards().isEmpty());
    }

    // A feed that cannot be read leaves the demo without a server, and says why in the window.
    void refusedFeedIsShownInTheWindow()
    {
        QTemporaryDir dir;
        QVERIFY(SmallFeed::writeFile(dir.filePath(QStringLiteral("routes.txt")), SmallFeed::Routes));
        DemoOptions options;
        options.gtfsDir = dir.path();
        const DemoSource source(options);
        QVERIFY(!source.url().isValid() && !source.simulator());
        QVERIFY2(source.error().contains(QStringLiteral("trips.txt")), qPrintable(source.error()));
        Demo demo;
        QVERIFY(demo.start());
        demo.window->showSourceProblems(source.error(), source.warnings());
        QCOMPARE(demo.window->messageBar()->messages(MessageBar::Refusal), QStringList{source.error()});
    }
};

QTEST_MAIN(tst_DemoWindow)
#include "tst_demowindow.moc"
