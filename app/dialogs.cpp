#include "dialogs.h"

#include <QDialogButtonBox>
#include <QFontDatabase>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

#include <limits>

#include "propertytext.h"

CommandDialog::CommandDialog(const QString &title, const QString &hint, const QString &okText, QWidget *parent)
    : QDialog(parent)
    , m_body(new QVBoxLayout)
    , m_error(new QLabel(this))
    , m_buttons(new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this))
{
    setWindowTitle(title);
    auto *layout = new QVBoxLayout(this);
    auto *help = new QLabel(hint, this);
    help->setWordWrap(true);
    layout->addWidget(help);
    layout->addLayout(m_body, 1);
    m_error->setObjectName(QStringLiteral("refusal"));
    m_error->setStyleSheet(QStringLiteral("color: #b00000;"));
    m_error->setWordWrap(true);
    m_error->setTextFormat(Qt::PlainText);
    layout->addWidget(m_error);
    m_buttons->button(QDialogButtonBox::Ok)->setText(okText);
    connect(m_buttons, &QDialogButtonBox::accepted, this, &CommandDialog::accept);
    connect(m_buttons, &QDialogButtonBox::rejected, this, &CommandDialog::reject);
    layout->addWidget(m_buttons);
}

void CommandDialog::showRefusal(const QString &text)
{
    m_error->setText(text);
    m_waiting = false;
}

QString CommandDialog::refusalText() const
{
    return m_error->text();
}

void CommandDialog::accept()
{
    // One command at a time: the next goes once the server has refused this one. (A
    // disabled button would hand Enter to Cancel.)
    if (m_waiting)
        return;
    QString error;
    if (!readInput(&error)) {
        m_error->setText(error);
        return;
    }
    m_error->setText(tr("Sent; waiting for the server…"));
    m_waiting = true;
    emit submitted();
}

void CommandDialog::finish()
{
    QDialog::accept();
}

PropertiesDialog::PropertiesDialog(const QString &title, const QString &hint, QWidget *parent)
    : CommandDialog(title,
                    hint + QLatin1Char('\n')
                        + tr("One key=value per line. Values are JSON (true, 3, \"text\") or plain text."),
                    tr("Change"), parent)
    , m_edit(new QPlainTextEdit(this))
{
    m_edit->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    m_edit->setObjectName(QStringLiteral("propertiesText"));
    body()->addWidget(m_edit);
    resize(420, 260);
}

void PropertiesDialog::setText(const QString &text)
{
    m_edit->setPlainText(text);
}

bool PropertiesDialog::readInput(QString *error)
{
    const QVariantMap props = PropertyText::parse(m_edit->toPlainText(), error);
    if (props.isEmpty())
        return false;
    m_props = props;
    return true;
}

RouteDialog::RouteDialog(const QString &board, int currentRoute, QWidget *parent)
    : CommandDialog(tr("Assign board %1").arg(board), tr("Assign board %1 to the route with this id:").arg(board),
                    tr("Assign"), parent)
    , m_route(new QSpinBox(this))
{
    m_route->setObjectName(QStringLiteral("routeId"));
    m_route->setRange(1, std::numeric_limits<int>::max());
    m_route->setValue(qMax(1, currentRoute));
    body()->addWidget(m_route);
}

int RouteDialog::routeId() const
{
    return m_route->value();
}

void RouteDialog::setRouteId(int id)
{
    m_route->setValue(id);
}

bool RouteDialog::readInput(QString *)
{
    return true;
}

AnswerDialog::AnswerDialog(const QString &title, const QVariant &answer, QWidget *parent)
    : QDialog(parent)
{
    setWindowTitle(title);
    auto *layout = new QVBoxLayout(this);
    // The plug-in hands back an empty map or string for a refused or unanswered query.
    const bool empty = !answer.isValid() || (answer.type() == QVariant::Map && answer.toMap().isEmpty())
                       || (answer.type() == QVariant::String && answer.toString().isEmpty());
    if (empty) {
        auto *label = new QLabel(tr("No answer: the server refused the query or did not answer in "
                                    "time (the status bar has the reason)."),
                                 this);
        label->setWordWrap(true);
        layout->addWidget(label);
    } else {
        auto *text = new QPlainTextEdit(PropertyText::toDisplayText(answer), this);
        text->setObjectName(QStringLiteral("answerText"));
        text->setReadOnly(true);
        text->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
        layout->addWidget(text, 1);
    }
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
    resize(480, 360);
}
