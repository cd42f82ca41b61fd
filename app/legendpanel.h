#pragma once

#include <QTimer>
#include <QVector>
#include <QWidget>

#include <functional>

#include "objectlooks.h"

class QGridLayout;
class QLabel;

// What every look on the map means. Each sample is drawn by one of the plug-in's own items
// now in that state (so the colours are the plug-in's, whatever they are), beside the tree
// icons from the plug-in's resources and how many boards show it. A state no object is in
// right now has no sample until one is.
class LegendPanel : public QWidget
{
    Q_OBJECT
public:
    LegendPanel(const ObjectLooks *looks, std::function<QVector<QObject *>()> objects, QWidget *parent = nullptr);

    enum Row {
        BoardOnRoute,
        BoardOffRoute,
        BoardNoRoute,
        BoardPriority,
        BoardLocked,
        BoardNoPosition,
        BoardLoggedOut,
        DetectorIdle,
        DetectorInside,
        DetectorActive,
        DetectorLocked,
        DetectorSector,
        Route,
        RouteLocked,
        RowCount
    };
    // Whether the row has a sample drawn by a live item, and its count (boards only, else -1).
    bool hasSample(Row row) const;
    int count(Row row) const;

    static constexpr int RefreshMs = 2000;

public slots:
    void refresh();

protected:
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    struct Line
    {
        QLabel *sample = nullptr;
        QLabel *count = nullptr;
        bool sampled = false;
        int boards = -1;
    };
    void addHeading(const QString &text);
    void addLine(Row row, const QString &text, const QIcon &icon = QIcon(), const QIcon &emergencyIcon = QIcon());

    const ObjectLooks *m_looks;
    std::function<QVector<QObject *>()> m_objects;
    QVector<Line> m_lines;
    QTimer m_timer;
    QGridLayout *m_grid;
};
