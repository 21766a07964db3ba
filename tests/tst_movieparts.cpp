// One movie in parts: the parts, joined, must be the whole run's movie
// frame for frame, whatever the source's keyframes and container, with the
// sound in step; and join must refuse parts that do not make one movie.

#include "pipeline/movie/moviejoin.h"
#include "pipeline/movie/moviestream.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QHash>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>

using namespace nocta;
using namespace nocta::test;

Q_DECLARE_METATYPE(nocta::DenoiseMode)

namespace {

constexpr int Frames = 44;

} // namespace

class TestMovieParts : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void partsJoinIntoTheWholeRun_data();
    void partsJoinIntoTheWholeRun();
    void joinRefusesPartsThatDoNotBelong_data();
    void joinRefusesPartsThatDoNotBelong();

private:
    QString source(const QString &name);
    QString wholeRun(const QString &movie, DenoiseMode mode);
    QString part(const QString &movie, int index, int count, DenoiseMode mode = DenoiseMode::Fuzzy);

    QTemporaryDir m_dir;
    QHash<QString, QString> m_made;   // what was made, by what it is
};

void TestMovieParts::initTestCase()
{
    if (findFfmpeg().isEmpty())
        QSKIP("ffmpeg is not installed");
    QVERIFY(m_dir.isValid());
}

// The source movies, made once: flashes and beeps, stored as named.
QString TestMovieParts::source(const QString &name)
{
    if (m_made.contains(name))
        return m_made.value(name);
    const QString path = m_dir.filePath(name);
    bool made = false;
    if (name == "ffv1.mkv")   // lossless, a keyframe every 7 frames
        made = makeFlashMovie(path, "pcm_s16le", Frames);
    else if (name == "h264.mp4")   // B-frames, AAC with its priming delay
        made = makeFlashMovie(path, "aac", Frames, {"-c:v", "libx264", "-qp", "0", "-g", "7", "-bf", "3"});
    else if (name == "h264.ts")   // one keyframe: a seek lands past it
        made = makeFlashMovie(path, "aac", Frames, {"-c:v", "libx264", "-qp", "0", "-g", "250", "-bf", "3"});
    else if (name == "other.mkv")
        made = makeFlashMovie(path, "pcm_s16le", Frames - 2);
    if (!made)
        return QString();
    m_made.insert(name, path);
    return path;
}

QString TestMovieParts::wholeRun(const QString &movie, DenoiseMode mode)
{
    const QString key = "whole " + movie + " " + modeName(mode);
    if (m_made.contains(key))
        return m_made.value(key);
    StreamJob job;
    job.movie = movie;
    job.output = m_dir.filePath(QStringLiteral("whole-%1-%2.mkv").arg(m_made.size()).arg(modeName(mode)));
    job.mode = mode;
    job.encode.codec = EncodeSettings::Codec::Ffv1;
    RecordingSink sink;
    if (!denoiseMovie(job, sink))
        return QString();
    m_made.insert(key, job.output);
    return job.output;
}

// Part K of N of a movie, lossless, made once.
QString TestMovieParts::part(const QString &movie, int index, int count, DenoiseMode mode)
{
    const QString key = QStringLiteral("part %1 %2/%3 %4").arg(movie).arg(index).arg(count).arg(modeName(mode));
    if (m_made.contains(key))
        return m_made.value(key);
    StreamJob job;
    job.movie = movie;
    job.output = m_dir.filePath(QStringLiteral("part-%1-%2-of-%3.mkv").arg(m_made.size()).arg(index).arg(count));
    job.mode = mode;
    job.encode.codec = EncodeSettings::Codec::Ffv1;
    job.part = PartSpec{index, count};
    RecordingSink sink;
    if (!denoiseMovie(job, sink)) {
        qWarning("%s", qPrintable(sink.lines.join('\n')));
        return QString();
    }
    m_made.insert(key, job.output);
    return job.output;
}

