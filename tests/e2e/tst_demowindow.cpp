// The demo's window on the real plug-in and the simulator: the settings panel, the context
// menus' commands and queries, the status bar's errors and the selection.

#include <QApplication>
#include <QCheckBox>
#include <QContextMenuEvent>
#include <QComboBox>
#include <QGraphicsObject>
#include <QInputDialog>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QSettings>
#include <QSignalSpy>
#include <QSpinBox>
#include <QStandardPaths>
#include <QTreeView>
#include <QtTest>

#include <algorithm>
#include <memory>

#include "demohost.h"
#include "dialogs.h"
#include "kernel/mapview.h"
#include "kernel/roaditemmodel.h"
#include "mainwindow.h"
#include "mapobject.h"
#include "propertytext.h"
#include "settingspanel.h"
#include "sim/generator.h"
#include "sim/server.h"

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
        return QTest::qWaitForWindowExposed(window.get());
    }
    ~Demo()
    {
        // As in the program: the window (and its view) goes before the host.
        window.reset();
        host.reset();
    }
};

void collect(Road::ItemModelItem *item, QVector<QObject *> &out)
{
    for (Road::ItemModelItem *child : item->childItems()) {
        if (auto *entry = qobject_cast<Road::ItemObj *>(child)) {
            if (entry->object() && !out.contains(entry->object()))
                out.append(entry->object());
        }
        collect(child, out);
    }
}

// The plug-in's objects of one kind, as the tree lists them.
QVector<QObject *> objectsInTree(DemoHost &host, MapObjectRef::Kind kind)
{
    QVector<QObject *> all;
    collect(host.itemModel()->rootItem(), all);
    QVector<QObject *> found;
    for (QObject *object : qAsConst(all)) {
        if (MapObjectRef::of(object).kind == kind)
            found.append(object);
    }
    return found;
}

QAction *menuAction(QMenu *menu, const QString &name)
{
    for (QAction *action : menu->actions()) {
        if (action->objectName() == name)
            return action;
    }
    return nullptr;
}

// A viewport point where one board, and nothing else of the plug-in's, is hit; *board is
// that board, or null when every board overlaps something.
QPoint loneBoardSpot(Road::MapView *view, QObject **board)
{
    QWidget *viewport = view->viewport();
    *board = nullptr;
    QPoint spot;
    const auto onlyObjectAt = [&](const QPoint &pos) {
        QSet<QObject *> hit;
        for (QGraphicsItem *item : view->items(pos)) {
            if (QObject *object = mapObjectOfItem(item))
                hit.insert(object);
        }
        return hit.size() == 1 ? *hit.begin() : nullptr;
    };
    for (QGraphicsItem *item : view->items()) {
        QObject *object = mapObjectOfItem(item);
        if (!item->isVisible() || MapObjectRef::of(object).kind != MapObjectRef::Board)
            continue;
        const QPainterPath shape = item->shape();
        const QTransform toViewport = item->deviceTransform(view->viewportTransform());
        const QRectF box = shape.boundingRect();
        for (int i = 1; i < 8 && !*board; ++i) {
            for (int j = 1; j < 8 && !*board; ++j) {
                const QPointF p(box.left() + box.width() * i / 8, box.top() + box.height() * j / 8);
                const QPoint pos = toViewport.map(p).toPoint();
                if (shape.contains(p) && viewport->rect().contains(pos) && onlyObjectAt(pos) == object) {
                    *board = object;
                    spot = pos;
                }
            }
        }
        if (*board)
            break;
    }
    return spot;
}

