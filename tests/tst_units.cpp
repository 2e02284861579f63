// The pure functions beneath a copy, each a table of rows and one body.
#include "rule/rollover_date.h"
#include "run/console.h"
#include "run/tree_walk.h"

#include <QDateTime>
#include <QtTest>

class TestUnits : public QObject
{
    Q_OBJECT

  private slots:
    void dateReading_data();
    void dateReading();
    void latestDate_data();
    void latestDate();
    void todayHoldsForOneDay();
    void shownName_data();
    void shownName();
    void listingOrder_data();
    void listingOrder();
};

void TestUnits::dateReading_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QDate>("date"); // invalid: no date
    QTest::newRow("a date") << QByteArray("2004-10-02") << QDate(2004, 10, 2);
    QTest::newRow("the first year") << QByteArray("0001-01-01") << QDate(1, 1, 1);
    QTest::newRow("the last year") << QByteArray("9999-12-31") << QDate(9999, 12, 31);
    QTest::newRow("a leap day") << QByteArray("2004-02-29") << QDate(2004, 2, 29);
    QTest::newRow("no leap day") << QByteArray("2003-02-29") << QDate();
    QTest::newRow("year 0") << QByteArray("0000-01-01") << QDate();
    QTest::newRow("month 0") << QByteArray("2004-00-10") << QDate();
    QTest::newRow("month 13") << QByteArray("2004-13-10") << QDate();
    QTest::newRow("day 0") << QByteArray("2004-01-00") << QDate();
    QTest::newRow("day 32") << QByteArray("2004-01-32") << QDate();
    QTest::newRow("a signed year") << QByteArray("+999-01-01") << QDate();
    QTest::newRow("signed fields") << QByteArray("2004-+1-+1") << QDate();
    QTest::newRow("a space") << QByteArray(" 2004-1-01") << QDate();
    QTest::newRow("slashes") << QByteArray("2004/01/01") << QDate();
    QTest::newRow("a unit past 9") << QByteArray("200:-01-01") << QDate();
    QTest::newRow("a unit before 0") << QByteArray("2004-0/-01") << QDate();
    QTest::newRow("too short") << QByteArray("2004-01-1") << QDate();
    QTest::newRow("too long") << QByteArray("2004-01-011") << QDate();
}

void TestUnits::dateReading()
{
    QFETCH(QByteArray, text);
    QFETCH(QDate, date);
    QCOMPARE(parseRolloverDate(reinterpret_cast<const uchar *>(text.constData()), text.size()),
             date);
    // Wide units read alike, and a digit of another script is no digit.
    const QString wide = QString::fromLatin1(text);
    QCOMPARE(parseRolloverDate(reinterpret_cast<const char16_t *>(wide.utf16()), wide.size()),
             date);
    QString fullWidth = wide;
    fullWidth[0] = QChar(0xFF10 + wide[0].unicode() - '0');
    QVERIFY(
        !parseRolloverDate(reinterpret_cast<const char16_t *>(fullWidth.utf16()), fullWidth.size())
             .isValid());
}

void TestUnits::latestDate_data()
{
    QTest::addColumn<QDateTime>("at");
    QTest::addColumn<QDate>("date");
    const auto utc = [](const char *text) {
        return QDateTime::fromString(text, Qt::ISODateWithMs);
    };
    QTest::newRow("before 10:00 UTC") << utc("2026-12-08T09:59:59.999Z") << QDate(2026, 12, 8);
    QTest::newRow("at 10:00 UTC, the next day")
        << utc("2026-12-08T10:00:00Z") << QDate(2026, 12, 9);
    QTest::newRow("at UTC's midnight") << utc("2026-12-08T00:00:00Z") << QDate(2026, 12, 8);
    QTest::newRow("before 1970") << utc("1969-12-31T09:59:59.999Z") << QDate(1969, 12, 31);
    QTest::newRow("into 1970") << utc("1969-12-31T10:00:00Z") << QDate(1970, 1, 1);
    QTest::newRow("a leap day") << utc("2024-02-28T10:00:00Z") << QDate(2024, 2, 29);
}

void TestUnits::latestDate()
{
    QFETCH(QDateTime, at);
    QFETCH(QDate, date);
    QCOMPARE(latestDateAt(at.toMSecsSinceEpoch()), date);
}

