#pragma once

#include <QObject>
#include <QString>
#include <QVariant>

#if defined(JSONRPC_RESPONSE_LIBRARY)
#define JSONRPC_RESPONSE_EXPORT Q_DECL_EXPORT
#else
#define JSONRPC_RESPONSE_EXPORT Q_DECL_IMPORT
#endif

// The answer to one request. finished() is emitted exactly once, always from the event
// loop after the request was posted, never inside the call that posted it.
class JSONRPC_RESPONSE_EXPORT Response : public QObject
{
    Q_OBJECT
public:
    explicit Response(QObject *parent = nullptr);
    ~Response() override;

    bool isFinished() const { return m_finished; }

signals:
    void finished();

protected:
    // Marks the response finished and emits finished(); later calls do nothing.
    void markFinished();

private:
    bool m_finished = false;
};

// The answer to one JSON-RPC 2.0 request: a result, or an error object
// {"code": int, "message": string[, "data": any]}.
class JSONRPC_RESPONSE_EXPORT JsonRpcResponse : public Response
{
    Q_OBJECT
public:
    explicit JsonRpcResponse(const QString &method, const QVariant &params = QVariant(),
                             QObject *parent = nullptr);

    QString requestMethod() const { return m_method; }
    QVariant requestParams() const { return m_params; }
    bool isError() const { return m_isError; }
    QVariant result() const { return m_result; }
    QVariant error() const { return m_error; }
    int errorCode() const;
    QString errorMessage() const;

    // Completion, for the client that owns the response (and for test doubles).
    // Each finishes the response at once: call them from the event loop.
    void finishWithResult(const QVariant &result);
    void finishWithError(int code, const QString &message, const QVariant &data = QVariant());
    void finishWithError(const QVariant &errorObject);

private:
    QString m_method;
    QVariant m_params;
    QVariant m_result;
    QVariant m_error;
    bool m_isError = false;
};