// The title and named actions of the menu a right click at pos on widget opens.
QStringList contextMenuAt(QWidget *widget, const QPoint &pos)
{
    QStringList seen;
    QTimer::singleShot(0, widget, [&seen] {
        if (auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget())) {
            seen.append(menu->title());
            for (QAction *action : menu->actions())
                if (!action->objectName().isEmpty())
                    seen.append(action->objectName());
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
    void modeBoxes_data()
    {
        QTest::addColumn<QString>("property");
        QTest::addColumn<QString>("key");
        QTest::newRow("vehicle text") << "textShowMode" << "Lumen2/text_show_value";
        QTest::newRow("emergency sector") << "emsShowMode" << "Lumen2/ems_show_value";
        QTest::newRow("board weight") << "brdWeightShowMode" << "Lumen2/brd_weight_show_mode_value";
        QTest::newRow("detector weight") << "dtWeightShowMode" << "Lumen2/dt_weight_show_mode_value";
    }
    void modeBoxes()
    {
        QFETCH(QString, property);
        QFETCH(QString, key);
        QSettings().setValue(key, 2);
        Demo demo;
        QVERIFY(demo.start());
        auto *box = demo.window->settingsPanel()->findChild<QComboBox *>(property);
        QVERIFY(box);
        QCOMPARE(box->currentIndex(), 2);

        box->setCurrentIndex(1);
        QCOMPARE(demo.host->plugin().property(property.toLatin1().constData()).toInt(), 1);
        QCOMPARE(QSettings().value(key).toInt(), 1);
    }

    void checkBoxes_data()
    {
        QTest::addColumn<QString>("property");
        QTest::addColumn<QString>("key");
        QTest::newRow("on activation") << "showDtOnActivation" << "Lumen2/show_dt_on_activation";
        QTest::newRow("when approaching") << "showDtWhenApproaching" << "Lumen2/show_dt_when_approaching";
    }
    void checkBoxes()
    {
        QFETCH(QString, property);
        QFETCH(QString, key);
        // Both default to true: a stored false must show.
        QSettings().setValue(key, false);
        Demo demo;
        QVERIFY(demo.start());
        auto *box = demo.window->settingsPanel()->findChild<QCheckBox *>(property);
        QVERIFY(box && !box->isChecked());

        box->setChecked(true);
        QCOMPARE(demo.host->plugin().property(property.toLatin1().constData()).toBool(), true);
        QCOMPARE(QSettings().value(key).toBool(), true);
    }

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
        QSettings().setValue(key, QStringLiteral("B10.*"));
        Demo demo;
        QVERIFY(demo.start());
        auto *edit = demo.window->settingsPanel()->findChild<QLineEdit *>(editName);
        QVERIFY(edit);
        QCOMPARE(edit->text(), QStringLiteral("B10.*"));
        QVERIFY(edit->styleSheet().isEmpty());

        const auto current = [&] {
            return editName == QLatin1String("vehicleNameFilter") ? demo.host->plugin().vehicleNameFilter()
                                                                  : demo.host->plugin().vehicleDescrFilter();
        };
        edit->clear();
        QTest::keyClicks(edit, QStringLiteral("Bus ("));
        // Typing waits for a pause before it filters; an unfinished pattern is marked.
        QCOMPARE(current(), QStringLiteral("B10.*"));
        QVERIFY(!edit->styleSheet().isEmpty());
        QTRY_COMPARE(current(), QStringLiteral("Bus ("));
        QCOMPARE(QSettings().value(key).toString(), QStringLiteral("Bus ("));

        QTest::keyClicks(edit, QStringLiteral("1)"));
        QTest::keyClick(edit, Qt::Key_Return);
        QCOMPARE(current(), QStringLiteral("Bus (1)"));
        QVERIFY(edit->styleSheet().isEmpty());
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
            QVERIFY(spinOf(demo));
            QCOMPARE(spinOf(demo)->value(), 17);
            spinOf(demo)->setValue(15);
            QCOMPARE(demo.host->plugin().property("minVisibleZoom").toInt(), 15);
        }
        Demo demo;
        QVERIFY(demo.start());
        QCOMPARE(demo.host->plugin().property("minVisibleZoom").toInt(), 15);
        QCOMPARE(spinOf(demo)->value(), 15);
    }

    // Every rpcError of the plug-in reaches the status bar.
    void serverErrorsReachTheStatusBar()
    {
        Demo demo;
        QVERIFY(demo.serve());
        demo.server->failMethod(QStringLiteral("PserverApp.getWebUrl"), -32000, QStringLiteral("No permission"));
        demo.server->failMethod(QStringLiteral("TLService.getTlcProperties"), 5, QStringLiteral("controller asleep"));
        QVERIFY(demo.start());
        QTRY_VERIFY(demo.host->isConnected());

        QCOMPARE(demo.host->plugin().webUrl(), QString());
        QCOMPARE(demo.host->plugin().tlcProperties(1), QVariantMap());
        QCOMPARE(demo.window->rpcErrors(),
                 QStringList({QStringLiteral("You have no permissions for command 'PserverApp.getWebUrl'"),
                              QStringLiteral("code: 5, message: controller asleep")}));
    }

    // The menus' commands go to the server, and the change comes back to the object.
    void lockFromTheMenu_data()
    {
        QTest::addColumn<int>("kind");
        QTest::newRow("route") << int(MapObjectRef::Route);
        QTest::newRow("board") << int(MapObjectRef::Board);
        QTest::newRow("detector") << int(MapObjectRef::Detector);
    }
    void lockFromTheMenu()
    {
        QFETCH(int, kind);
        Demo demo;
        QVERIFY(demo.serve() && demo.start());
        const Sim::World &world = demo.server->world();
        QTRY_VERIFY(!objectsInTree(*demo.host, MapObjectRef::Kind(kind)).isEmpty());
        // The change comes back as a notification, which reaches only a subscribed client.
        QTRY_VERIFY(demo.server->requestCount(QStringLiteral("subscribe")) >= 1);
        QPointer<QObject> object = objectsInTree(*demo.host, MapObjectRef::Kind(kind)).constFirst();
        const MapObjectRef ref = MapObjectRef::of(object);
        const auto lockedOnServer = [&] {
            return ref.kind == MapObjectRef::Route ? world.route(ref.id)->locked
                 : ref.kind == MapObjectRef::Board ? world.board(ref.name)->locked
                                                   : world.detector(ref.id)->locked;
        };
        QVERIFY(!ref.locked && !lockedOnServer());

        std::unique_ptr<QMenu> menu(demo.window->createObjectMenu(object, nullptr));
        QVERIFY(menu && !menuAction(menu.get(), QStringLiteral("unlock")));
        menuAction(menu.get(), QStringLiteral("lock"))->trigger();
        QTRY_VERIFY(lockedOnServer());
        QTRY_VERIFY(object && object->property("locked").toBool());

        menu.reset(demo.window->createObjectMenu(object, nullptr));
        QVERIFY(!menuAction(menu.get(), QStringLiteral("lock")));
        menuAction(menu.get(), QStringLiteral("unlock"))->trigger();
        QTRY_VERIFY(!lockedOnServer());
    }

    void detectorActivationAndControllerQuery()
    {
        Demo demo;
        QVERIFY(demo.serve() && demo.start());
        const Sim::World &world = demo.server->world();
        QTRY_VERIFY(!objectsInTree(*demo.host, MapObjectRef::Detector).isEmpty());
        QTRY_VERIFY(demo.server->requestCount(QStringLiteral("subscribe")) >= 1);
        QPointer<QObject> detector;
        for (QObject *candidate : objectsInTree(*demo.host, MapObjectRef::Detector)) {
            if (MapObjectRef::of(candidate).tlNumber > 0)
                detector = candidate;
        }
        QVERIFY2(detector, "no detector with a traffic-light controller");
        const MapObjectRef ref = MapObjectRef::of(detector);
        const Sim::Detector *onServer = world.detector(ref.id);
        QVERIFY(onServer && !world.detectorActivated(*onServer));

        std::unique_ptr<QMenu> menu(demo.window->createObjectMenu(detector, nullptr));
        menuAction(menu.get(), QStringLiteral("activate"))->trigger();
        QTRY_VERIFY(world.detectorActivated(*onServer));

        // The controller's properties as the server holds them, shown as the server sent them.
        menuAction(menu.get(), QStringLiteral("tlcProperties"))->trigger();
        auto *answer = demo.window->findChild<AnswerDialog *>();
        auto *text = answer ? answer->findChild<QPlainTextEdit *>(QStringLiteral("answerText")) : nullptr;
        QVERIFY(text);
        QCOMPARE(QJsonDocument::fromJson(text->toPlainText().toUtf8()).object(),
                 world.trafficLightProperties(*world.trafficLight(ref.tlNumber)));
    }

    // Property changes are typed as key=value lines; text that does not parse sends nothing.
    void propertiesDialog()
    {
        Demo demo;
        QVERIFY(demo.serve() && demo.start());
        QTRY_VERIFY(!objectsInTree(*demo.host, MapObjectRef::Route).isEmpty());
        QObject *route = objectsInTree(*demo.host, MapObjectRef::Route).constFirst();
        const int id = MapObjectRef::of(route).id;

        std::unique_ptr<QMenu> menu(demo.window->createObjectMenu(route, nullptr));
        menuAction(menu.get(), QStringLiteral("changeProperties"))->trigger();
        auto *dialog = demo.window->findChild<PropertiesDialog *>(QStringLiteral("propertiesDialog"));
        QVERIFY(dialog && dialog->isVisible());
        auto *text = dialog->findChild<QPlainTextEdit *>(QStringLiteral("propertiesText"));
        QVERIFY(text);

        text->setPlainText(QStringLiteral("name Night line"));
        dialog->accept();
        QVERIFY(dialog->isVisible());
        text->setPlainText(QStringLiteral("name=Night line\ndescription=\"Harbour, late\""));
        dialog->accept();
        QTRY_COMPARE(demo.server->world().route(id)->name, QStringLiteral("Night line"));
        QCOMPARE(demo.server->world().route(id)->description, QStringLiteral("Harbour, late"));
        QCOMPARE(demo.server->requestCount(QStringLiteral("RoadNetwork.changeRouteProperties")), 1);
    }

    // Assigning asks for the route id, starting from the board's current route.
    void assignDialog()
    {
        Demo demo;
        QVERIFY(demo.serve() && demo.start());
        const Sim::World &world = demo.server->world();
        QTRY_VERIFY(!objectsInTree(*demo.host, MapObjectRef::Board).isEmpty());
        QTRY_COMPARE(objectsInTree(*demo.host, MapObjectRef::Route).size(), 3);
        QObject *board = objectsInTree(*demo.host, MapObjectRef::Board).constFirst();
        const QString name = MapObjectRef::of(board).name;
        int target = 0;
        for (QObject *route : objectsInTree(*demo.host, MapObjectRef::Route)) {
            if (MapObjectRef::of(route).id != world.board(name)->routeId)
                target = MapObjectRef::of(route).id;
        }

        std::unique_ptr<QMenu> menu(demo.window->createObjectMenu(board, nullptr));
        menuAction(menu.get(), QStringLiteral("assign"))->trigger();
        auto *dialog = demo.window->findChild<QInputDialog *>(QStringLiteral("assignDialog"));
        QVERIFY(dialog);
        QCOMPARE(dialog->intValue(), board->property("routeId").toInt());
        dialog->setIntValue(target);
        dialog->accept();
        QTRY_COMPARE(world.board(name)->routeId, target);

        menuAction(menu.get(), QStringLiteral("unassign"))->trigger();
        QTRY_COMPARE(world.board(name)->routeId, 0);
    }

    // Choosing a tree row selects its object, and only that one; a right click on a row
    // opens the menu of the object the row lists.
    void treeSelectionAndMenu()
    {
        Demo demo;
        QVERIFY(demo.serve() && demo.start(true));
        QTRY_COMPARE(objectsInTree(*demo.host, MapObjectRef::Route).size(), 3);
        const QVector<QObject *> routes = objectsInTree(*demo.host, MapObjectRef::Route);

        QTreeView *tree = demo.window->objectTree();
        const auto rowOf = [&](QObject *object) { return demo.window->treeIndexOf(object); };
        QVERIFY(rowOf(routes.at(0)).isValid());
        tree->setCurrentIndex(rowOf(routes.at(0)));
        QCOMPARE(demo.window->selectedObject(), routes.at(0));
        QVERIFY(routes.at(0)->property("selected").toBool());

        tree->setCurrentIndex(rowOf(routes.at(1)));
        QCOMPARE(demo.window->selectedObject(), routes.at(1));
        QVERIFY(routes.at(1)->property("selected").toBool());
        QVERIFY(!routes.at(0)->property("selected").toBool());

        // Selecting from elsewhere (the map) moves the tree's current row along.
        demo.window->selectObject(routes.at(2), false);
        QCOMPARE(tree->currentIndex(), rowOf(routes.at(2)));
        QVERIFY(!routes.at(1)->property("selected").toBool());

        tree->scrollTo(rowOf(routes.at(0)));
        QCOMPARE(contextMenuAt(tree->viewport(), tree->visualRect(rowOf(routes.at(0))).center()),
                 QStringList({MapObjectRef::of(routes.at(0)).title(), "lock", "changeProperties", "timelineData", "webUrl"}));
    }

    // A click on a board on the map selects it and its tree row, a drag selects nothing, and
    // a right click opens the board's menu.
    void mapClicks()
    {
        Demo demo;
        QVERIFY(demo.serve() && demo.start(true));
        QTRY_VERIFY(demo.window->fittedToNetwork());
        // Boards show once they have a position: let the simulated clock send some.
        QTRY_VERIFY(demo.server->requestCount(QStringLiteral("subscribe")) >= 1);
        Road::MapView *view = demo.window->mapView();
        QWidget *viewport = view->viewport();
        QObject *board = nullptr;
        QPoint spot;
        QTRY_VERIFY2([&] {
            demo.server->step(1.0);
            spot = loneBoardSpot(view, &board);
            return board != nullptr;
        }(), "no board stands alone on the map");

        QTest::mousePress(viewport, Qt::LeftButton, Qt::NoModifier, spot);
        QTest::mouseRelease(viewport, Qt::LeftButton, Qt::NoModifier, spot + QPoint(40, 0));
        QCOMPARE(demo.window->selectedObject(), nullptr);

        QTest::mouseClick(viewport, Qt::LeftButton, Qt::NoModifier, spot);
        QCOMPARE(demo.window->selectedObject(), board);
        QVERIFY(board->property("selected").toBool());
        QCOMPARE(demo.window->objectTree()->currentIndex(), demo.window->treeIndexOf(board));

        QCOMPARE(contextMenuAt(viewport, spot),
                 QStringList({MapObjectRef::of(board).title(), "lock", "assign", "unassign", "changeProperties", "webUrl"}));
    }

    // The plug-in draws a route only while it is selected, unless the host keeps it shown.
    void showAllRoutes()
    {
        Demo demo;
        QVERIFY(demo.serve() && demo.start(true));
        QTRY_COMPARE(objectsInTree(*demo.host, MapObjectRef::Route).size(), 3);
        const QVector<QObject *> routes = objectsInTree(*demo.host, MapObjectRef::Route);
        const auto visibleCount = [&] {
            return int(std::count_if(routes.begin(), routes.end(),
                                     [](QObject *route) { return qobject_cast<QGraphicsObject *>(route)->isVisible(); }));
        };
        // Shown by default.
        QTRY_COMPARE(visibleCount(), 3);

        auto *box = demo.window->settingsPanel()->findChild<QCheckBox *>(QStringLiteral("showAllRoutes"));
        QVERIFY(box && box->isChecked());
        demo.window->selectObject(routes.at(1), false);
        box->setChecked(false);
        QCOMPARE(visibleCount(), 1);
        QVERIFY(qobject_cast<QGraphicsObject *>(routes.at(1))->isVisible());
        QCOMPARE(QSettings().value(SettingsPanel::ShowAllRoutesKey).toBool(), false);

        box->setChecked(true);
        QCOMPARE(visibleCount(), 3);
    }

    // Once the routes' geometry has arrived the map shows all of it.
    void mapFitsTheNetwork()
    {
        Sim::Network network = smallNetwork();
        QRectF expected;
        for (const Sim::Route &route : network.routes) {
            for (const QPointF &p : route.line.points())
                expected |= QRectF(p, QSizeF(1e-9, 1e-9));
        }
        Demo demo;
        QVERIFY(demo.serve(std::move(network)) && demo.start(true));
        QTRY_VERIFY_WITH_TIMEOUT(demo.window->fittedToNetwork(), 10000);
        Road::MapView *view = demo.window->mapView();
        const QRectF visible = view->mapToScene(view->viewport()->rect()).boundingRect();
        QVERIFY(visible.contains(expected));
        // Fitted, not merely zoomed out: the network fills a good part of the view.
        QVERIFY(expected.width() > visible.width() / 3 || expected.height() > visible.height() / 3);
    }
};

QTEST_MAIN(tst_DemoWindow)
#include "tst_demowindow.moc"
