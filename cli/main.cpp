// nocta-cli: the NOCTA pipeline without the window.

#include "cli/commands.h"
#include "cli/options.h"
#include "cli/terminalsink.h"
#include "filters/memorytuning.h"

#include <QCoreApplication>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <iostream>

#ifdef Q_OS_UNIX
#include <signal.h>
#endif

namespace {

// Set by the first Ctrl-C (or SIGTERM): the run stops after the frame at
// hand. ffmpeg, in the same process group, receives Ctrl-C itself and ends
// its stage with a failure; its unfinished movie is removed by the stage.
std::atomic_bool stopRequest{false};
static_assert(std::atomic_bool::is_always_lock_free, "the stop flag is set from a signal handler");

extern "C" void requestStop(int)
{
    stopRequest.store(true);
}

void installStopHandler()
{
#ifdef Q_OS_UNIX
    struct sigaction action = {};
    action.sa_handler = requestStop;
    sigemptyset(&action.sa_mask);
    // A second signal ends the program at once.
    action.sa_flags = SA_RESETHAND | SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
#else
    std::signal(SIGINT, requestStop);
    std::signal(SIGTERM, requestStop);
#endif
}

} // namespace

int main(int argc, char *argv[])
{
    nocta::tuneMemoryForFrames();
    // Qt Core is enough: images are read and written without a display.
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("nocta-cli"));
    QCoreApplication::setApplicationVersion(QStringLiteral(NOCTA_VERSION));

    nocta::cli::Options options;
    QString error;
    QStringList arguments = QCoreApplication::arguments();
    arguments.removeFirst();
    if (!nocta::cli::parseArguments(arguments, &options, &error)) {
        std::fprintf(stderr, "nocta-cli: %s (see nocta-cli --help)\n", error.toLocal8Bit().constData());
        return nocta::cli::ExitUsage;
    }
    if (options.command == nocta::cli::Command::Help) {
        std::cout << nocta::cli::helpText().toLocal8Bit().constData() << std::flush;
        return nocta::cli::ExitOk;
    }
    if (options.command == nocta::cli::Command::Version) {
        std::cout << "nocta-cli " NOCTA_VERSION "\n" << std::flush;
        return nocta::cli::ExitOk;
    }

    installStopHandler();
    nocta::cli::TerminalSink sink(nocta::cli::progressStyleFor(options.quiet), stopRequest);
    return nocta::cli::runCommand(options, sink, stopRequest);
}
