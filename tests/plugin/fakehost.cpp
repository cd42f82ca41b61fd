#include "fakehost.h"

#include <QTimer>

// JsonRpcResponse only lets its owner finish it; the fake is that owner.
namespace {
class ScriptedResponse : public JsonRpcResponse
{
public:
    using JsonRpcResponse::JsonRpcResponse;
};
} // namespace

JsonRpcObject::JsonRpcObject(QObject *parent)
    : QObject(parent)
{
    setObjectName(QStringLiteral("fake-rpc"));
}

void JsonRpcObject::script(const QString &method, Script::Kind kind, const QVariant &value)
{
    m_scripts.insert(method, Script{kind, value});
}

QObject *JsonRpcObject::postCommand(const QString &method, const QVariant &params)
{
    const Script script = m_scripts.value(method);
    if (script.kind == Script::InvokeFails) {
        posted.append({method, params, nullptr});
        return nullptr;
    }
    if (script.kind == Script::WrongType) {
        posted.append({method, params, nullptr});
        return new QObject(this);
    }

    m_inPost = true;
    auto *response = new ScriptedResponse(method, params, this);
    posted.append({method, params, response});
    connect(response, &Response::finished, this, [this] {
        if (m_inPost)
            finishedInsidePost = true;
    });
    if (script.kind != Script::Never) {
        QPointer<JsonRpcResponse> guarded(response);
        QTimer::singleShot(0, this, [guarded, script] {
            if (!guarded)
                return;
            if (script.kind == Script::Error)
                guarded->finishWithError(script.value);
            else
                guarded->finishWithResult(script.value);
        });
    }
    m_inPost = false;
    return response;
}

void JsonRpcObject::subscribe(const QStringList &events)
{
    subscriptions.append(events);
}

QGraphicsObject *LayeredScene::addLayer(const QString &name)
{
    QPointer<QGraphicsObject> &layer = layers[name];
    if (!layer) {
        layer = new FakeMapLayer;
        addItem(layer);
    }
    return layer;
}

namespace Road {

Kernel::Kernel(QObject *parent)
    : QObject(parent)
    , m_ownScene(new LayeredScene(this))
    , m_ownModel(new Road::ItemModel(this))
    , m_scene(m_ownScene)
    , m_model(m_ownModel)
{
}

Kernel::~Kernel() = default;

} // namespace Road
