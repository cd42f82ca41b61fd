#include "propertytext.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QRegularExpression>
#include <QStringList>

namespace PropertyText {

namespace {

QVariantMap failed(QString *error, const QString &why)
{
    if (error)
        *error = why;
    return {};
}

// The value of "key=value": a JSON value if the text is one, else the text.
QVariant valueOf(const QString &text)
{
    QJsonParseError parseError;
    // A bare value is not a JSON document; inside an array it is.
    const QJsonDocument doc = QJsonDocument::fromJson(
            QByteArray("[") + text.toUtf8() + QByteArray("]"), &parseError);
    if (parseError.error == QJsonParseError::NoError && doc.isArray() && doc.array().size() == 1)
        return doc.array().at(0).toVariant();
    return text;
}

} // namespace

QVariantMap parse(const QString &text, QString *error)
{
    if (text.size() > MaxTextLength)
        return failed(error, QStringLiteral("The text is longer than %1 characters").arg(MaxTextLength));

    static const QRegularExpression keyPattern(QStringLiteral("^[A-Za-z_][A-Za-z0-9_.]*$"));
    QVariantMap props;
    const QStringList lines = text.split(QRegularExpression(QStringLiteral("\r\n|\n|\r")));
    for (int i = 0; i < lines.size(); ++i) {
        const QString line = lines.at(i).trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        const int eq = line.indexOf(QLatin1Char('='));
        if (eq < 0)
            return failed(error, QStringLiteral("Line %1: expected key=value").arg(i + 1));
        const QString key = line.left(eq).trimmed();
        if (!keyPattern.match(key).hasMatch())
            return failed(error, QStringLiteral("Line %1: '%2' is not a property name").arg(i + 1).arg(key));
        if (props.contains(key))
            return failed(error, QStringLiteral("Line %1: '%2' is given twice").arg(i + 1).arg(key));
        if (props.size() == MaxProperties)
            return failed(error, QStringLiteral("More than %1 properties").arg(MaxProperties));
        props.insert(key, valueOf(line.mid(eq + 1).trimmed()));
    }
    if (props.isEmpty())
        return failed(error, QStringLiteral("No property given"));
    if (error)
        error->clear();
    return props;
}

QString toDisplayText(const QVariant &value)
{
    const QJsonValue json = QJsonValue::fromVariant(value);
    if (json.isObject())
        return QString::fromUtf8(QJsonDocument(json.toObject()).toJson(QJsonDocument::Indented)).trimmed();
    if (json.isArray())
        return QString::fromUtf8(QJsonDocument(json.toArray()).toJson(QJsonDocument::Indented)).trimmed();
    if (json.isString())
        return json.toString();
    // Scalars: let the array form do the JSON spelling, then strip the brackets.
    const QByteArray compact = QJsonDocument(QJsonArray{json}).toJson(QJsonDocument::Compact);
    return QString::fromUtf8(compact.mid(1, compact.size() - 2));
}

} // namespace PropertyText
