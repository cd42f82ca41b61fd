#include "searchbar.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QToolButton>

#include <algorithm>

#include "mapobject.h"
#include "treesortmodel.h"

namespace {

int kindOrder(MapObjectRef::Kind kind)
{
    switch (kind) {
    case MapObjectRef::Board:
        return 0;
    case MapObjectRef::Route:
        return 1;
    case MapObjectRef::Detector:
        return 2;
    case MapObjectRef::None:
        break;
    }
    return 3;
}

} // namespace

SearchBar::SearchBar(std::function<QVector<QObject *>()> objects, QWidget *parent)
    : QWidget(parent)
    , m_objects(std::move(objects))
    , m_field(new QLineEdit(this))
    , m_place(new QLabel(this))
{
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    m_field->setObjectName(QStringLiteral("searchField"));
    m_field->setPlaceholderText(tr("Find a board, route or detector (Ctrl+F)"));
    m_field->setClearButtonEnabled(true);
    m_field->setMinimumWidth(260);
    setMaximumWidth(520);
    m_field->installEventFilter(this);
    m_place->setObjectName(QStringLiteral("searchPlace"));
    m_place->setMinimumWidth(60);
    auto *back = new QToolButton(this);
    back->setArrowType(Qt::UpArrow);
    back->setToolTip(tr("Previous hit (Shift+Enter)"));
    auto *next = new QToolButton(this);
    next->setArrowType(Qt::DownArrow);
    next->setToolTip(tr("Next hit (Enter)"));
    layout->addWidget(m_field, 1);
    layout->addWidget(back);
    layout->addWidget(next);
    layout->addWidget(m_place);
    connect(m_field, &QLineEdit::textEdited, this, &SearchBar::search);
    connect(back, &QToolButton::clicked, this, [this] { step(-1); });
    connect(next, &QToolButton::clicked, this, [this] { step(1); });
}

QVector<QObject *> SearchBar::hits() const
{
    QVector<QObject *> out;
    for (const QPointer<QObject> &hit : m_hits) {
        if (hit)
            out.append(hit);
    }
    return out;
}

void SearchBar::activate()
{
    m_field->setFocus(Qt::ShortcutFocusReason);
    m_field->selectAll();
}

void SearchBar::search()
{
    m_hits.clear();
    m_at = -1;
    const QString text = m_field->text().trimmed();
    if (!text.isEmpty()) {
        struct Hit
        {
            QObject *object;
            int order;
            QString key;
        };
        QVector<Hit> found;
        for (QObject *object : m_objects()) {
            const MapObjectRef ref = MapObjectRef::of(object);
            const QString key = rowText(object, 0);
            if (ref.isValid()
                && (key.contains(text, Qt::CaseInsensitive) || rowText(object, 1).contains(text, Qt::CaseInsensitive)))
                found.append({object, kindOrder(ref.kind), key});
        }
        std::stable_sort(found.begin(), found.end(), [](const Hit &a, const Hit &b) {
            return a.order != b.order ? a.order < b.order : naturalCompare(a.key, b.key) < 0;
        });
        for (const Hit &hit : qAsConst(found))
            m_hits.append(hit.object);
    }
    if (m_hits.isEmpty())
        showPlace();
    else
        step(1);
}

void SearchBar::step(int by)
{
    if (m_hits.isEmpty())
        return;
    // Hits gone meanwhile (a board removed) are skipped.
    for (int tries = 0; tries < m_hits.size(); ++tries) {
        m_at = (m_at + by + m_hits.size()) % m_hits.size();
        if (m_hits.at(m_at))
            break;
    }
    showPlace();
    if (QObject *hit = m_hits.at(m_at))
        emit found(hit);
}

void SearchBar::showPlace()
{
    if (m_field->text().trimmed().isEmpty())
        m_place->clear();
    else if (m_hits.isEmpty())
        m_place->setText(tr("not found"));
    else
        m_place->setText(tr("%1 of %2").arg(m_at + 1).arg(m_hits.size()));
}

bool SearchBar::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_field && event->type() == QEvent::KeyPress) {
        auto *key = static_cast<QKeyEvent *>(event);
        if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
            if (m_hits.isEmpty())
                search();
            else
                step(key->modifiers() & Qt::ShiftModifier ? -1 : 1);
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}
