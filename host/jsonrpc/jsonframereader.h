#pragma once

#include <QString>
#include <QVariant>

#include <memory>

// Reads one text frame of the wire as one JSON value, in the Qt types that
// QJsonValue::toVariant() gives: QVariantMap, QVariantList, QString, bool, a null
// (std::nullptr_t), and numbers as qlonglong when they are whole and fit in 64 bits, as
// double otherwise.
//
// A key that an object repeats counts once, with its last value, as in Qt's own reader,
// which in Qt 5.15 leaks the first value when that is an array or an object; nothing leaks
// here. Integers beyond 64 bits and numbers beyond a double's range are not read.
class JsonFrameReader
{
public:
    // Frames up to this size are parsed with buffers kept from one frame to the next;
    // a larger one gets buffers of its own, given back right after.
    static constexpr int KeptBufferFrameBytes = 1 << 20;

    JsonFrameReader();
    ~JsonFrameReader();
    JsonFrameReader(const JsonFrameReader &) = delete;
    JsonFrameReader &operator=(const JsonFrameReader &) = delete;

    // The frame's value, or an invalid QVariant with *error saying why it is not JSON.
    QVariant read(const QString &frame, QString *error);

private:
    struct Parser;
    std::unique_ptr<Parser> m_parser;
};
