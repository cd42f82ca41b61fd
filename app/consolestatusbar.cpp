#include "consolestatusbar.h"

#include <QLabel>

ConsoleStatusBar::ConsoleStatusBar(QWidget *parent)
    : QStatusBar(parent)
    , m_census(new QLabel(this))
    , m_shown(new QLabel(this))
    , m_role(new QLabel(this))
    , m_zoom(new QLabel(this))
    , m_errorCount(new QLabel(this))
{
    m_census->setObjectName(QStringLiteral("census"));
    m_shown->setObjectName(QStringLiteral("shownBoards"));
    m_shown->setStyleSheet(QStringLiteral("color: #8a5a00;"));
    m_shown->hide();
    m_role->setObjectName(QStringLiteral("role"));
    m_role->hide();
    m_errorCount->setObjectName(QStringLiteral("errorCount"));
    m_errorCount->hide();
    for (QLabel *label : {m_census, m_shown, m_role, m_zoom, m_errorCount}) {
        label->setContentsMargins(6, 0, 6, 0);
        label->setFrameShape(QFrame::StyledPanel);
        addPermanentWidget(label);
    }
}

void ConsoleStatusBar::setCensus(const QString &text)
{
    m_census->setText(text);
}

void ConsoleStatusBar::setShownBoards(const QString &text)
{
    m_shown->setText(text);
    m_shown->setVisible(!text.isEmpty());
}

void ConsoleStatusBar::setRole(const QString &role)
{
    m_role->setText(role.isEmpty() ? QString() : tr("Role: %1").arg(role));
    m_role->setVisible(!role.isEmpty());
}

void ConsoleStatusBar::setZoom(int zoom)
{
    m_zoom->setText(tr("Zoom %1").arg(zoom));
}

void ConsoleStatusBar::addServerError(const QString &message)
{
    ++m_errorTotal;
    m_errors.append(message);
    while (m_errors.size() > MaxKeptErrors)
        m_errors.removeFirst();
    m_errorCount->setText(tr("%n server error(s)", nullptr, m_errorTotal));
    m_errorCount->setToolTip(m_errors.join(QLatin1Char('\n')));
    m_errorCount->show();
    showMessage(tr("Server: %1").arg(message), 15000);
}

QString ConsoleStatusBar::censusText() const
{
    return m_census->text();
}

QString ConsoleStatusBar::shownBoardsText() const
{
    return m_shown->isVisibleTo(this) ? m_shown->text() : QString();
}

QString ConsoleStatusBar::roleText() const
{
    return m_role->text();
}
