#include "jsonframereader.h"

#include <QVariantList>
#include <QVariantMap>

#include <cmath>
#include <string>

#include <simdjson.h>

namespace {

// Whole numbers within 64 bits become qlonglong, whatever their spelling (1.0 and 1e2
// too), the rest double: what QJsonValue::toVariant() gives for them.
QVariant number(double d)
{
    constexpr double TwoTo63 = 9223372036854775808.0;
    if (std::isfinite(d) && d == std::trunc(d) && d >= -TwoTo63 && d < TwoTo63)
        return QVariant(qlonglong(d));
    return QVariant(d);
}

QString text(std::string_view s)
{
    return QString::fromUtf8(s.data(), int(s.size()));
}

// Keys repeat from record to record (a list of 100 000 boards has nine distinct ones): the
// string last made for a key is handed out again, shared, instead of a new one per record.
class KeyStrings
{
public:
    QString get(std::string_view key)
    {
        if (key.size() > MaxCachedKeyBytes)
            return text(key);
        const size_t slot = (key.size() * 31 + (key.empty() ? 0 : uchar(key.front()) * 7 + uchar(key.back()))) % Slots;
        Entry &entry = m_entries[slot];
        if (entry.utf8 != key) {
            entry.utf8.assign(key);
            entry.key = text(key);
        }
        return entry.key;
    }

private:
    static constexpr size_t MaxCachedKeyBytes = 64;
    static constexpr size_t Slots = 256;
    struct Entry
    {
        std::string utf8;
        QString key;
    };
    Entry m_entries[Slots];
};

// The parser's nesting limit bounds the recursion.
QVariant toVariant(simdjson::dom::element element, KeyStrings &keys)
{
    using Type = simdjson::dom::element_type;
    switch (element.type()) {
    case Type::OBJECT: {
        QVariantMap map;
        for (const simdjson::dom::key_value_pair field : simdjson::dom::object(element))
            map.insert(keys.get(field.key), toVariant(field.value, keys)); // a repeated key: the last wins
        return map;
    }
    case Type::ARRAY: {
        const simdjson::dom::array array(element);
        QVariantList list;
        list.reserve(int(array.size()));
        for (const simdjson::dom::element value : array)
            list.append(toVariant(value, keys));
        return list;
    }
    case Type::STRING:
        return text(std::string_view(element));
    case Type::INT64:
        return QVariant(qlonglong(int64_t(element)));
    case Type::UINT64: // only those above the int64 range come as uint64
        return number(double(uint64_t(element)));
    case Type::DOUBLE:
        return number(double(element));
    case Type::BOOL:
        return QVariant(bool(element));
    case Type::NULL_VALUE:
        break;
    }
    return QVariant::fromValue(nullptr);
}

} // namespace

struct JsonFrameReader::Parser
{
    simdjson::dom::parser kept;
    KeyStrings keys;
};

JsonFrameReader::JsonFrameReader()
    : m_parser(std::make_unique<Parser>())
{
}

JsonFrameReader::~JsonFrameReader() = default;

QVariant JsonFrameReader::read(const QString &frame, QString *error)
{
    QByteArray utf8 = frame.toUtf8();
    // The parser reads a few bytes beyond the text; the conversion above leaves room for
    // them as a rule, so this seldom copies.
    utf8.reserve(utf8.size() + int(simdjson::SIMDJSON_PADDING));

    std::unique_ptr<simdjson::dom::parser> own;
    simdjson::dom::parser *parser = &m_parser->kept;
    if (utf8.size() > KeptBufferFrameBytes) {
        own = std::make_unique<simdjson::dom::parser>();
        parser = own.get();
    }
    simdjson::dom::element root;
    const simdjson::error_code code = parser->parse(utf8.constData(), size_t(utf8.size()), false).get(root);
    if (code != simdjson::SUCCESS) {
        *error = QString::fromLatin1(simdjson::error_message(code));
        return QVariant();
    }
    return toVariant(root, m_parser->keys);
}
