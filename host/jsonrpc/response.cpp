#include "response.h"

#include <QVariantMap>

#include <cmath>
#include <limits>

namespace {

// JSON-RPC 2.0 "internal error": what an error object that says nothing usable becomes.
constexpr int InternalErrorCode = -32603;

// A JSON number that is a whole int; JSON gives every number to us as a double.
bool toIntegral(const QVariant &value, int *out)
{
    if (value.type() != QVariant::Double && value.type() != QVariant::Int
        && value.type() != QVariant::LongLong)
        return false;
    const double d = value.toDouble();
    if (!std::isfinite(d) || std::floor(d) != d || d < std::numeric_limits<int>::min()
        || d > std::numeric_limits<int>::max())
        return false;
    *out = static_cast<int>(d);
    return true;
}

} // namespace

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
    // Readers rely on "code" being an int and "message" a string, whatever came in.
    const QVariantMap map = errorObject.toMap();
    int code = InternalErrorCode;
    if (!toIntegral(map.value(QStringLiteral("code")), &code))
        code = InternalErrorCode;
    const QVariant message = map.value(QStringLiteral("message"));
    finishWithError(code,
                    message.type() == QVariant::String ? message.toString()
                                                       : QStringLiteral("Malformed error object"),
                    map.value(QStringLiteral("data")));
}
