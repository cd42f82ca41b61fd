#pragma once

#include <QStringList>
#include <QWidget>

class QAbstractScrollArea;
class QVBoxLayout;

// Lines over the top of the map that the operator must not miss: a confirmation ("12:03:44
// Board B1002 locked") stays a while; a refusal or a notice stays until dismissed. They lie
// over the map instead of pushing it down, so that nothing moves under the pointer when a
// line comes or goes.
class MessageBar : public QWidget
{
    Q_OBJECT
public:
    enum Kind { Confirmation, Refusal, Notice };

    explicit MessageBar(QAbstractScrollArea *map);

    void showMessage(Kind kind, const QString &text);
    // The lines shown, oldest first.
    QStringList messages(Kind kind) const;

    // Confirmations go after this long.
    static constexpr int ConfirmationShownMs = 8000;
    // Beyond this many lines the oldest confirmations go first, then the oldest others.
    static constexpr int MaxLines = 6;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void removeLine(QWidget *line);
    void trim();
    void place();

    QAbstractScrollArea *m_map;
    QVBoxLayout *m_layout;
};
