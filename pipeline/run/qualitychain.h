#pragma once

#include "filters/quality/qualityfilter.h"

#include <QImage>
#include <QSize>

#include <deque>
#include <memory>
#include <utility>
#include <vector>

namespace nocta {

// The quality mode over a run of a movie's frames. Its filter carries what
// it measured from one frame to the next, so to give the same frame for
// the same movie frame whether a run starts at the movie's first frame or
// somewhere inside it (a part), the movie is cut into chunks of
// ChunkFrames frames, counted from its first, and each chunk is denoised by
// a filter of its own. That filter is fed from WarmUpFrames + radius frames
// before the chunk (its outputs there are dropped; they let it measure the
// noise as it does in the middle of a chunk) to radius frames after it.
// Every frame fed gives exactly one output.
class QualityChain
{
public:
    static constexpr int ChunkFrames = 240;
    static constexpr int WarmUpFrames = 8;

    // The first frame a run must be fed for the output of movie frame
    // `output` to be the one a whole run gives.
    static int firstInput(int output, int radius);

    // A run whose first frame is movie frame firstIndex, which must be
    // firstInput() of its first output wanted.
    QualityChain(QSize frameSize, const QualityOptions &options, int firstIndex);
    ~QualityChain();

    using Output = std::pair<int, QImage>; // movie frame number, denoised frame

    // Feeds the next frame; appends the outputs that became ready, in order.
    void add(const QImage &frame, std::vector<Output> *ready);
    // No more frames: appends the outputs still owed, in order.
    void finish(std::vector<Output> *ready);

private:
    struct Chunk
    {
        int index = 0;       // chunk number
        int firstFed = 0;    // movie frame fed first
        int given = 0;       // outputs given back so far
        std::unique_ptr<QualityFilter> filter;
    };
    int chunkStart(int chunk) const { return chunk * ChunkFrames; }
    void collect(Chunk &chunk, const QVector<QImage> &outputs, std::vector<Output> *ready);

    QSize m_size;
    QualityOptions m_options;
    int m_next;                   // movie number of the next frame fed
    std::deque<Chunk> m_chunks;   // oldest first
};

} // namespace nocta