void TestMovieParts::partsJoinIntoTheWholeRun_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<int>("parts");
    QTest::addColumn<DenoiseMode>("mode");

    // 40 output frames. Of the part boundaries only frame 28 of 7 parts
    // falls on a keyframe of the Matroska movie; the parts after the first
    // start ffmpeg's frame grid further in, and from frame 11 on they seek.
    QTest::newRow("Matroska, 1 part") << "ffv1.mkv" << 1 << DenoiseMode::Fuzzy;
    QTest::newRow("Matroska, 2 parts") << "ffv1.mkv" << 2 << DenoiseMode::Fuzzy;
    QTest::newRow("Matroska, 3 parts") << "ffv1.mkv" << 3 << DenoiseMode::Fuzzy;
    QTest::newRow("Matroska, 7 parts") << "ffv1.mkv" << 7 << DenoiseMode::Fuzzy;
    QTest::newRow("MP4 with B-frames, 3 parts, standard") << "h264.mp4" << 3 << DenoiseMode::Standard;
    QTest::newRow("MPEG-TS, one keyframe, 3 parts") << "h264.ts" << 3 << DenoiseMode::Fuzzy;
}

// The parts joined hold the whole run's frames, bit for bit, at the
// source's rate, n - 4 of them, with the beep on the flash.
void TestMovieParts::partsJoinIntoTheWholeRun()
{
    QFETCH(QString, source);
    QFETCH(int, parts);
    QFETCH(DenoiseMode, mode);
    const QString movie = this->source(source);
    QVERIFY(!movie.isEmpty());
    const QString whole = wholeRun(movie, mode);
    QVERIFY(!whole.isEmpty());

    QStringList files;
    for (int k = parts; k >= 1; --k) {   // join puts them in order
        files << part(movie, k, parts, mode);
        QVERIFY(!files.last().isEmpty());
    }
    JoinPlan plan;
    const Error error = planJoin(files, QString(), true, &plan);
    QVERIFY2(!error, qPrintable(error.text()));
    QTemporaryDir work;
    const QString joined = work.filePath("joined.mkv");
    RecordingSink sink;
    QVERIFY2(joinParts(plan, joined, sink), qPrintable(sink.lines.join('\n')));
    QCOMPARE(sink.lines.last(), QStringLiteral(" - Movie created."));

    QVERIFY(decodeWithFfmpeg(movie, work.filePath("source")));
    QVERIFY(decodeWithFfmpeg(whole, work.filePath("whole")));
    QVERIFY(decodeWithFfmpeg(joined, work.filePath("joined")));
    const QStringList expected = QDir(work.filePath("whole")).entryList({"*.bmp"}, QDir::Files, QDir::Name);
    const QStringList actual = QDir(work.filePath("joined")).entryList({"*.bmp"}, QDir::Files, QDir::Name);
    QCOMPARE(expected.size(), int(QDir(work.filePath("source")).entryList({"*.bmp"}, QDir::Files).size()) - 4);
    QCOMPARE(actual.size(), expected.size());
    for (int i = 0; i < expected.size(); ++i) {
        const QString difference = firstDifference(QImage(work.filePath("whole/" + expected.at(i))),
                                                   QImage(work.filePath("joined/" + actual.at(i))));
        QVERIFY2(difference.isEmpty(), qPrintable(QStringLiteral("output frame %1: %2").arg(i).arg(difference)));
    }
    QString rate;
    QVERIFY(runProgram("ffprobe", {"-v", "error", "-select_streams", "v:0", "-show_entries", "stream=r_frame_rate",
                                   "-of", "csv=p=0", joined}, &rate));
    QCOMPARE(rate.trimmed(), QStringLiteral("%1/1").arg(FlashRate));

    const int flash = brightestFrame(work.filePath("joined"));
    QCOMPARE(flash, brightestFrame(work.filePath("source")) - 2);
    const double beep = firstBeep(joined, work.path());
    QVERIFY2(std::abs(beep - double(flash) / FlashRate) < 1.0 / FlashRate,
             qPrintable(QStringLiteral("beep at %1 s, flash at %2 s").arg(beep).arg(double(flash) / FlashRate)));
}

