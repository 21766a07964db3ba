#pragma once

#include "pipeline/core/error.h"

#include <QString>

namespace nocta {

// Results take their final name only when complete: they are written under
// a temporary name beside the target and renamed over it. A rename within
// one file system is atomic, so a failed or interrupted write never leaves
// a partial file under the final name.

// What a path that is neither a regular file nor a directory is, in
// words: "a pipe (FIFO)", "a socket", ...
QString fileKind(const QString &path);

// True when both paths name the same file, by whatever path, symbolic or
// hard link.
bool sameFile(const QString &a, const QString &b);

// Renames from over to, replacing a file that is already there. A fault
// gives the system's reason.
Fault replaceFile(const QString &from, const QString &to);

// Renames from to `to` only when nothing is there: a file that appeared
// at `to` meanwhile (another run's result) is never replaced. Atomic with
// renameat2's no-replace rename, else with a hard link and the removal of
// from; only where the file system has neither is it a check followed by
// a rename. A fault gives the system's reason, with the code EEXIST when
// it failed because `to` was there.
Fault renameNoReplace(const QString &from, const QString &to);

// Flushes a written file to the disk, so that a power cut after a rename
// cannot leave it empty under its final name.
Fault syncFile(const QString &path);

} // namespace nocta
