#pragma once

#include "pipeline/core/error.h"

#include <QString>
#include <QStringList>

#include <functional>

namespace nocta {

// A movie to write may replace only a regular file: never a directory, a
// device, a pipe or a socket. A symbolic link is written through: the movie
// replaces the file it points to, and the link stays. A link to nothing is
// refused: an error that says why. Otherwise *target (when given) is the
// file to replace: path itself, or where its link leads.
Error checkOutputMovie(const QString &path, QString *target = nullptr);

// The name a movie is encoded under before it replaces target: beside it,
// with the same suffix, naming this host and the writing process (pid; -1:
// this one) so that a later run can tell a file whose writer is gone:
// out.partial-<host>-<pid>-<random><check>.mp4. The check, a hash of the
// rest of the name, tells the files this program wrote from a movie that
// only looks like one.
QString partialMovieName(const QString &target, qint64 pid = -1);

// True when path is named as partialMovieName() names a partial file, its
// check included: a movie that is not finished (being written, or left by a
// run that was stopped or killed).
bool isPartialMovie(const QString &path);

// Removes the files partialMovieName() gave for target that a process of
// this host wrote which no longer runs (killed before it could clean up).
// Files of running processes, of other hosts, of other names and whose
// check fails stay.
void removeStalePartialMovies(const QString &target);

// A movie being written, the one way every route writes one. ffmpeg
// writes a partial file beside the target; the movie takes its final name
// only when complete (commit), so a failed or stopped run leaves an earlier
// movie as it was. Whatever is not committed is removed when the output
// goes out of scope: on a failure, or on a stop asked for by a signal. A
// process killed outright leaves its partial file, which the next writer of
// the same target removes. A stop asked for before the partial file takes
// the target's name wins; once it has, the movie is made, whatever comes.
class MovieOutput
{
public:
    // The movie at path; messages name it as shown (by default the path)
    // and speak for stage.
    MovieOutput(const QString &path, Error::Stage stage, const QString &shown = QString());
    ~MovieOutput();
    MovieOutput(const MovieOutput &) = delete;
    MovieOutput &operator=(const MovieOutput &) = delete;

    // Asked last before the movie takes its name: true stops it there.
    void setStopCheck(std::function<bool()> stop) { m_stop = std::move(stop); }
    // Whether an existing file at the target may be replaced (by default
    // it may). When not, a file that appears there while the movie is made
    // (another run's) is left as it is, and commit fails.
    void setReplace(bool replace) { m_replace = replace; }

    // Checks the target, makes its directory, removes the partial files of
    // writers that are gone, and names the partial file.
    Error open();

    // The file the movie replaces: the path, or where its link leads.
    const QString &target() const { return m_target; }
    // The file ffmpeg writes to.
    const QString &partial() const { return m_partial; }
    // Another file beside the target for a step's own use, removed with
    // the partial file.
    QString scratch();

    // Takes the written partial file as the movie: it must be there, hold
    // `frames` video frames (where ffprobe is there to count them; -1: any
    // number), and reach the disk; then, unless the stop check says so, it
    // takes the target's name.
    Error commit(int frames);

private:
    Error failed(const QString &detail, const QString &reason = QString()) const;

    const QString m_path;
    const Error::Stage m_stage;
    const QString m_shown;
    QString m_target;
    QString m_partial;
    QStringList m_scratch;
    std::function<bool()> m_stop;
    bool m_replace = true;
};

} // namespace nocta
