// The operator's key=value property edits and the display of server answers.

#include <QtTest>

#include "propertytext.h"

class tst_PropertyText : public QObject
{
    Q_OBJECT

private slots:
    void parses_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QVariantMap>("expected");
        QTest::newRow("bool") << "locked=true" << QVariantMap{{"locked", true}};
        QTest::newRow("number") << "weight=3" << QVariantMap{{"weight", 3.0}};
        QTest::newRow("plain text keeps inner spaces") << "description=  Night  service  "
                                                       << QVariantMap{{"description", "Night  service"}};
        QTest::newRow("quoted text stays text") << "name=\"true\"" << QVariantMap{{"name", "true"}};
        QTest::newRow("text with equals sign") << "expr=a=b" << QVariantMap{{"expr", "a=b"}};
        QTest::newRow("empty value") << "description=" << QVariantMap{{"description", ""}};
        QTest::newRow("null") << "route=null" << QVariantMap{{"route", QVariant::fromValue(nullptr)}};
        QTest::newRow("list") << "routes=[1, 2]" << QVariantMap{{"routes", QVariantList{1.0, 2.0}}};
        QTest::newRow("broken JSON is text") << "pos={lon" << QVariantMap{{"pos", "{lon"}};
        QTest::newRow("several lines, comments, CRLF")
                << "# change two things\r\nlocked=false\r\n\r\n  mode = manual \r\n"
                << QVariantMap{{"locked", false}, {"mode", "manual"}};
    }
    void parses()
    {
        QFETCH(QString, text);
        QFETCH(QVariantMap, expected);
        QString error = QStringLiteral("stale");
        QCOMPARE(PropertyText::parse(text, &error), expected);
        QVERIFY2(error.isEmpty(), qPrintable(error));
    }

    void refuses_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("errorPart");
        QTest::newRow("nothing") << "\n  \n# only a comment" << "No property";
        QTest::newRow("no equals sign") << "locked=true\nweight 3" << "Line 2";
        QTest::newRow("empty key") << "=3" << "not a property name";
        QTest::newRow("key starting with a digit") << "1st=2" << "not a property name";
        QTest::newRow("key twice") << "locked=true\nlocked=false" << "given twice";
        QString many;
        for (int i = 0; i <= PropertyText::MaxProperties; ++i)
            many += QStringLiteral("k%1=1\n").arg(i);
        QTest::newRow("too many") << many << "More than";
        QTest::newRow("too long") << QString(PropertyText::MaxTextLength + 1, QLatin1Char('a')) << "longer";
    }
    void refuses()
    {
        QFETCH(QString, text);
        QFETCH(QString, errorPart);
        QString error;
        QVERIFY(PropertyText::parse(text, &error).isEmpty());
        QVERIFY2(error.contains(errorPart), qPrintable(error));
    }

    void exactlyTheMaximumIsAccepted()
    {
        QString text;
        for (int i = 0; i < PropertyText::MaxProperties; ++i)
            text += QStringLiteral("k%1=%1\n").arg(i);
        QString error;
        QCOMPARE(PropertyText::parse(text, &error).size(), PropertyText::MaxProperties);
    }

    void displayText_data()
    {
        QTest::addColumn<QVariant>("value");
        QTest::addColumn<QString>("expected");
        QTest::newRow("string as is") << QVariant("http://host/web/") << "http://host/web/";
        QTest::newRow("number") << QVariant(42) << "42";
        QTest::newRow("nothing") << QVariant() << "null";
        QTest::newRow("map, keys sorted, indented")
                << QVariant(QVariantMap{{"mode", "auto"}, {"id", 7}})
                << "{\n    \"id\": 7,\n    \"mode\": \"auto\"\n}";
        QTest::newRow("list") << QVariant(QVariantList{1, "a"}) << "[\n    1,\n    \"a\"\n]";
    }
    void displayText()
    {
        QFETCH(QVariant, value);
        QFETCH(QString, expected);
        QCOMPARE(PropertyText::toDisplayText(value), expected);
    }
};

QTEST_GUILESS_MAIN(tst_PropertyText)
#include "tst_propertytext.moc"