void TestMovieParts::joinRefusesPartsThatDoNotBelong_data()
{
    QTest::addColumn<QStringList>("parts");     // "K/N", "K/N standard", "K/N other", "K/N moved", "movie"
    QTest::addColumn<QString>("soundFrom");     // "", "movie", "other"
    QTest::addColumn<QString>("refusal");       // empty: accepted

    QTest::newRow("all there") << QStringList{"1/3", "2/3", "3/3"} << "" << "";
    QTest::newRow("one missing") << QStringList{"1/3", "3/3"} << "" << "part 2 of 3 is missing";
    QTest::newRow("one twice") << QStringList{"1/3", "2/3", "2/3", "3/3"} << "" << "part 2 of 3 is given twice";
    QTest::newRow("of another split") << QStringList{"1/3", "2/2", "3/3"} << "" << "different splits";
    QTest::newRow("of another movie") << QStringList{"1/3", "2/3", "3/3 other"} << "" << "parts of different movies";
    QTest::newRow("of other settings") << QStringList{"1/3", "2/3", "3/3 standard"} << ""
                                       << "different settings (mode fuzzy against standard)";
    QTest::newRow("not a part") << QStringList{"1/3", "2/3", "3/3", "movie"} << "" << "is not a part";
    QTest::newRow("sound from another movie") << QStringList{"1/3", "2/3", "3/3"} << "other"
                                              << "is not the movie the parts were made from";
    QTest::newRow("movie gone") << QStringList{"1/3 moved", "2/3 moved", "3/3 moved"} << ""
                                << "moved.mkv, is not there";
    QTest::newRow("movie gone, named") << QStringList{"1/3 moved", "2/3 moved", "3/3 moved"} << "movie" << "";
}

void TestMovieParts::joinRefusesPartsThatDoNotBelong()
{
    QFETCH(QStringList, parts);
    QFETCH(QString, soundFrom);
    QFETCH(QString, refusal);
    const QString movie = source("ffv1.mkv");
    const QString other = source("other.mkv");
    QVERIFY(!movie.isEmpty() && !other.isEmpty());
    // The same movie at a path that is gone when join runs.
    const QString moved = m_dir.filePath("moved.mkv");

    QStringList files;
    for (const QString &entry : parts) {
        if (entry == "movie") {
            files << movie;
            continue;
        }
        const QStringList words = entry.split(' ');
        const int index = words.first().section('/', 0, 0).toInt();
        const int count = words.first().section('/', 1, 1).toInt();
        const QString kind = words.value(1);
        QString file;
        if (kind == "moved") {
            const QString key = QStringLiteral("part %1 %2/%3 fuzzy").arg(moved).arg(index).arg(count);
            if (!m_made.contains(key) && !QFile::exists(moved))
                QVERIFY(QFile::copy(movie, moved));
            file = part(moved, index, count);
        } else {
            file = part(kind == "other" ? other : movie, index, count,
                        kind == "standard" ? DenoiseMode::Standard : DenoiseMode::Fuzzy);
        }
        QVERIFY(!file.isEmpty());
        files << file;
    }
    QFile::remove(moved);

    JoinPlan plan;
    const QString from = soundFrom == "movie" ? movie : soundFrom == "other" ? other : QString();
    const Error refused = planJoin(files, from, true, &plan);
    const QString error = refused.text();
    const bool accepted = !refused;
    if (refusal.isEmpty()) {
        QVERIFY2(accepted, qPrintable(error));
        QCOMPARE(plan.parts.size(), 3);
        QCOMPARE(plan.streamSource, movie);
    } else {
        QVERIFY2(!accepted && error.contains(refusal), qPrintable(error));
        // The movie had sound only: the front end may offer to leave it out.
        if (refusal.contains("is not there"))
            QCOMPARE(int(refused.kind), int(Error::Kind::SoundSourceGone));
        QVERIFY(!error.contains('\n'));
    }
}

QTEST_GUILESS_MAIN(TestMovieParts)
#include "tst_movieparts.moc"
