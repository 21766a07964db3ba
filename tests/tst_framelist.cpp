#include "pipeline/frames/framelist.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>

#include <sys/stat.h>

using nocta::naturalLess;

class TestFrameList : public QObject
{
    Q_OBJECT

private slots:
    void naturalOrder_data();
    void naturalOrder();
    void sortsLongMovies();
    void listsFilesOnly();
    void missingDirectoryIsEmpty();
    void frameNameEndsAtFirstDot();
};

void TestFrameList::naturalOrder_data()
{
    QTest::addColumn<QString>("a");
    QTest::addColumn<QString>("b");
    QTest::newRow("three digits") << "001.bmp" << "002.bmp";
    QTest::newRow("999 before 1000") << "999.bmp" << "1000.bmp";
    QTest::newRow("100 before 101 before 1000") << "101.bmp" << "1000.bmp";
    QTest::newRow("unpadded numbers") << "9.bmp" << "10.bmp";
    QTest::newRow("same number, fewer zeros first") << "01.bmp" << "001.bmp";
    QTest::newRow("digits before letters") << "999.bmp" << "clip.bmp";
    QTest::newRow("case ignored") << "Alpha.bmp" << "beta.bmp";
    QTest::newRow("case ignored, lower side") << "alpha.bmp" << "Beta.bmp";
    QTest::newRow("prefix shorter first") << "clip" << "clip.bmp";
    QTest::newRow("numbers inside names") << "clip2.bmp" << "clip10.bmp";
    QTest::newRow("extension decides last") << "001.bmp" << "001.png";
    QTest::newRow("huge numbers") << "99999999999999999999.bmp" << "100000000000000000000.bmp";
}

void TestFrameList::naturalOrder()
{
    QFETCH(QString, a);
    QFETCH(QString, b);
    QVERIFY2(naturalLess(a, b), qPrintable(a + " should come before " + b));
    QVERIFY2(!naturalLess(b, a), qPrintable(b + " should not come before " + a));
    QVERIFY(!naturalLess(a, a));
}

void TestFrameList::sortsLongMovies()
{
    QStringList names;
    for (int i = 1; i <= 1205; ++i)
        names << QStringLiteral("%1.bmp").arg(i, 3, 10, QLatin1Char('0'));
    QStringList shuffled = names;
    std::reverse(shuffled.begin(), shuffled.end());
    std::stable_sort(shuffled.begin(), shuffled.end(), naturalLess);
    QCOMPARE(shuffled, names);
}

void TestFrameList::listsFilesOnly()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    for (const char *name : {"1000.bmp", "999.bmp", "notes.txt", ".hidden.bmp", "002.BMP"}) {
        QFile file(dir.filePath(QLatin1String(name)));
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("003.bmp")));
    // Special files, and links to them, are no frames (and reading them
    // could block); a link to a regular file is one.
    const QByteArray fifo = QFile::encodeName(dir.filePath(QStringLiteral("004.bmp")));
    QCOMPARE(mkfifo(fifo.constData(), 0600), 0);
    QVERIFY(QFile::link(dir.filePath(QStringLiteral("004.bmp")), dir.filePath(QStringLiteral("005.bmp"))));
    QVERIFY(QFile::link(QStringLiteral("/dev/zero"), dir.filePath(QStringLiteral("006.bmp"))));
    QVERIFY(QFile::link(dir.filePath(QStringLiteral("no-such-file")), dir.filePath(QStringLiteral("007.bmp"))));
    QVERIFY(QFile::link(dir.filePath(QStringLiteral("999.bmp")), dir.filePath(QStringLiteral("008.bmp"))));

    QStringList listed;
    for (const QFileInfo &entry : nocta::listFrames(dir.path()))
        listed << entry.fileName();
    QCOMPARE(listed, QStringList({"002.BMP", "008.bmp", "999.bmp", "1000.bmp", "notes.txt"}));
}

void TestFrameList::missingDirectoryIsEmpty()
{
    QTemporaryDir dir;
    QVERIFY(nocta::listFrames(dir.filePath(QStringLiteral("screens"))).isEmpty());
}

void TestFrameList::frameNameEndsAtFirstDot()
{
    QCOMPARE(nocta::frameName(QFileInfo(QStringLiteral("screens/001.bmp"))), QStringLiteral("001"));
    QCOMPARE(nocta::frameName(QFileInfo(QStringLiteral("screens/clip.part1.bmp"))), QStringLiteral("clip"));
    QCOMPARE(nocta::frameName(QFileInfo(QStringLiteral("screens/frame"))), QStringLiteral("frame"));
}

QTEST_GUILESS_MAIN(TestFrameList)
#include "tst_framelist.moc"
