// How an ffmpeg run ends when NOCTA stops it or is killed: a stop closes
// ffmpeg's input first, so that an ffmpeg that waits on it (and ignores
// SIGTERM while it does) ends at once; a killed NOCTA leaves no ffmpeg
// behind, whichever thread started it.

#include "pipeline/movie/ffmpeg.h"
#include "testsupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QThread>
#include <QtTest>

#include <csignal>
#include <unistd.h>

using namespace nocta;
using namespace nocta::test;

namespace {

// The child of the test that starts a stand-in ffmpeg and waits to be killed.
const char HelperVariable[] = "NOCTA_TEST_START_FFMPEG";

int startFfmpegAndWait(const QByteArray &how)
{
    const auto start = [] {
        auto *ffmpeg = new FfmpegProcess;   // never stopped: only the kernel ends it
        ffmpeg->start({});
    };
    if (how == "thread") {
        QThread *thread = QThread::create([start] {
            start();
            ::pause();
        });
        thread->start();
    } else {
        start();
    }
    for (;;)
        ::pause();
}

// True when the process is gone or a zombie nobody reaps.
bool processGone(const QString &pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return true;
    const QByteArray text = stat.readAll();
    return text.mid(text.lastIndexOf(')') + 2, 1) == "Z";
}

} // namespace

class TestFfmpegProcess : public QObject
{
    Q_OBJECT

private slots:
    void stopClosesInputFirst_data();
    void stopClosesInputFirst();
    void killedProgramLeavesNoFfmpeg_data();
    void killedProgramLeavesNoFfmpeg();
};

void TestFfmpegProcess::stopClosesInputFirst_data()
{
    QTest::addColumn<QByteArray>("written");
    QTest::newRow("nothing written") << QByteArray();
    QTest::newRow("frames written") << QByteArray(64 * 1024, 'x');
}

void TestFfmpegProcess::stopClosesInputFirst()
{
    QFETCH(QByteArray, written);
    QTemporaryDir dir;
    // Like ffmpeg waiting on its input pipe: deaf to SIGTERM until it ends.
    const StandInFfmpeg standIn("#!/bin/sh\ntrap '' TERM\n: > ready\n/bin/cat > /dev/null\n: > input-ended\n");
    QVERIFY(standIn.isValid() && dir.isValid());
    const ScopedPath path(standIn.path());

    FfmpegProcess ffmpeg;
    ffmpeg.setWorkingDirectory(dir.path());
    ffmpeg.setInput(FfmpegProcess::Input::Pipe);
    QVERIFY(ffmpeg.start({}));
    QTRY_VERIFY(QFile::exists(dir.filePath("ready")));
    QVERIFY(written.isEmpty() || ffmpeg.write(written.constData(), written.size()));
    QElapsedTimer timer;
    timer.start();
    ffmpeg.stop();
    QVERIFY(!ffmpeg.isRunning());
    QVERIFY2(QFile::exists(dir.filePath("input-ended")), "ffmpeg was killed before its input ended");
    QVERIFY2(timer.elapsed() < 2000, qPrintable(QString("the stop took %1 ms").arg(timer.elapsed())));
}

void TestFfmpegProcess::killedProgramLeavesNoFfmpeg_data()
{
    QTest::addColumn<QByteArray>("how");
    QTest::newRow("started on the main thread") << QByteArray("main");
    QTest::newRow("started on a thread of its own") << QByteArray("thread");
}

void TestFfmpegProcess::killedProgramLeavesNoFfmpeg()
{
    QFETCH(QByteArray, how);
    QTemporaryDir dir;
    const StandInFfmpeg standIn("#!/bin/sh\necho $$ > pid.tmp && /bin/mv pid.tmp pid\nexec /bin/sleep 120\n");
    QVERIFY(standIn.isValid() && dir.isValid());

    QProcess program;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(HelperVariable, QString::fromLatin1(how));
    environment.insert("PATH", standIn.path());
    program.setProcessEnvironment(environment);
    program.setWorkingDirectory(dir.path());
    program.start(QCoreApplication::applicationFilePath(), QStringList());
    QVERIFY(program.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(dir.filePath("pid")), 20000);
    const QString pid = QString::fromLatin1(readFile(dir.filePath("pid")).trimmed());
    QVERIFY(!processGone(pid));

    ::kill(pid_t(program.processId()), SIGKILL);
    QVERIFY(program.waitForFinished());
    QTRY_VERIFY_WITH_TIMEOUT(processGone(pid), 10000);
}

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsSet(HelperVariable)) {
        QCoreApplication app(argc, argv);
        return startFfmpegAndWait(qgetenv(HelperVariable));
    }
    QCoreApplication app(argc, argv);
    TestFfmpegProcess test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_ffmpegprocess.moc"
