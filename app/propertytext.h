#pragma once

#include <QString>
#include <QVariant>
#include <QVariantMap>

// The operator's property edits as text: one "key=value" per line, for example
//     locked=true
//     weight=3
//     description=Night service
// A value that reads as JSON (true, 3, 2.5, "text", [1,2], {"a":1}, null) is taken as that
// JSON value; anything else is the text itself, trimmed. Empty lines and lines starting
// with '#' are skipped.
namespace PropertyText {

// More than this many properties in one edit is a paste gone wrong.
constexpr int MaxProperties = 64;
// Longer input is refused before it is looked at.
constexpr int MaxTextLength = 64 * 1024;

// The properties, or an empty map and the reason in *error. An input without a single
// property is an error too: the commands would send an empty change.
QVariantMap parse(const QString &text, QString *error);

// A server answer as indented JSON text, for showing it to the operator.
QString toDisplayText(const QVariant &value);

} // namespace PropertyText
