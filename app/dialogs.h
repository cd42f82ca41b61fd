#pragma once

#include <QDialog>
#include <QVariant>
#include <QVariantMap>

class QDialogButtonBox;
class QLabel;
class QPlainTextEdit;
class QSpinBox;
class QVBoxLayout;

// A dialog that sends a command: OK asks the owner to send it (submitted) and waits for the
// server's answer; the owner closes it when the server takes the command, or shows the
// refusal, and then the dialog stays open with the operator's input as it was.
class CommandDialog : public QDialog
{
    Q_OBJECT
public:
    CommandDialog(const QString &title, const QString &hint, const QString &okText, QWidget *parent = nullptr);

    void showRefusal(const QString &text);
    QString refusalText() const;

    void accept() override;
    // Closes the dialog as accepted: the server took the command.
    void finish();

signals:
    void submitted();

protected:
    // Checks the input; false with the reason in *error keeps the dialog open.
    virtual bool readInput(QString *error) = 0;
    QVBoxLayout *body() const { return m_body; }

private:
    QVBoxLayout *m_body;
    QLabel *m_error;
    QDialogButtonBox *m_buttons;
    bool m_waiting = false;
};

// Property changes as key=value lines.
class PropertiesDialog : public CommandDialog
{
    Q_OBJECT
public:
    PropertiesDialog(const QString &title, const QString &hint, QWidget *parent = nullptr);

    QVariantMap properties() const { return m_props; }
    void setText(const QString &text);

protected:
    bool readInput(QString *error) override;

private:
    QPlainTextEdit *m_edit;
    QVariantMap m_props;
};

// The route to assign a board to; the dialog is the question, its button says "Assign".
class RouteDialog : public CommandDialog
{
    Q_OBJECT
public:
    RouteDialog(const QString &board, int currentRoute, QWidget *parent = nullptr);

    int routeId() const;
    void setRouteId(int id);

protected:
    bool readInput(QString *error) override;

private:
    QSpinBox *m_route;
};

// Shows a server's answer to a query, read-only and selectable.
class AnswerDialog : public QDialog
{
    Q_OBJECT
public:
    AnswerDialog(const QString &title, const QVariant &answer, QWidget *parent = nullptr);
};
