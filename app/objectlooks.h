#pragma once

#include <QHash>
#include <QIcon>
#include <QImage>
#include <QObject>
#include <QString>

class JsonRpcObject;

// What the plug-in shows each board and detector as, told the way a host can tell it: a
// board by the tree icon the plug-in gave it (compared with the icons in the plug-in's own
// resources) and by what its positions said; a detector by its published properties and the
// states the server reported for it. The colours stay the plug-in's: whoever needs one
// paints a live item in that state.
class ObjectLooks : public QObject
{
    Q_OBJECT
public:
    enum BoardState {
        BoardLocked,
        BoardPriority,
        BoardOnRoute,
        BoardOffRoute,
        BoardNoRoute,
        BoardNoPosition,
        BoardLoggedOut,
        BoardUnknown,
    };
    enum DetectorState { DetectorLocked, DetectorActive, DetectorInside, DetectorIdle, DetectorUnknown };
    static constexpr int BoardStateCount = BoardUnknown;
    static constexpr int DetectorStateCount = DetectorUnknown;

    // Follows the server's positions and detector states on the host's client.
    explicit ObjectLooks(JsonRpcObject *client, QObject *parent = nullptr);

    BoardState boardState(const QObject *board) const;
    bool isEmergencyBoard(const QObject *board) const;
    DetectorState detectorState(const QObject *detector) const;

    // The plug-in's tree icon for a state (":/icons/..." from the plug-in's resources); null
    // for the states the icons do not tell apart from others and for BoardUnknown.
    static QIcon boardIcon(BoardState state, bool emergency);
    static QString boardStateText(BoardState state);
    static QString detectorStateText(DetectorState state);

    // Boards and detectors followed at most; beyond, the oldest records are forgotten.
    static constexpr int MaxTracked = 20000;

private:
    void onNotification(const QString &method, const QVariant &params);
    // The state suffix of the plug-in's icon file that a board row shows ("r", "p", "" for
    // the plain one), or "?" for an icon that is none of them.
    QString iconStateOf(const QObject *board) const;

    QHash<QString, bool> m_onRoute;      // board name: its last position was matched to its route
    QHash<int, QString> m_detectorState; // detector id: the last state reported
    QVector<QPair<QString, QImage>> m_iconImages; // state suffix, picture
    mutable QHash<qint64, QString> m_iconStateByKey;
};
