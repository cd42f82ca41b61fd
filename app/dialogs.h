#pragma once

#include <QDialog>
#include <QVariant>
#include <QVariantMap>

class QLabel;
class QPlainTextEdit;

// Asks for property changes as key=value lines; accepted only when they parse.
class PropertiesDialog : public QDialog
{
    Q_OBJECT
public:
    PropertiesDialog(const QString &title, const QString &hint, QWidget *parent = nullptr);

    QVariantMap properties() const { return m_props; }
    void setText(const QString &text);

    void accept() override;

private:
    QPlainTextEdit *m_edit;
    QLabel *m_error;
    QVariantMap m_props;
};

// Shows a server's answer to a query, read-only and selectable.
class AnswerDialog : public QDialog
{
    Q_OBJECT
public:
    AnswerDialog(const QString &title, const QVariant &answer, QWidget *parent = nullptr);
};
