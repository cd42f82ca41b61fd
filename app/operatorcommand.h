#pragma once

#include <QString>
#include <QVariantMap>

#include <optional>

#include "mapobject.h"
#include "pluginhandle.h"

// One operator command as the console sends it: what it does to which object, the server
// method the plug-in turns it into, how the server's notification shows it carried out, the
// words the operator reads about it, and the command that undoes it.
struct OperatorCommand
{
    enum Action {
        Lock,
        Unlock,
        Assign,
        Unassign,
        Activate,
        Deactivate,
        ChangeProperties,
        // Of the traffic-light controller of the target detector (target.tlNumber).
        ChangeControllerProperties,
    };

    Action action = Lock;
    MapObjectRef target;
    // Assign: the route the board goes to.
    int routeId = 0;
    // Assign and Unassign: the route the board was on, so that the command can be undone.
    int previousRouteId = 0;
    QVariantMap props;

    static OperatorCommand make(Action action, const MapObjectRef &target);
    static OperatorCommand assign(const MapObjectRef &board, int routeId, int previousRouteId);

    // The JSON-RPC method the plug-in sends for it.
    QString method() const;
    // Lock and unlock, assign and unassign, activate and deactivate: asked before they go.
    bool isSafetyCritical() const;
    // "board B1002", "controller 12"; objectTitle() starts with a capital.
    QString objectNoun() const;
    QString objectTitle() const;
    // "Lock", "Assign" (the log's command column) and "route 5 (was 3)" (its parameters).
    QString actionText() const;
    QString parametersText() const;
    // "Lock board B1002?", and what the confirmation line says: "Board B1002 locked".
    QString question() const;
    QString doneText() const;
    // The label of the button that sends it from the question: "Lock".
    QString confirmButtonText() const;
    // Why the server's answer refused it, in plain words: "your role (observer) may not do
    // this". The server's message is capped and kept as plain text.
    static QString refusalReason(int code, const QString &serverMessage, const QString &role);
    // "Lock board B1002 refused: ..." or, when it never reached the server, "... not sent: ...".
    QString refusalText(const QString &reason, bool sent) const;

    // The command that undoes this one; nothing for property changes.
    std::optional<OperatorCommand> inverse() const;
    // Whether a server notification shows this command carried out.
    bool confirmedBy(const QString &notification, const QVariantMap &params) const;
    // Controllers send no notification: the server's answer is all the confirmation there is.
    bool confirmedByAnswer() const { return action == ChangeControllerProperties; }

    // Calls the plug-in; true when the plug-in took the call (not that it sent anything).
    bool send(const PluginHandle &plugin) const;

    // Longer server messages are cut in what the operator reads.
    static constexpr int MaxReasonLength = 300;
};