// Today is kept from the moment its date begins at UTC+14 until the next one begins.
void TestUnits::todayHoldsForOneDay()
{
    Today today;
    const qint64 before = QDateTime::currentMSecsSinceEpoch();
    const QDate date = currentToday(today);
    QCOMPARE(date, today.date);
    QVERIFY(today.validFromMs <= before && before < today.validUntilMs);
    QCOMPARE(latestDateAt(today.validFromMs), date);
    QCOMPARE(latestDateAt(today.validFromMs - 1), date.addDays(-1));
    QCOMPARE(latestDateAt(today.validUntilMs), date.addDays(1));
    QCOMPARE(latestDateAt(today.validUntilMs - 1), date);
    today.date = QDate(2000, 1, 1); // kept while it holds: the clock is not read again
    QCOMPARE(currentToday(today), QDate(2000, 1, 1));
}

QTEST_GUILESS_MAIN(TestUnits)
// Unix names are bytes; each row's name is told apart from every other row's.
void TestUnits::shownName_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QString>("shown");
#ifdef Q_OS_UNIX
    const auto row = [](const char *what, const char *name, const char *shown) {
        QTest::newRow(what) << QByteArray(name) << QString::fromUtf8(shown);
    };
    row("text", "Z\xc3\xbcrich/\xed\x95\x9c.gpx", "Z\xc3\xbcrich/\xed\x95\x9c.gpx");
    row("a question mark", "a?b", "a?b");
    row("a line feed", "a\nb", "a\\x0ab");
    row("delete", "a\x7f", "a\\x7f");
    row("a backslash", "a\\x0ab", "a\\\\x0ab");
    row("a byte that is no text", "Z\xfcrich", "Z\\xfcrich");
    row("C1 control", "\xc2\x85", "\\xc2\\x85");
    row("the first character after C1", "\xc2\xa0", "\xc2\xa0");
    row("a line separator", "\xe2\x80\xa8", "\\xe2\\x80\\xa8");
    row("the last mark that reorders", "\xe2\x81\xa9", "\\xe2\\x81\\xa9");
    row("beside the marks", "\xe2\x80\xa7\xe2\x80\xaf\xe2\x81\xaa",
        "\xe2\x80\xa7\xe2\x80\xaf\xe2\x81\xaa");
    row("a surrogate", "\xed\xa0\x80", "\\xed\\xa0\\x80");
    row("an overlong form", "\xc1\xbf", "\\xc1\\xbf");
    row("an overlong form of three", "\xe0\x9f\xbf", "\\xe0\\x9f\\xbf");
    row("the first of three", "\xe0\xa0\x80", "\xe0\xa0\x80");
    row("an overlong form of four", "\xf0\x8f\xbf\xbf", "\\xf0\\x8f\\xbf\\xbf");
    row("beyond U+10FFFF", "\xf4\x90\x80\x80", "\\xf4\\x90\\x80\\x80");
#else
    // Łódź: its "d" stands apart, so as not to be read as a digit of the escape before it.
    QTest::newRow("separators") << QByteArray("D:\\Tracks/\xc5\x81\xc3\xb3"
                                              "d\xc5\xba/a.gpx")
                                << QString::fromUtf8("D:\\Tracks\\\xc5\x81\xc3\xb3"
                                                     "d\xc5\xba\\a.gpx");
#endif
}

void TestUnits::shownName()
{
    QFETCH(QByteArray, name);
    QFETCH(QString, shown);
    QCOMPARE(::shownName(name), shown);
}

// Each row: `first` is listed before `second`, and not the other way round.
void TestUnits::listingOrder_data()
{
    QTest::addColumn<QByteArray>("first");
    QTest::addColumn<QByteArray>("second");
    QTest::newRow("letter case is no matter") << QByteArray("a.gpx") << QByteArray("B.gpx");
    QTest::newRow("nor the other way") << QByteArray("A.gpx") << QByteArray("b.gpx");
    QTest::newRow("alike but for case, by bytes") << QByteArray("Ride") << QByteArray("ride");
    QTest::newRow("digits as text") << QByteArray("t10.gpx") << QByteArray("t9.gpx");
    QTest::newRow("a shorter name first") << QByteArray("t1.gpx") << QByteArray("t10.gpx");
    QTest::newRow("letters beyond ASCII") << QByteArray("z.gpx") << QByteArray("\xc3\xa9.gpx");
    QTest::newRow("bytes that are no text") << QByteArray("\xfc.gpx") << QByteArray("\xfd.gpx");
}

void TestUnits::listingOrder()
{
    QFETCH(QByteArray, first);
    QFETCH(QByteArray, second);
    QVERIFY(listedBefore(first, second));
    QVERIFY(!listedBefore(second, first));
}

#include "tst_units.moc"
