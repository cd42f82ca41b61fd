#include "response.h"

#include <QVariantMap>

Response::Response(QObject *parent)
    : QObject(parent)
{
}

Response::~Response() = default;

void Response::markFinished()
{
    if (m_finished)
        return;
    m_finished = true;
    emit finished();
}

JsonRpcResponse::JsonRpcResponse(const QString &method, const QVariant &params, QObject *parent)
    : Response(parent)
    , m_method(method)
    , m_params(params)
{
}

int JsonRpcResponse::errorCode() const
{
    return m_error.toMap().value(QStringLiteral("code")).toInt();
}

QString JsonRpcResponse::errorMessage() const
{
    return m_error.toMap().value(QStringLiteral("message")).toString();
}

void JsonRpcResponse::finishWithResult(const QVariant &result)
{
    if (isFinished())
        return;
    m_result = result;
    m_isError = false;
    markFinished();
}

void JsonRpcResponse::finishWithError(int code, const QString &message, const QVariant &data)
{
    if (isFinished())
        return;
    QVariantMap error{{QStringLiteral("code"), code}, {QStringLiteral("message"), message}};
    if (data.isValid())
        error.insert(QStringLiteral("data"), data);
    m_error = error;
    m_isError = true;
    markFinished();
}

void JsonRpcResponse::finishWithError(const QVariant &errorObject)
{
    // Kept exactly as given: readers must cope with error objects that lack "code" or
    // "message", as some servers send them.
    if (isFinished())
        return;
    m_error = errorObject;
    m_isError = true;
    markFinished();
}
