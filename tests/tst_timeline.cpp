// The line rule and the date reading it rests on.
#include "rollover_date.h"
#include "track_correction.h"

#include <QtTest>

class TestTimeLine : public QObject
{
    Q_OBJECT

  private slots:
    void correctTimeLine_data();
    void correctTimeLine();
    void parseDate_data();
    void parseDate();
    void formatDateAgreesWithQt();
};

namespace
{

QString iso(const QDate &date)
{
    return date.toString(QStringLiteral("yyyy-MM-dd"));
}

// Fills %1 with the date `daysAgo` days before today: the rule's boundaries move with the clock.
QString dated(const QString &pattern, qint64 daysAgo)
{
    return pattern.arg(iso(QDate::currentDate().addDays(-daysAgo)));
}

} // namespace

void TestTimeLine::correctTimeLine_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("expected");

    const QString stamp = QStringLiteral("    <time>%1T12:34:56Z</time>");
    QTest::newRow("moved to exactly today") << dated(stamp, 7168) << dated(stamp, 0);
    QTest::newRow("moved to yesterday") << dated(stamp, 7169) << dated(stamp, 1);
    QTest::newRow("would be tomorrow") << dated(stamp, 7167) << dated(stamp, 7167);
    QTest::newRow("a correct recent date") << dated(stamp, 30) << dated(stamp, 30);

    const QString two = QStringLiteral("<time>%1T01:00:00Z</time><time>%1T02:00:00Z</time>");
    QTest::newRow("only the first of two stamps")
        << dated(two, 7168)
        << dated(QStringLiteral("<time>%1T01:00:00Z</time>"), 0) +
               dated(QStringLiteral("<time>%1T02:00:00Z</time>"), 7168);
    const QString afterJunk = QStringLiteral("<time>no date</time><time>%1T02:00:00Z</time>");
    QTest::newRow("first tag holds no date") << dated(afterJunk, 7168) << dated(afterJunk, 7168);
    const QString inner = QStringLiteral("<trkpt lat=\"1.5\" lon=\"2.5\"><ele>3</ele><time>%1T"
                                         "00:00:00.123+02:00</time></trkpt> <!-- T -->");
    QTest::newRow("text around the stamp is kept") << dated(inner, 7200) << dated(inner, 32);

    const QString noTag = QStringLiteral("<trkpt lat=\"1\" lon=\"2\">");
    QTest::newRow("no tag") << noTag << noTag;
    QTest::newRow("empty line") << QString() << QString();
    for (const char *other : {"<Time>%1T00:00:00Z", "<gpx:time>%1T00:00:00Z", "<time >%1T00:00:00Z",
                              "<ti me>%1T00:00:00Z", "< time>%1T00:00:00Z"}) {
        const QString line = dated(QString::fromLatin1(other), 8000);
        QTest::newRow(other) << line << line;
    }
    QTest::newRow("line ends at the tag")
        << QStringLiteral("  <time>") << QStringLiteral("  <time>");
    const QString noT = dated(QStringLiteral("<time>%1t00:00:00Z</time>"), 8000);
    QTest::newRow("no capital T after the date") << noT << noT;
    // The date texts themselves are the date reading's table; here, only that a text that is
    // no date leaves the line as it was rather than losing its date.
    for (const char *odd : {"<time> 2001-02-03T00:00:00Z", "<time>2001-02-29T00:00:00Z",
                            "<time>T00:00:00Z", "<time>12345-01-01T00:00:00Z"}) {
        const QString line = QString::fromLatin1(odd);
        QTest::newRow(odd) << line << line;
    }
    QTest::newRow("signed year as Qt 5 reads it")
        << QStringLiteral("<time>+001-01-01T00:00:00Z")
        << QStringLiteral("<time>%1T00:00:00Z").arg(iso(QDate(1, 1, 1).addDays(7168)));
    const QString cyrillic = dated(QString::fromUtf8("\xd0\x96 <time>%1T00:00:00Z \xd0\x96"), 7170);
    QTest::newRow("non-ASCII around the stamp")
        << cyrillic << dated(QString::fromUtf8("\xd0\x96 <time>%1T00:00:00Z \xd0\x96"), 2);
}

void TestTimeLine::correctTimeLine()
{
    QFETCH(QString, line);
    QFETCH(QString, expected);
    QCOMPARE(::correctTimeLine(line), expected);
}

void TestTimeLine::parseDate_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QDate>("expected");

    QTest::newRow("plain") << "1999-08-22" << QDate(1999, 8, 22);
    QTest::newRow("leap day") << "2000-02-29" << QDate(2000, 2, 29);
    QTest::newRow("first day") << "0001-01-01" << QDate(1, 1, 1);
    QTest::newRow("last day") << "9999-12-31" << QDate(9999, 12, 31);
    QTest::newRow("plus year") << "+001-01-01" << QDate(1, 1, 1);
    QTest::newRow("plus month") << "2001-+2-03" << QDate(2001, 2, 3);
    QTest::newRow("plus day") << "2001-02-+3" << QDate(2001, 2, 3);
    const char *noDates[] = {
        "2001-02-29", "0000-01-01", "2001-00-01",  "2001-13-01",  "2001-01-00",
        "2001-01-32", "2001-2-03",  "2001-02-3",   "20010-02-03", "+2001-02-03",
        "-001-01-01", " 001-01-01", "2001-02-03 ", " 2001-02-03", "2001/02/03",
        "2001-02- 3", "+-01-01-01", "2001-+-03",   "2001-02-+",   "",
        "2001-02-0",  "2a01-02-03", "++01-01-01",  "-0001-01-01", "2001-02-03T"};
    for (const char *text : noDates)
        QTest::newRow(text) << QString::fromLatin1(text) << QDate();
    QTest::newRow("full-width digits")
        << QString::fromUtf8("\xef\xbc\x92\xef\xbc\x90\xef\xbc\x90\xef\xbc\x91-02-03") << QDate();
    QTest::newRow("Arabic-Indic digits")
        << QString::fromUtf8("\xd9\xa2\xd9\xa0\xd9\xa0\xd9\xa1-02-03") << QDate();
    QTest::newRow("digit plus 0x100") << QString(QChar(0x132)) + "001-02-03" << QDate();
}

void TestTimeLine::parseDate()
{
    QFETCH(QString, text);
    QFETCH(QDate, expected);
    const auto *units = reinterpret_cast<const char16_t *>(text.utf16());
    QCOMPARE(parseRolloverDate(units, text.size()), expected);
    const QByteArray latin1 = text.toLatin1();
    if (QString::fromLatin1(latin1) == text) {
        const auto *bytes = reinterpret_cast<const unsigned char *>(latin1.constData());
        QCOMPARE(parseRolloverDate(bytes, latin1.size()), expected);
    }
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    QCOMPARE(QDate::fromString(text, QStringLiteral("yyyy-MM-dd")), expected);
#endif
}

void TestTimeLine::formatDateAgreesWithQt()
{
    for (QDate date(1, 1, 1); date.year() <= 9999; date = date.addDays(37)) {
        char16_t text[dateTextLength];
        formatRolloverDate(date, text);
        QCOMPARE(QString::fromUtf16(text, dateTextLength), iso(date));
    }
}

QTEST_APPLESS_MAIN(TestTimeLine)
#include "tst_timeline.moc"
