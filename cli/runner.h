#pragma once

// What the files of nocta-cli's commands share: the paths and checks they
// all make, the command line's wording of the pipeline's errors, and the
// Runner that carries one command out (commands.cpp: dispatch and the
// stages; allcommand.cpp: all, one movie or a batch; morecommands.cpp:
// join, demo and preview).

#include "cli/options.h"

#include <QString>
#include <QStringList>

#include <atomic>

namespace nocta {
struct Error;
}

namespace nocta::cli {

class TerminalSink;

QString absolutePath(const QString &path);
QString shown(const QString &path);
bool endsWithSeparator(const QString &path);
bool haveFfmpeg();
bool checkWritableDirectory(const QString &dir, QString *error);
bool prepareWorkDir(const QString &dir, bool create, QString *error);
bool checkDecodeInputs(const QString &movie, QString *error);
QString wording(const Error &error);
QString movieName(const QString &movie);

class Runner
{
public:
    Runner(const Options &options, TerminalSink &sink, const std::atomic_bool &stop);

    int run();

private:
    int error(const QString &text, int status = ExitFailed);
    int interrupted();
    int finish(bool ok);
    bool saved(const QString &output);

    bool decodeStage(const QString &movie, const QString &workDir);
    bool processStage(const QString &workDir);
    bool encodeStage(const QString &workDir, const QString &output, bool replace = true);
    bool allStages(const QString &movie, const QString &workDir, const QString &output);

    QString singleOutput(const QString &defaultName) const;
    bool checkOutput(const QString &output, QString *error) const;
    int checkOutputFolder(bool batch, QString *error) const;
    bool makeOutputFolder(QString *error);
    int overwriteStatus(const QString &output, bool inBatch, QString *error) const;

    int decode();
    int process();
    int encode();

    QString allOutput(const QString &movie) const;
    int checkAllOutput(const QString &movie, const QString &output, bool inBatch, QString *error) const;
    bool allMovie(const QString &movie, const QString &workDir, const QString &output);
    int allOne();
    QStringList batchOutputs(const QString &outDir, QString *reason) const;
    int checkBatch(const QStringList &outputs);
    bool batchMovie(const QString &movie, const QString &output);
    int allBatch();

    int join();
    int demo();
    int preview();

    const Options &m_options;
    TerminalSink &m_sink;
    const std::atomic_bool &m_stop;
    const QString m_workDir;
};

} // namespace nocta::cli
