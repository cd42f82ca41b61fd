#pragma once

#include <QPointer>
#include <QVector>
#include <QWidget>

#include <functional>

class QLabel;
class QLineEdit;

// One field that finds boards, routes and detectors by their key or name: a part of either,
// in any case. Typing selects the first hit; Enter (or the arrow buttons) steps through the
// rest, Shift+Enter back. (Esc is the window's: it clears the selection.)
class SearchBar : public QWidget
{
    Q_OBJECT
public:
    // objects: the plug-in's objects to look through.
    explicit SearchBar(std::function<QVector<QObject *>()> objects, QWidget *parent = nullptr);

    QLineEdit *field() const { return m_field; }
    // The hits of the current text, boards first, then routes and detectors, each in the
    // tree's order of keys.
    QVector<QObject *> hits() const;
    // Puts the cursor in the field, its text selected.
    void activate();

signals:
    void found(QObject *object);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void search();
    void step(int by);
    void showPlace();

    std::function<QVector<QObject *>()> m_objects;
    QLineEdit *m_field;
    QLabel *m_place;
    QVector<QPointer<QObject>> m_hits;
    int m_at = -1;
};
