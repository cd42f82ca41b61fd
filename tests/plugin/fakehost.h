#pragma once

// A scripted host for the plug-in's unit tests: a JSON-RPC object whose answers the test
// decides, a kernel whose scene and item model can be withheld, and the project objects
// that name the cache. The classes carry the host's class names, which is all the plug-in
// checks; the executables that use them do not link the real host libraries.

#include <QGraphicsObject>
#include <QGraphicsScene>
#include <QHash>
#include <QObject>
#include <QPointer>
#include <QQueue>
#include <QStringList>
#include <QVariant>
#include <QVector>

#include "jsonrpc/response.h"
#include "kernel/roaditemmodel.h"

struct PostedRequest
{
    QString method;
    QVariant params;
    QPointer<JsonRpcResponse> response;
};

// How the fake answers one method.
struct Script
{
    enum Kind {
        Result,         // finish with result (from the event loop)
        Error,          // finish with error (from the event loop)
        Never,          // never finish
        InvokeFails,    // postCommand is not invocable for it (returns null)
        WrongType,      // postCommand returns a plain QObject
    };
    Kind kind = Result;
    QVariant value; // the result, or the error object
};

class JsonRpcObject : public QObject
{
    Q_OBJECT
public:
    explicit JsonRpcObject(QObject *parent = nullptr);

    Q_INVOKABLE QObject *postCommand(const QString &method, const QVariant &params);
    Q_INVOKABLE void subscribe(const QStringList &events);

    void script(const QString &method, Script::Kind kind, const QVariant &value = QVariant());
    void answerResult(const QString &method, const QVariant &result)
    {
        script(method, Script::Result, result);
    }
    void answerError(const QString &method, int code, const QString &message)
    {
        script(method, Script::Error, QVariantMap{{"code", code}, {"message", message}});
    }

    QVector<PostedRequest> posted;
    QVector<QStringList> subscriptions;
    // Whether finished() was ever emitted while postCommand was running.
    bool finishedInsidePost = false;

signals:
    void connected(bool conn);
    void notification(const QString &name, const QVariant &params);
    void requestQueueEmpty();

private:
    QHash<QString, Script> m_scripts;
    bool m_inPost = false;
};

// The JSON-RPC object's owner, which reports permission changes.
class JsonRpcOwner : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;
signals:
    void allowedCommandsChanged();
};

// A scene whose items join named layers, as the host's map does.
class LayeredScene : public QGraphicsScene
{
    Q_OBJECT
public:
    using QGraphicsScene::QGraphicsScene;
    Q_INVOKABLE QGraphicsObject *addLayer(const QString &name);
    // A layer the scene's clear() or a test deleted is made anew, as the host's scene does.
    QHash<QString, QPointer<QGraphicsObject>> layers;
};

class FakeMapLayer : public QGraphicsObject
{
    Q_OBJECT
public:
    Q_INVOKABLE void addItem(QGraphicsItem *item) { item->setParentItem(this); }
    QRectF boundingRect() const override { return QRectF(); }
    void paint(QPainter *, const QStyleOptionGraphicsItem *, QWidget *) override {}
};

namespace Road {

class Kernel : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QObject *graphicsScene READ graphicsScene)
    Q_PROPERTY(Road::ItemModel *itemModel READ itemModel)
public:
    explicit Kernel(QObject *parent = nullptr);
    ~Kernel() override;

    QObject *graphicsScene() const { return m_scene; }
    Road::ItemModel *itemModel() const { return m_model; }
    void withholdScene() { m_scene = nullptr; }
    void withholdModel() { m_model = nullptr; }
    LayeredScene *scene() const { return m_ownScene; }
    Road::ItemModel *model() const { return m_ownModel; }

private:
    LayeredScene *m_ownScene;
    Road::ItemModel *m_ownModel;
    QPointer<QObject> m_scene;
    QPointer<Road::ItemModel> m_model;
};

} // namespace Road

namespace Vireo {

class Plugin : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;
};

// The base directory is a dynamic property here, so that a test can leave it out.
class Project : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;
};

} // namespace Vireo
