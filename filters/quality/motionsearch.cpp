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
};

// Cost of a step away from the guess at each level, in units of the noise
// deviation (sums of absolute differences grow with it).
constexpr float QuarterPenalty = 1.0f;
constexpr float HalfPenalty = 2.0f;
constexpr float FullPenalty = 4.0f;

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

void findFields(const FramePlanes &current, const std::vector<FieldTask> &tasks, const float *sigma)
{
    if (tasks.empty())
        return;
    // The searches first, so that the pass ends on the reversals' shorter
    // rows.
    std::vector<const FieldTask *> order;
    for (const bool reversed : {false, true})
        for (const FieldTask &task : tasks)
            if ((task.forward != nullptr) == reversed)
                order.push_back(&task);
    std::vector<SearchInput> inputs;
    for (const FieldTask *task : order) {
        MotionField &field = *task->field;
        field.reset(current.y.width, current.y.height);
        const MotionField *guide = task->forward ? task->forward : task->predictor;
        if (!task->forward && guide && guide->vectors.size() != field.vectors.size())
            guide = nullptr;
        inputs.push_back({&current, task->reference, task->global, guide, sigma, field.blocksWide});
    }
    const int high = order.front()->field->blocksHigh;
    const auto search = NOCTA_KERNEL(searchBlockRow);
    const auto invert = NOCTA_KERNEL(invertBlockRow);
    parallelRows(high * int(order.size()), [&](int begin, int end) {
        for (int i = begin; i < end; ++i) {
            const std::size_t k = std::size_t(i / high);
            const int by = i % high;
            MotionField &field = *order[k]->field;
            Vec *row = field.vectors.data() + std::size_t(by) * std::size_t(field.blocksWide);
            (order[k]->forward ? invert : search)(inputs[k], by, row);
        }
    });
}

} // namespace nocta::quality
