#include "objectmenu.h"

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QMessageBox>
#include <QUrl>

#include "commandrunner.h"
#include "demohost.h"
#include "dialogs.h"

namespace {

// The waiting cursor for the queries, which block until the server answers.
class WaitCursor
{
public:
    WaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~WaitCursor() { QApplication::restoreOverrideCursor(); }
    WaitCursor(const WaitCursor &) = delete;
    WaitCursor &operator=(const WaitCursor &) = delete;
};

// A command dialog sends through the runner and closes when the server takes it.
void sendFromDialog(CommandRunner *runner, CommandDialog *dialog, const OperatorCommand &command)
{
    const int id = runner->send(command);
    QObject::connect(runner, &CommandRunner::answered, dialog, [dialog, id](int answeredId, bool accepted) {
        if (answeredId == id && accepted)
            dialog->finish();
    });
    QObject::connect(runner, &CommandRunner::refused, dialog, [dialog, id](int refusedId, const QString &text) {
        if (refusedId == id)
            dialog->showRefusal(text);
    });
}

} // namespace

ObjectMenu::ObjectMenu(DemoHost *host, CommandRunner *runner, QWidget *window)
    : QObject(window)
    , m_host(host)
    , m_runner(runner)
    , m_window(window)
{
}

QMenu *ObjectMenu::create(QObject *object, QWidget *parent) const
{
    const MapObjectRef ref = MapObjectRef::of(object);
    if (!ref.isValid())
        return nullptr;
    const PluginHandle plugin = m_host->plugin();
    auto *menu = new QMenu(parent);
    menu->setObjectName(QStringLiteral("objectMenu"));
    menu->setTitle(ref.title());
    // The object the menu is for, at its top (a menu's title shows only in a menu bar).
    QAction *heading = menu->addAction(ref.title());
    heading->setObjectName(QStringLiteral("heading"));
    heading->setEnabled(false);
    QFont bold = heading->font();
    bold.setBold(true);
    heading->setFont(bold);
    menu->addSeparator();

    const QString notAllowed = m_runner->role().isEmpty()
        ? QString()
        : tr("Your role (%1) may not use this command").arg(m_runner->role());
    auto add = [this, menu, &notAllowed](const char *name, const QString &text, const QString &method, auto &&slot) {
        QAction *action = menu->addAction(text);
        action->setObjectName(QString::fromLatin1(name));
        if (!method.isEmpty() && !m_runner->isAllowed(method)) {
            action->setEnabled(false);
            action->setToolTip(notAllowed);
            action->setStatusTip(notAllowed);
        }
        connect(action, &QAction::triggered, this, slot);
        return action;
    };
    const auto command = [this, menu, &add, &ref](const char *name, const QString &text, OperatorCommand::Action action) {
        const OperatorCommand c = OperatorCommand::make(action, ref);
        return add(name, text, c.method(), [this, c] { m_runner->run(c); });
    };
    menu->setToolTipsVisible(true);

    switch (ref.kind) {
    case MapObjectRef::Board: {
        const int routeId = object->property("routeId").toInt();
        if (ref.locked)
            command("unlock", tr("Unlock board"), OperatorCommand::Unlock);
        else
            command("lock", tr("Lock board"), OperatorCommand::Lock);
        add("assign", tr("Assign to route…"), QStringLiteral("RoadNetwork.assignBoardToRoute"),
            [this, ref, routeId] { askRoute(ref, routeId); });
        OperatorCommand unassign = OperatorCommand::make(OperatorCommand::Unassign, ref);
        unassign.previousRouteId = routeId;
        QAction *release = add("unassign", tr("Unassign from its route"), unassign.method(), [this, unassign] { m_runner->run(unassign); });
        if (routeId == 0)
            release->setEnabled(false);
        add("changeProperties", tr("Change properties…"), OperatorCommand::make(OperatorCommand::ChangeProperties, ref).method(),
            [this, ref] { askProperties(ref, false); });
        menu->addSeparator();
        // The window's F does the same; a shortcut here too would make the key ambiguous.
        add("follow", tr("Follow (F)"), QString(), [this, object = QPointer<QObject>(object)] {
            if (object)
                emit followRequested(object);
        });
        break;
    }
    case MapObjectRef::Route:
        if (ref.locked)
            command("unlock", tr("Unlock route"), OperatorCommand::Unlock);
        else
            command("lock", tr("Lock route"), OperatorCommand::Lock);
        add("changeProperties", tr("Change properties…"), OperatorCommand::make(OperatorCommand::ChangeProperties, ref).method(),
            [this, ref] { askProperties(ref, false); });
        menu->addSeparator();
        add("timelineData", tr("Timeline data…"), QStringLiteral("RoadNetwork.getTimelineData2"), [this, plugin, ref] {
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
            command("unlock", tr("Unlock detector"), OperatorCommand::Unlock);
        else
            command("lock", tr("Lock detector"), OperatorCommand::Lock);
        if (ref.active)
            command("deactivate", tr("Deactivate"), OperatorCommand::Deactivate);
        else
            command("activate", tr("Activate"), OperatorCommand::Activate);
        add("changeProperties", tr("Change properties…"), OperatorCommand::make(OperatorCommand::ChangeProperties, ref).method(),
            [this, ref] { askProperties(ref, false); });
        QAction *tlcChange = add("changeTlcProperties", tr("Change controller properties…"),
                                 QStringLiteral("TLService.changeTlcProperties"), [this, ref] { askProperties(ref, true); });
        menu->addSeparator();
        add("vdtProperties", tr("Detector properties…"), QStringLiteral("VDTService.getVdtProperties"), [this, plugin, ref] {
            QVariantMap answer;
            {
                WaitCursor wait;
                answer = plugin.vdtProperties(ref.id);
            }
            showAnswer(tr("Properties of detector %1").arg(ref.id), answer);
        });
        QAction *tlc = add("tlcProperties", tr("Controller properties…"), QStringLiteral("TLService.getTlcProperties"),
                           [this, plugin, ref] {
                               QVariantMap answer;
                               {
                                   WaitCursor wait;
                                   answer = plugin.tlcProperties(ref.tlNumber);
                               }
                               showAnswer(tr("Properties of controller %1").arg(ref.tlNumber), answer);
                           });
        // Emergency-call detectors belong to no controller.
        if (ref.tlNumber <= 0) {
            tlc->setEnabled(false);
            tlcChange->setEnabled(false);
        }
        break;
    }
    case MapObjectRef::None:
        break;
    }
    add("zoomTo", tr("Zoom to it (Z)"), QString(), [this, object = QPointer<QObject>(object)] {
        if (object)
            emit zoomRequested(object);
    });
    menu->addSeparator();
    add("webUrl", tr("Server web address…"), QStringLiteral("PserverApp.getWebUrl"), [this] { showWebUrl(); });
    return menu;
}

void ObjectMenu::askProperties(const MapObjectRef &ref, bool controller) const
{
    OperatorCommand command = OperatorCommand::make(
        controller ? OperatorCommand::ChangeControllerProperties : OperatorCommand::ChangeProperties, ref);
    auto *dialog = new PropertiesDialog(command.objectTitle(), tr("Properties to change on %1.").arg(command.objectNoun()),
                                        m_window);
    dialog->setObjectName(QStringLiteral("propertiesDialog"));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    if (!controller)
        dialog->setText(QStringLiteral("locked=%1\n").arg(ref.locked ? QStringLiteral("true") : QStringLiteral("false")));
    connect(dialog, &CommandDialog::submitted, this, [this, dialog, command]() mutable {
        command.props = dialog->properties();
        sendFromDialog(m_runner, dialog, command);
    });
    dialog->open();
}

void ObjectMenu::askRoute(const MapObjectRef &ref, int currentRoute) const
{
    auto *dialog = new RouteDialog(ref.name, currentRoute, m_window);
    dialog->setObjectName(QStringLiteral("assignDialog"));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    connect(dialog, &CommandDialog::submitted, this, [this, dialog, ref, currentRoute] {
        sendFromDialog(m_runner, dialog, OperatorCommand::assign(ref, dialog->routeId(), currentRoute));
    });
    dialog->open();
}

void ObjectMenu::showAnswer(const QString &title, const QVariant &answer) const
{
    auto *dialog = new AnswerDialog(title, answer, m_window);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->show();
}

void ObjectMenu::showWebUrl() const
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
    auto *box = new QMessageBox(QMessageBox::Information, tr("Server web address"), text, QMessageBox::Close, m_window);
    box->setObjectName(QStringLiteral("webUrlBox"));
    box->setTextFormat(Qt::RichText);
    box->setTextInteractionFlags(Qt::TextBrowserInteraction);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}
