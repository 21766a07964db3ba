#include "filters/quality/motionsearch.h"

#include "filters/parallel.h"
#include "filters/simd.h"

#include <algorithm>
#include <cstdlib>

#ifdef __x86_64__
#include <immintrin.h>
#endif

namespace nocta::quality {

namespace {

struct SearchInput
{
    const FramePlanes *current;
    const FramePlanes *reference;
    Vec global;
    const MotionField *predictor;
    const float *sigma;
    int blocksWide;
    const MotionField *first;
    const MotionField *then;
};

// Cost of a step away from the guess at each level, in units of the noise
// deviation (sums of absolute differences grow with it).
constexpr float QuarterPenalty = 1.0f;
constexpr float HalfPenalty = 2.0f;
constexpr float FullPenalty = 4.0f;
// A chained block whose sum of absolute differences passes this many noise
// deviations (noise alone gives about 289 over 16x16 pixels) is searched
// as well.
constexpr float ChainGate = 350.0f;

// A full-resolution vector at quarter resolution, rounded and limited.
NOCTA_INLINE Vec quarterOf(Vec v, int limit)
{
    auto q = [limit](int c) { return std::clamp(c >= 0 ? (c + 2) / 4 : -((2 - c) / 4), -limit, limit); };
    return {q(v.x), q(v.y)};
}

// Half of a full-resolution component, rounded down.
constexpr int floorHalf(int c) { return c >= 0 ? c / 2 : -((1 - c) / 2); }

#define NOCTA_KERNELS "filters/quality/motionsearch_kernels.inc"
#include "filters/kernelcopies.h"

} // namespace

void MotionField::reset(int width, int height)
{
    blocksWide = (width + BlockSize - 1) / BlockSize;
    blocksHigh = (height + BlockSize - 1) / BlockSize;
    vectors.assign(std::size_t(blocksWide) * std::size_t(blocksHigh), Vec());
}

void FieldRing::reset(int count, int distances)
{
    m_distances = distances;
    m_fields.assign(std::size_t(count) * std::size_t(distances), MotionField());
    m_indices.assign(std::size_t(count), -1);
}

const MotionField *FieldRing::find(int index, int distance) const
{
    if (index < 0 || distance < 1 || distance > m_distances)
        return nullptr;
    const std::size_t slot = std::size_t(index) % m_indices.size();
    const MotionField &f = m_fields[slot * std::size_t(m_distances) + std::size_t(distance - 1)];
    return m_indices[slot] == index && !f.vectors.empty() ? &f : nullptr;
}

MotionField &FieldRing::keep(int index, int distance)
{
    const std::size_t slot = std::size_t(index) % m_indices.size();
    MotionField *fields = &m_fields[slot * std::size_t(m_distances)];
    if (m_indices[slot] != index) {
        m_indices[slot] = index;
        for (int d = 0; d < m_distances; ++d)
            fields[d].vectors.clear();
    }
    return fields[distance - 1];
}

Vec globalMotion(const Plane8 &currentQ, const Plane8 &previousQ)
{
    // Compared over the middle of the picture, on a sparse grid: first
    // every second vector over the whole range, then its neighbours.
    const int w = currentQ.width, h = currentQ.height;
    const int mx = std::min(16, w / 4), my = std::min(16, h / 4);
    const int step = std::max(1, std::min(w, h) / 64);
    const auto sad = NOCTA_KERNEL(sparseSad);
    const int range = MaxVector / 4 / 2;
    auto cost = [&](int dx, int dy) { return sad(currentQ, previousQ, mx, my, w - mx, h - my, step, dx, dy); };
    Vec best;
    int bestCost = cost(0, 0);
    for (int dy = -range; dy <= range; dy += 2) {
        for (int dx = -range; dx <= range; dx += 2) {
            const int c = cost(dx, dy);
            if (c < bestCost) {
                bestCost = c;
                best = {dx, dy};
            }
        }
    }
    const Vec coarse = best;
    for (int dy = -1; dy <= 1; ++dy) {
        for (int dx = -1; dx <= 1; ++dx) {
            const Vec v{coarse.x + dx, coarse.y + dy};
            if (std::abs(v.x) > range + 1 || std::abs(v.y) > range + 1)
                continue;
            const int c = cost(v.x, v.y);
            if (c < bestCost) {
                bestCost = c;
                best = v;
            }
        }
    }
    return {4 * best.x, 4 * best.y};
}

LumaHistogram lumaHistogram(const Plane8 &q8)
{
    LumaHistogram histogram{};
    for (int y = 0; y < q8.height; ++y) {
        const std::uint8_t *line = q8.row(y);
        for (int x = 0; x < q8.width; ++x)
            ++histogram[line[x] >> 2];
    }
    return histogram;
}

bool isSceneCut(const LumaHistogram &a, const LumaHistogram &b)
{
    long long differ = 0, total = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        differ += std::abs(a[i] - b[i]);
        total += a[i] + b[i];
    }
    return total > 0 && differ * 2 > total;
}

void searchBlocks(const FramePlanes &current, const FramePlanes &reference, Vec global,
                  const MotionField *predictor, const float *sigma, MotionField &field)
{
    findFields(current, {{&reference, global, predictor, nullptr, &field}}, sigma);
}

void invertField(const FramePlanes &current, const FramePlanes &reference, const MotionField &forward,
                 const float *sigma, MotionField &field)
{
    findFields(current, {{&reference, Vec(), nullptr, &forward, &field}}, sigma);
}

void chainFields(const FramePlanes &current, const FramePlanes &reference, const MotionField &first,
                 const MotionField &then, const MotionField *also, Vec global, const float *sigma,
                 MotionField &field)
{
    findFields(current, {{&reference, global, also, nullptr, &field, &first, &then}}, sigma);
}

void findFields(const FramePlanes &current, const std::vector<FieldTask> &tasks, const float *sigma)
{
    if (tasks.empty())
        return;
    // The searches first, so that the pass ends on the shorter rows of the
    // chains and the reversals.
    auto kind = [](const FieldTask &task) { return task.forward ? 2 : (task.then ? 1 : 0); };
    std::vector<const FieldTask *> order;
    for (const int k : {0, 1, 2})
        for (const FieldTask &task : tasks)
            if (kind(task) == k)
                order.push_back(&task);
    std::vector<SearchInput> inputs;
    for (const FieldTask *task : order) {
        const FramePlanes &planes = task->current ? *task->current : current;
        MotionField &field = *task->field;
        field.reset(planes.y8.width, planes.y8.height);
        const MotionField *guide = task->forward ? task->forward : task->predictor;
        if (!task->forward && guide && guide->vectors.size() != field.vectors.size())
            guide = nullptr;
        inputs.push_back({&planes, task->reference, task->global, guide, sigma, field.blocksWide, task->first,
                          task->then});
    }
    const int high = order.front()->field->blocksHigh;
    using RowKernel = void (*)(const SearchInput &, int, Vec *);
    const RowKernel kernels[3] = {NOCTA_KERNEL(searchBlockRow), NOCTA_KERNEL(chainBlockRow),
                                  NOCTA_KERNEL(invertBlockRow)};
    parallelRows(high * int(order.size()), [&](int begin, int end) {
        for (int i = begin; i < end; ++i) {
            const std::size_t k = std::size_t(i / high);
            const int by = i % high;
            MotionField &field = *order[k]->field;
            Vec *row = field.vectors.data() + std::size_t(by) * std::size_t(field.blocksWide);
            kernels[kind(*order[k])](inputs[k], by, row);
        }
    });
}

} // namespace nocta::quality
