#pragma once

#include <QToolBar>

class QComboBox;
class QLabel;
class QSlider;
class QToolButton;

namespace Sim {
class Replayer;
}

// The controls of a replay: play and pause, the speed (a quarter to sixteen times as fast as
// recorded), and a slider over the whole recording with the time replayed. Moving the
// slider seeks: the replay sends what brings the map to that moment.
class ReplayBar : public QToolBar
{
    Q_OBJECT
public:
    explicit ReplayBar(Sim::Replayer *replayer, QWidget *parent = nullptr);

    // The speeds offered, slowest first.
    static const QVector<double> &speeds();

    QToolButton *playButton() const { return m_play; }
    QComboBox *speedBox() const { return m_speed; }
    QSlider *slider() const { return m_slider; }
    QString timeText() const;

signals:
    // How often positions come at the pace played: the recorded tick over the speed; 0
    // while the replay stands still.
    void updatePeriodChanged(int ms);

private:
    void showPosition(double t);
    void announcePeriod();

    Sim::Replayer *m_replayer;
    QToolButton *m_play;
    QComboBox *m_speed;
    QSlider *m_slider;
    QLabel *m_time;
};
