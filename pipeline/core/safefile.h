#pragma once

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

// Renames from over to, replacing a file that is already there. On failure
// gives the system's reason in *error.
bool replaceFile(const QString &from, const QString &to, QString *error = nullptr);

// Renames from to `to` only when nothing is there: a file that appeared
// at `to` meanwhile (another run's result) is never replaced. Atomic with
// renameat2's no-replace rename, else with a hard link and the removal of
// from; only where the file system has neither is it a check followed by
// a rename. On failure *error gives the system's reason and *existed
// (when given) tells whether it failed because `to` was there.
bool renameNoReplace(const QString &from, const QString &to, QString *error = nullptr, bool *existed = nullptr);

// Flushes a written file to the disk, so that a power cut after a rename
// cannot leave it empty under its final name.
bool syncFile(const QString &path, QString *error = nullptr);

} // namespace nocta
