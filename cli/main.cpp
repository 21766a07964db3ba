// nocta-cli: the NOCTA pipeline without the window.

#include "cli/commands.h"
#include "cli/options.h"
#include "cli/terminalsink.h"
#include "filters/memorytuning.h"

#include <QCoreApplication>
#include <QGuiApplication>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <memory>

#ifdef Q_OS_UNIX
#include <signal.h>
#endif

namespace {

// Set by the first SIGINT, SIGTERM or SIGHUP, whether it came to the whole
// process group (Ctrl-C) or to this process alone (kill PID, a service
// manager): the processing run stops after the frame at hand, and a
// running ffmpeg is stopped by its stage, which removes its unfinished
// movie. The exit status then tells the signal: 128 + its number.
std::atomic_bool stopRequest{false};
std::atomic_int stopSignal{0};
static_assert(std::atomic_bool::is_always_lock_free, "the stop flag is set from a signal handler");
static_assert(std::atomic_int::is_always_lock_free, "the signal is kept from a signal handler");

extern "C" void requestStop(int signal)
{
    if (stopRequest.load()) {
        // A second signal ends the program at once; ffmpeg dies with it.
        std::signal(signal, SIG_DFL);
        std::raise(signal);
        return;
    }
    stopSignal.store(signal);
    stopRequest.store(true);
}

void installStopHandler()
{
#ifdef Q_OS_UNIX
    struct sigaction action = {};
    action.sa_handler = requestStop;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaction(signal, &action, nullptr);
#else
    std::signal(SIGINT, requestStop);
    std::signal(SIGTERM, requestStop);
#endif
}

} // namespace

int main(int argc, char *argv[])
{
    nocta::tuneMemoryForFrames();
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    nocta::cli::Options options;
    QString error;
    const bool parsed = nocta::cli::parseArguments(arguments, &options, &error);
    // Qt Core is enough: images are read and written without a display.
    // preview draws text, which takes Qt Gui's fonts; it draws off screen.
    std::unique_ptr<QCoreApplication> application;
    if (parsed && options.command == nocta::cli::Command::Preview) {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
        application = std::make_unique<QGuiApplication>(argc, argv);
    } else {
        application = std::make_unique<QCoreApplication>(argc, argv);
    }
    QCoreApplication::setApplicationName(QStringLiteral("nocta-cli"));
    QCoreApplication::setApplicationVersion(QStringLiteral(NOCTA_VERSION));

    if (!parsed) {
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
    const int status = nocta::cli::runCommand(options, sink, stopRequest);
    if (status == nocta::cli::ExitInterrupted && stopSignal.load() > 0)
        return 128 + stopSignal.load();
    return status;
}
