// nocta-quality-tool errors: a filter's error is counted on the class of
// pixels where it lies (still or moving, flat or edge, as the clean frames
// show), and its grey map puts it at its place.

#include "testsupport.h"

#include <QtTest>

#include <cmath>

namespace {

constexpr int Width = 64, Height = 48, Frames = 3;

// Clean frames: a grey background, a still dark bar (columns 54 .. 59) and
// a bright square of 20 pixels moving 8 pixels right a frame (left column
// 10 + 8 t, rows 14 .. 33), as rgb24.
QByteArray cleanFrames()
{
    QByteArray bytes;
    for (int t = 0; t < Frames; ++t) {
        for (int y = 0; y < Height; ++y) {
            for (int x = 0; x < Width; ++x) {
                int value = x >= 54 && x < 60 ? 50 : 100;
                if (x >= 10 + 8 * t && x < 30 + 8 * t && y >= 14 && y < 34)
                    value = 200;
                bytes.append(3, char(value));
            }
        }
    }
    return bytes;
}

// The tool's table: the share of the error of each class.
QMap<QString, double> errorShares(const QString &output)
{
    QMap<QString, double> shares;
    for (const QString &line : output.split(QLatin1Char('\n'))) {
        const QStringList words = line.simplified().split(QLatin1Char(' '));
        if (words.size() == 6 && words[0] != QLatin1String("pixels"))
            shares[words[1] + QLatin1Char(' ') + words[2]] = words[4].toDouble();
    }
    return shares;
}

} // namespace

class TestQualityTool : public QObject
{
    Q_OBJECT

private slots:
    void errorCountedWhereItLies_data();
    void errorCountedWhereItLies();
};

void TestQualityTool::errorCountedWhereItLies_data()
{
    QTest::addColumn<QPoint>("pixel");
    QTest::addColumn<QString>("expected");
    QTest::newRow("background far from both") << QPoint(4, 42) << QStringLiteral("still flat");
    QTest::newRow("edge of the still bar") << QPoint(54, 40) << QStringLiteral("still edge");
    QTest::newRow("where the square was") << QPoint(12, 24) << QStringLiteral("moving flat");
    QTest::newRow("leading edge of the square") << QPoint(37, 24) << QStringLiteral("moving edge");
    QTest::newRow("trailing edge of the square") << QPoint(18, 20) << QStringLiteral("moving edge");
    QTest::newRow("beside the square, within reach") << QPoint(47, 24) << QStringLiteral("moving flat");
}

// One pixel of the middle frame off by 12 levels: all the error lies in
// its class, and the map of that frame holds it at its place alone.
void TestQualityTool::errorCountedWhereItLies()
{
    QFETCH(QPoint, pixel);
    QFETCH(QString, expected);
    const QString tool = QDir(QString::fromLocal8Bit(qgetenv("NOCTA_BINARY_DIR"))).filePath(QStringLiteral("nocta-quality-tool"));
    if (!QFileInfo(tool).isExecutable())
        QSKIP("nocta-quality-tool is not built (NOCTA_BENCH off)");
    QTemporaryDir dir;
    const QByteArray clean = cleanFrames();
    QByteArray test = clean;
    const int at = ((Width * Height) + pixel.y() * Width + pixel.x()) * 3;
    for (int c = 0; c < 3; ++c)
        test[at + c] = char(uchar(test[at + c]) + 12);
    QVERIFY(nocta::test::writeFile(dir.filePath(QStringLiteral("clean.rgb")), clean));
    QVERIFY(nocta::test::writeFile(dir.filePath(QStringLiteral("test.rgb")), test));
    QString output;
    QVERIFY(nocta::test::runProgram(tool, {QStringLiteral("errors"), QString::number(Width), QString::number(Height),
                                           dir.filePath(QStringLiteral("clean.rgb")), dir.filePath(QStringLiteral("test.rgb")),
                                           QStringLiteral("--map"), dir.filePath(QStringLiteral("map.gray"))},
                                    &output));
    const QMap<QString, double> shares = errorShares(output);
    QCOMPARE(shares.size(), 4);
    for (auto it = shares.begin(); it != shares.end(); ++it)
        QVERIFY2(it.value() == (it.key() == expected ? 1.0 : 0.0), qPrintable(output));
    const QByteArray map = nocta::test::readFile(dir.filePath(QStringLiteral("map.gray")));
    QCOMPARE(map.size(), Frames * Width * Height);
    for (int i = 0; i < map.size(); ++i)
        QCOMPARE(int(uchar(map[i])), i == Width * Height + pixel.y() * Width + pixel.x() ? 8 * 12 : 0);
}

QTEST_GUILESS_MAIN(TestQualityTool)
#include "tst_qualitytool.moc"
