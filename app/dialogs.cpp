#include "dialogs.h"

#include <QDialogButtonBox>
#include <QFontDatabase>
#include <QLabel>
#include <QPlainTextEdit>
#include <QVBoxLayout>

#include "propertytext.h"

PropertiesDialog::PropertiesDialog(const QString &title, const QString &hint, QWidget *parent)
    : QDialog(parent)
    , m_edit(new QPlainTextEdit(this))
    , m_error(new QLabel(this))
{
    setWindowTitle(title);
    auto *layout = new QVBoxLayout(this);
    auto *help = new QLabel(hint + QLatin1Char('\n')
                                    + tr("One key=value per line. Values are JSON (true, 3, \"text\") "
                                         "or plain text."),
                            this);
    help->setWordWrap(true);
    layout->addWidget(help);
    m_edit->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    m_edit->setObjectName(QStringLiteral("propertiesText"));
    layout->addWidget(m_edit, 1);
    m_error->setStyleSheet(QStringLiteral("color: #b00000;"));
    m_error->setWordWrap(true);
    layout->addWidget(m_error);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &PropertiesDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &PropertiesDialog::reject);
    layout->addWidget(buttons);
    resize(420, 260);
}

void PropertiesDialog::setText(const QString &text)
{
    m_edit->setPlainText(text);
}

void PropertiesDialog::accept()
{
    QString error;
    const QVariantMap props = PropertyText::parse(m_edit->toPlainText(), &error);
    if (props.isEmpty()) {
        m_error->setText(error);
        return;
    }
    m_props = props;
    QDialog::accept();
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
