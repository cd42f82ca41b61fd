#pragma once

#include <QStatusBar>
#include <QStringList>

class QLabel;

// The console's status bar, left to right: transient messages, what the plug-in lists
// (loading progress, then boards by state), how many boards the vehicle filters let show,
// the operator's role, the zoom level and the server's errors; the window adds the
// connection's health after them.
class ConsoleStatusBar : public QStatusBar
{
    Q_OBJECT
public:
    explicit ConsoleStatusBar(QWidget *parent = nullptr);

    void setCensus(const QString &text);
    // Empty hides it.
    void setShownBoards(const QString &text);
    // Empty: the server has not said.
    void setRole(const QString &role);
    void setZoom(int zoom);
    void addServerError(const QString &message);

    QString censusText() const;
    QString shownBoardsText() const;
    QString roleText() const;
    QStringList serverErrors() const { return m_errors; }

    // Errors kept for the tool tip.
    static constexpr int MaxKeptErrors = 50;

private:
    QLabel *m_census;
    QLabel *m_shown;
    QLabel *m_role;
    QLabel *m_zoom;
    QLabel *m_errorCount;
    QStringList m_errors;
    int m_errorTotal = 0;
};
