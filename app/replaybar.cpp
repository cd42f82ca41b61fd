#include "replaybar.h"

#include <QComboBox>
#include <QLabel>
#include <QSignalBlocker>
#include <QSlider>
#include <QStyle>
#include <QToolButton>

#include <cmath>

#include "sim/replayer.h"

namespace {

QString clock(double seconds)
{
    const int s = int(std::floor(seconds));
    return QStringLiteral("%1:%2:%3")
        .arg(s / 3600)
        .arg(s / 60 % 60, 2, 10, QLatin1Char('0'))
        .arg(s % 60, 2, 10, QLatin1Char('0'));
}

} // namespace

const QVector<double> &ReplayBar::speeds()
{
    static const QVector<double> all{0.25, 0.5, 1.0, 2.0, 4.0, 8.0, 16.0};
    return all;
}

ReplayBar::ReplayBar(Sim::Replayer *replayer, QWidget *parent)
    : QToolBar(tr("Replay"), parent)
    , m_replayer(replayer)
    , m_play(new QToolButton(this))
    , m_speed(new QComboBox(this))
    , m_slider(new QSlider(Qt::Horizontal, this))
    , m_time(new QLabel(this))
{
    setObjectName(QStringLiteral("replayBar"));
    setMovable(false);
    m_play->setObjectName(QStringLiteral("playPause"));
    m_play->setCheckable(true);
    m_speed->setObjectName(QStringLiteral("speed"));
    for (double s : speeds())
        m_speed->addItem(s < 1.0 ? (s == 0.25 ? QStringLiteral("¼×") : QStringLiteral("½×")) : QStringLiteral("%1×").arg(s), s);
    m_slider->setObjectName(QStringLiteral("position"));
    // Whole seconds; a drag seeks once, where it ends.
    m_slider->setRange(0, int(std::ceil(replayer->duration())));
    m_slider->setTracking(false);
    m_slider->setPageStep(60);
    m_time->setObjectName(QStringLiteral("replayTime"));
    m_time->setContentsMargins(8, 0, 8, 0);

    addWidget(new QLabel(tr("Replay"), this));
    addWidget(m_play);
    addWidget(m_speed);
    addWidget(m_slider);
    addWidget(m_time);

    connect(m_play, &QToolButton::toggled, replayer, [this](bool on) {
        if (on)
            m_replayer->play();
        else
            m_replayer->pause();
    });
    connect(m_speed, QOverload<int>::of(&QComboBox::currentIndexChanged), replayer,
            [this](int index) { m_replayer->setSpeed(m_speed->itemData(index).toDouble()); });
    connect(m_slider, &QSlider::valueChanged, replayer, [this](int value) { m_replayer->seek(value); });
    connect(m_slider, &QSlider::sliderMoved, this,
            [this](int value) { m_time->setText(tr("Go to %1 of %2").arg(clock(value), clock(m_replayer->duration()))); });
    connect(replayer, &Sim::Replayer::positionChanged, this, &ReplayBar::showPosition);
    connect(replayer, &Sim::Replayer::playingChanged, this, [this](bool playing) {
        const QSignalBlocker quiet(m_play);
        m_play->setChecked(playing);
        m_play->setText(playing ? tr("Pause") : tr("Play"));
        m_play->setIcon(style()->standardIcon(playing ? QStyle::SP_MediaPause : QStyle::SP_MediaPlay));
        announcePeriod();
    });
    connect(replayer, &Sim::Replayer::speedChanged, this, [this](double speed) {
        const QSignalBlocker quiet(m_speed);
        m_speed->setCurrentIndex(m_speed->findData(speed));
        announcePeriod();
    });

    m_play->setText(tr("Play"));
    m_play->setIcon(style()->standardIcon(QStyle::SP_MediaPlay));
    m_play->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    m_speed->setCurrentIndex(m_speed->findData(replayer->speed()));
    showPosition(replayer->position());
}

QString ReplayBar::timeText() const
{
    return m_time->text();
}

void ReplayBar::showPosition(double t)
{
    if (!m_slider->isSliderDown()) {
        const QSignalBlocker quiet(m_slider);
        m_slider->setValue(int(std::floor(t)));
    }
    m_time->setText(tr("%1 (%2 of %3)")
                        .arg(m_replayer->timeAt(t).toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")),
                             clock(t), clock(m_replayer->duration())));
}

void ReplayBar::announcePeriod()
{
    const int period = m_replayer->recording().periodMs();
    emit updatePeriodChanged(m_replayer->isPlaying() ? int(std::lround(period / m_replayer->speed())) : 0);
}
