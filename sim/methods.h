#pragma once

#include <QJsonValue>
#include <QString>
#include <QStringList>
#include <QVector>

namespace Sim {

class World;

namespace Rpc {
constexpr int ParseError = -32700;
constexpr int InvalidRequest = -32600;
constexpr int MethodNotFound = -32601;
constexpr int InvalidParams = -32602;
constexpr int PermissionDenied = -32000;

inline const QString RoleOperator = QStringLiteral("operator");
inline const QString RoleObserver = QStringLiteral("observer");

inline const QString Subscribe = QStringLiteral("subscribe");
inline const QString SetRole = QStringLiteral("Session.setRole");
} // namespace Rpc

// The answer to one request: a result (as a value, or as JSON text already), or an error
// code and message.
struct Reply
{
    QJsonValue result;
    int code = 0;
    QString message;
    QString text;

    bool isError() const { return code != 0; }
    static Reply ok(const QJsonValue &result) { return Reply{result, 0, QString(), QString()}; }
    static Reply okText(const QString &json) { return Reply{QJsonValue(), 0, QString(), json}; }
    static Reply error(int code, const QString &message) { return Reply{QJsonValue(), code, message, QString()}; }
};

struct MethodInfo
{
    QString name;
    bool changesState; // refused to observers
};

// Every method the server answers, in the order the protocol document lists them.
const QVector<MethodInfo> &methodTable();
bool isKnownMethod(const QString &method);
bool changesState(const QString &method);
// The methods a role may call; empty for an unknown role.
QStringList allowedCommands(const QString &role);
QStringList roles();
// The notifications a client can subscribe to.
QStringList notificationNames();

// Answers one method that reads or changes the world (not the session methods, nor
// "PserverApp.getWebUrl", which the server answers).
Reply callWorld(World &world, const QString &method, const QJsonValue &params);

} // namespace Sim
