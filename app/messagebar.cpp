#include "messagebar.h"

#include <QAbstractScrollArea>
#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QPointer>
#include <QTimer>
#include <QVariant>
#include <QToolButton>
#include <QVBoxLayout>

namespace {

const char *const KindProperty = "messageKind";

QString styleOf(MessageBar::Kind kind)
{
    switch (kind) {
    case MessageBar::Confirmation:
        return QStringLiteral("background: #dff0d8; color: #1b4d1e;");
    case MessageBar::Refusal:
        return QStringLiteral("background: #f8d7da; color: #6b0b14;");
    case MessageBar::Notice:
        break;
    }
    return QStringLiteral("background: #fff3cd; color: #5c4400;");
}

} // namespace

MessageBar::MessageBar(QAbstractScrollArea *map)
    : QWidget(map)
    , m_map(map)
    , m_layout(new QVBoxLayout(this))
{
    m_layout->setContentsMargins(0, 0, 0, 0);
    m_layout->setSpacing(1);
    map->viewport()->installEventFilter(this);
    hide();
}

bool MessageBar::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::Resize)
        place();
    return QWidget::eventFilter(watched, event);
}

void MessageBar::place()
{
    const QRect area = m_map->viewport()->geometry();
    const int height = m_layout->hasHeightForWidth() ? m_layout->heightForWidth(area.width()) : m_layout->sizeHint().height();
    setGeometry(area.left(), area.top(), area.width(), qMin(area.height(), height));
    raise();
}

void MessageBar::showMessage(Kind kind, const QString &text)
{
    auto *line = new QWidget(this);
    line->setObjectName(kind == Confirmation ? QStringLiteral("confirmation")
                        : kind == Refusal    ? QStringLiteral("refusal")
                                             : QStringLiteral("notice"));
    line->setProperty(KindProperty, int(kind));
    line->setAttribute(Qt::WA_StyledBackground);
    line->setStyleSheet(QStringLiteral("QWidget#%1 { %2 }").arg(line->objectName(), styleOf(kind)));
    auto *row = new QHBoxLayout(line);
    row->setContentsMargins(8, 3, 4, 3);
    auto *label = new QLabel(text, line);
    // What the server sent is shown as it is, never as markup.
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    label->setStyleSheet(styleOf(kind));
    row->addWidget(label, 1);
    if (kind == Confirmation) {
        QPointer<QWidget> guarded(line);
        QTimer::singleShot(ConfirmationShownMs, this, [this, guarded] {
            if (guarded)
                removeLine(guarded);
        });
    } else {
        auto *close = new QToolButton(line);
        close->setObjectName(QStringLiteral("dismiss"));
        close->setText(tr("Dismiss"));
        close->setAutoRaise(true);
        connect(close, &QToolButton::clicked, this, [this, line] { removeLine(line); });
        row->addWidget(close);
    }
    m_layout->addWidget(line);
    trim();
    show();
    place();
}

QStringList MessageBar::messages(Kind kind) const
{
    QStringList out;
    for (int i = 0; i < m_layout->count(); ++i) {
        QWidget *line = m_layout->itemAt(i)->widget();
        if (line && line->property(KindProperty).toInt() == kind)
            out.append(line->findChild<QLabel *>()->text());
    }
    return out;
}

void MessageBar::removeLine(QWidget *line)
{
    m_layout->removeWidget(line);
    line->hide();
    line->deleteLater();
    if (m_layout->count() == 0)
        hide();
    else
        place();
}

void MessageBar::trim()
{
    while (m_layout->count() > MaxLines) {
        QWidget *victim = nullptr;
        for (int i = 0; i < m_layout->count() && !victim; ++i) {
            QWidget *line = m_layout->itemAt(i)->widget();
            if (line->property(KindProperty).toInt() == Confirmation)
                victim = line;
        }
        removeLine(victim ? victim : m_layout->itemAt(0)->widget());
    }
}
