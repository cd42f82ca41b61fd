#pragma once

#include <QObject>
#include <QPointer>

#include "mapobject.h"

class CommandRunner;
class DemoHost;
class QMenu;
class QWidget;

// The commands and queries of one of the plug-in's objects, as a menu titled with the
// object ("Board B1015"). Commands go through the runner (which asks first where it must);
// those the operator's role may not use are greyed out. The dialogs of the commands that
// need input stay open until the server has taken the command.
class ObjectMenu : public QObject
{
    Q_OBJECT
public:
    ObjectMenu(DemoHost *host, CommandRunner *runner, QWidget *window);

    // The menu of one object (the caller owns it); null for anything else.
    QMenu *create(QObject *object, QWidget *parent) const;
    void showWebUrl() const;

signals:
    void followRequested(QObject *board) const;
    void zoomRequested(QObject *object) const;

private:
    void askProperties(const MapObjectRef &ref, bool controller) const;
    void askRoute(const MapObjectRef &ref, int currentRoute) const;
    void showAnswer(const QString &title, const QVariant &answer) const;

    DemoHost *m_host;
    CommandRunner *m_runner;
    QPointer<QWidget> m_window;
};
