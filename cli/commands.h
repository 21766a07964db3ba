#pragma once

#include "cli/options.h"

#include <atomic>

namespace nocta::cli {

class TerminalSink;

// Runs one parsed command to its end and returns the exit status.
// stop turns true on Ctrl-C: the run stops after the frame at hand and no
// further stage or movie is started.
int runCommand(const Options &options, TerminalSink &sink, const std::atomic_bool &stop);

} // namespace nocta::cli
