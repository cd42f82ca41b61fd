#pragma once

#include <QStringList>
#include <QWidget>

class QVBoxLayout;

// Lines above the map that the operator must not miss: a confirmation ("12:03:44 Board
// B1002 locked") stays a while; a refusal or a notice stays until dismissed.
class MessageBar : public QWidget
{
    Q_OBJECT
public:
    enum Kind { Confirmation, Refusal, Notice };

    explicit MessageBar(QWidget *parent = nullptr);

    void showMessage(Kind kind, const QString &text);
    // The lines shown, oldest first.
    QStringList messages(Kind kind) const;

    // Confirmations go after this long.
    static constexpr int ConfirmationShownMs = 8000;
    // Beyond this many lines the oldest confirmations go first, then the oldest others.
    static constexpr int MaxLines = 6;

private:
    void removeLine(QWidget *line);
    void trim();

    QVBoxLayout *m_layout;
};
