// Writes a large rolled-over track and the copy the tool must make of it, for the benchmark.
//   make_track pretty|single POINTS INPUT EXPECTED
#include <QDateTime>
#include <QFile>
#include <QTimeZone>

#include <cstdio>
#include <cstring>

int main(int argc, char *argv[])
{
    if (argc != 5) {
        std::fprintf(stderr, "usage: make_track pretty|single POINTS INPUT EXPECTED\n");
        return 2;
    }
    const bool pretty = std::strcmp(argv[1], "pretty") == 0;
    const long points = std::atol(argv[2]);
    QFile input(QString::fromLocal8Bit(argv[3])), expected(QString::fromLocal8Bit(argv[4]));
    if (!input.open(QIODevice::WriteOnly) || !expected.open(QIODevice::WriteOnly))
        return 1;
    const QDateTime start(QDate(1999, 8, 14), QTime(6, 30), Qt::UTC);
    const char *nl = pretty ? "\n" : "";
    const auto both = [&](const QByteArray &in, const QByteArray &out) {
        input.write(in);
        expected.write(out);
    };
    both(QByteArray("<?xml version=\"1.0\" encoding=\"UTF-8\"?>") + nl +
             "<gpx version=\"1.1\" creator=\"bench\"><trk><trkseg>" + nl,
         QByteArray("<?xml version=\"1.0\" encoding=\"UTF-8\"?>") + nl +
             "<gpx version=\"1.1\" creator=\"bench\"><trk><trkseg>" + nl);
    char head[128], tail[64];
    for (long i = 0; i < points; ++i) {
        const QDateTime t = start.addSecs(i);
        std::snprintf(head, sizeof head,
                      "%s<trkpt lat=\"%.7f\" lon=\"%.7f\">%s%s<ele>%.1f</ele>%s%s<time>",
                      pretty ? "      " : "", 47.0 + 1e-6 * double(i % 100000),
                      8.0 + 2e-6 * double(i % 77777), nl, pretty ? "        " : "",
                      400.0 + double(i % 900) / 10.0, nl, pretty ? "        " : "");
        std::snprintf(tail, sizeof tail, "T%s</time>%s%s</trkpt>%s",
                      t.time().toString(QStringLiteral("hh:mm:ss")).toLatin1().constData(), nl,
                      pretty ? "      " : "", nl);
        const QByteArray date = t.date().toString(QStringLiteral("yyyy-MM-dd")).toLatin1();
        const QByteArray newDate =
            t.date().addDays(7168).toString(QStringLiteral("yyyy-MM-dd")).toLatin1();
        both(QByteArray(head) + date + QByteArray(tail), QByteArray(head) + newDate + QByteArray(tail));
    }
    both(QByteArray("</trkseg></trk></gpx>\n"), QByteArray("</trkseg></trk></gpx>\n"));
    return input.error() == QFile::NoError && expected.error() == QFile::NoError ? 0 : 1;
}
