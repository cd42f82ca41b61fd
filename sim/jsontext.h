#pragma once

#include <QLocale>
#include <QString>

#include <cmath>

namespace Sim {

// Compact JSON text written straight into a string, for the answers that go out by the
// thousand (lists, geometry): building QJsonObjects and serialising them cost more than
// sending them. Keys go out in the order given; the callers give them in ascending order,
// as Qt's writer does.
class JsonText
{
public:
    explicit JsonText(int reserve = 0) { m_text.reserve(reserve); }

    JsonText &beginObject() { return open(QLatin1Char('{')); }
    JsonText &endObject() { return close(QLatin1Char('}')); }
    JsonText &beginArray() { return open(QLatin1Char('[')); }
    JsonText &endArray() { return close(QLatin1Char(']')); }

    JsonText &key(QLatin1String name)
    {
        separate();
        m_text += QLatin1Char('"');
        m_text += name;
        m_text += QLatin1String("\":");
        m_first = true;
        return *this;
    }
    JsonText &key(const QString &name)
    {
        value(name);
        m_text += QLatin1Char(':');
        m_first = true;
        return *this;
    }

    JsonText &value(const QString &s)
    {
        separate();
        m_text += QLatin1Char('"');
        const QChar *run = s.constData();
        const QChar *const end = run + s.size();
        // Most strings (a geometry string of thousands of points) need no escape: found
        // out in one pass the compiler vectorises, and copied whole.
        bool plain = true;
        for (const QChar *c = run; c != end; ++c) {
            const ushort u = c->unicode();
            plain &= (u != '"') & (u != '\\') & (u >= 0x20);
        }
        for (const QChar *c = plain ? end : run; c != end; ++c) {
            const ushort u = c->unicode();
            if (u != '"' && u != '\\' && u >= 0x20)
                continue;
            m_text.append(run, int(c - run));
            m_text += u < 0x20 ? QStringLiteral("\\u%1").arg(u, 4, 16, QLatin1Char('0')) : QString(QLatin1Char('\\')) + *c;
            run = c + 1;
        }
        m_text.append(run, int(end - run));
        m_text += QLatin1Char('"');
        return *this;
    }
    JsonText &value(QLatin1String s) { return value(QString(s)); }
    JsonText &value(int n)
    {
        separate();
        m_text += QString::number(n);
        return *this;
    }
    JsonText &value(bool b)
    {
        separate();
        m_text += b ? QLatin1String("true") : QLatin1String("false");
        return *this;
    }
    // The shortest text that reads back as the same double; non-finite values as null.
    JsonText &value(double d)
    {
        separate();
        m_text += std::isfinite(d) ? QString::number(d, 'g', QLocale::FloatingPointShortest) : QStringLiteral("null");
        return *this;
    }
    JsonText &null()
    {
        separate();
        m_text += QLatin1String("null");
        return *this;
    }
    // Text that is JSON already.
    JsonText &raw(const QString &json)
    {
        separate();
        m_text += json;
        return *this;
    }

    const QString &text() const { return m_text; }

private:
    JsonText &open(QLatin1Char c)
    {
        separate();
        m_text += c;
        m_first = true;
        return *this;
    }
    JsonText &close(QLatin1Char c)
    {
        m_text += c;
        m_first = false;
        return *this;
    }
    void separate()
    {
        if (!m_first)
            m_text += QLatin1Char(',');
        m_first = false;
    }

    QString m_text;
    bool m_first = true;
};

} // namespace Sim
