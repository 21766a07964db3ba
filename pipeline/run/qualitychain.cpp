#include "pipeline/run/qualitychain.h"

#include <algorithm>

namespace nocta {

int QualityChain::firstInput(int output, int radius)
{
    const int start = output / ChunkFrames * ChunkFrames;
    return std::max(0, start - WarmUpFrames - radius);
}

QualityChain::QualityChain(QSize frameSize, const QualityOptions &options, int firstIndex)
    : m_size(frameSize), m_options(options), m_next(firstIndex)
{
}

QualityChain::~QualityChain() = default;

void QualityChain::collect(Chunk &chunk, const QVector<QImage> &outputs, std::vector<Output> *ready)
{
    const int start = chunkStart(chunk.index);
    const int end = chunkStart(chunk.index + 1);
    for (const QImage &image : outputs) {
        const int frame = chunk.firstFed + chunk.given++;
        if (frame >= start && frame < end)
            ready->emplace_back(frame, image);
    }
}

void QualityChain::add(const QImage &frame, std::vector<Output> *ready)
{
    const int index = m_next++;
    const int radius = m_options.radius;
    // A chunk's filter starts with the first frame it is fed: the movie's
    // first frame, or that of the next chunk's warm-up.
    const int own = index / ChunkFrames;
    for (const int chunk : {own, own + 1}) {
        if (index == firstInput(chunkStart(chunk), radius))
            m_chunks.push_back(Chunk{chunk, index, 0, std::make_unique<QualityFilter>(m_size, m_options)});
    }
    for (Chunk &chunk : m_chunks)
        collect(chunk, chunk.filter->push(frame), ready);
    // A filter goes once it has given the last frame of its chunk.
    while (!m_chunks.empty()
           && m_chunks.front().firstFed + m_chunks.front().given >= chunkStart(m_chunks.front().index + 1))
        m_chunks.pop_front();
}

void QualityChain::finish(std::vector<Output> *ready)
{
    for (Chunk &chunk : m_chunks)
        collect(chunk, chunk.filter->finish(), ready);
    m_chunks.clear();
}

} // namespace nocta
