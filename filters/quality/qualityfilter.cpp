#include "filters/quality/qualityfilter.h"

#include "filters/imageaccess.h"
#include "filters/parallel.h"
#include "filters/precondition.h"
#include "filters/quality/chromaguide.h"
#include "filters/quality/dctshrink.h"
#include "filters/quality/motionsearch.h"
#include "filters/quality/noisemodel.h"
#include "filters/quality/temporalfusion.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <deque>
#include <functional>

namespace nocta {

using namespace quality;

namespace {

constexpr int MinSide = 16;
constexpr int MaxSide = 16384;

// Garrote thresholds, in units of the remaining noise variance (the
// luma's from the mean square of its differences, about a tenth above the
// median's on raw night noise).
constexpr float LumaGain = 9.0f;
constexpr float ChromaGain = 16.0f;

// How flat the luma must be (variance over 3x3 cells, in squared levels)
// for the colour to stop following it.
constexpr float GuideEpsilon = 1.0f;

// How many of the latest frames' noise measurements a scene's model uses.
constexpr int MeasuredFrames = 8;
// Once a scene has that many measurements, only every how many frames it
// is measured again (the model, pooled over many frames, hardly moves).
constexpr int SettledAfter = MeasuredFrames;
constexpr int SettledEvery = 4;

// Up to which radius the float planes of the frames still to come are kept
// from their loading; beyond it each frame keeps its pixels instead (as
// words they take half the memory) and its float planes are made when it
// is produced.
constexpr int FloatsKeptUpTo = 3;

struct Frame
{
    QImage source;   // (float planes to be made)
    FramePlanes planes;
    LumaHistogram histogram{};
    int index = 0;
    int scene = 0;
    Vec toPrevious;   // global motion into the previous frame
};

struct Measurement
{
    int scene = 0;
    bool temporal = false;
    NoiseHistogram histogram;
};

Vec clampVector(Vec v)
{
    return {std::clamp(v.x, -MaxVector, MaxVector), std::clamp(v.y, -MaxVector, MaxVector)};
}

} // namespace

struct QualityFilter::State
{
    QSize size;
    QualityOptions options;
    bool valid = false;
    int fed = 0;
    int emitted = 0;
    std::deque<std::unique_ptr<Frame>> frames;   // consecutive indices
    std::unique_ptr<Frame> spare;
    // Float planes of the frame last produced (only its fixed-point and
    // byte planes are read after that), handed to the next one made.
    std::vector<std::array<PlaneF, 3>> floatPool;
    std::vector<MotionField> fields, previousFields;   // by offset, -radius .. radius
    int previousOutput = -2;
    // The fields that the latest frames produced found against the frames
    // after them (by frame index modulo radius + 1, then distance - 1),
    // reversed for those frames instead of searching again, and the index
    // each set belongs to.
    std::vector<MotionField> ahead;
    std::vector<int> aheadOf;
    std::deque<Measurement> measurements;
    NoiseModel model;
    // The global motion of the latest frame, found beside the block search
    // of the frame being produced until frame motionFrame's is needed.
    std::unique_ptr<BackgroundWork> motionWork;
    int motionFrame = -1;
    // The model that a noise measurement made beside the block search gives.
    NoiseModel measuredModel;
    NoiseMap noiseMap;
    FusedFrame fused;
    ShrinkBuffers shrinkBuffers;
    PlaneF outY, outU, outV;

    Frame &frame(int index) { return *frames[std::size_t(index - frames.front()->index)]; }
    int slot(int offset) const { return offset + options.radius; }
    void takeFloats(FramePlanes &planes)
    {
        if (floatPool.empty())
            return;
        std::array<PlaneF, 3> &set = floatPool.back();
        planes.y = std::move(set[0]);
        planes.u = std::move(set[1]);
        planes.v = std::move(set[2]);
        floatPool.pop_back();
    }
    void add(const QImage &image);
    QImage produce(int index);
    void measure(int index, int other);
    Vec toPrevious(int index)
    {
        if (index == motionFrame)
            settleMotion();
        return frame(index).toPrevious;
    }
    void settleMotion()
    {
        if (motionWork)
            motionWork->wait();
        motionWork.reset();
        motionFrame = -1;
    }
    // The global motion of frame index into frame j of its scene, summed
    // frame by frame (waiting for the latest frame's when j is that frame).
    Vec motionInto(int index, int j)
    {
        Vec g;
        for (int k = index - 1; k >= j; --k) {
            const Vec step = toPrevious(k + 1);
            g = clampVector({g.x + step.x, g.y + step.y});
        }
        for (int k = index + 1; k <= j; ++k) {
            const Vec step = toPrevious(k);
            g = clampVector({g.x - step.x, g.y - step.y});
        }
        return g;
    }
    std::vector<Neighbour> findMotion(int index, int lo, int hi, int measuredAgainst,
                                      const std::function<void(int)> &found);
    // The field of an earlier frame against the one distance after it, if
    // it was found.
    const MotionField *aheadField(int index, int distance) const
    {
        const std::size_t ring = std::size_t(index % (options.radius + 1));
        const MotionField &f = ahead[ring * std::size_t(options.radius) + std::size_t(distance - 1)];
        return aheadOf[ring] == index && !f.vectors.empty() ? &f : nullptr;
    }
    // The field that the frame before index found at this offset, if
    // that frame was the previous one produced.
    const MotionField *predictor(int index, int offset) const
    {
        return previousOutput == index - 1 ? &previousFields[std::size_t(slot(offset))] : nullptr;
    }
};

QString QualityFilter::problem(QSize frameSize, const QualityOptions &options)
{
    if (frameSize.width() < MinSide || frameSize.height() < MinSide)
        return QStringLiteral("frames must be at least %1x%1 pixels").arg(MinSide);
    if (frameSize.width() > MaxSide || frameSize.height() > MaxSide)
        return QStringLiteral("frames must be at most %1x%1 pixels").arg(MaxSide);
    if (options.radius < 1 || options.radius > QualityOptions::MaxRadius)
        return QStringLiteral("the temporal radius must be 1 to %1").arg(QualityOptions::MaxRadius);
    if (!(options.strength >= QualityOptions::MinStrength && options.strength <= QualityOptions::MaxStrength))
        return QStringLiteral("the strength must be %1 to %2")
            .arg(QualityOptions::MinStrength)
            .arg(QualityOptions::MaxStrength);
    return QString();
}

QualityFilter::QualityFilter(QSize frameSize, const QualityOptions &options) : m_state(new State)
{
    m_state->size = frameSize;
    m_state->options = options;
    m_state->valid = detail::precondition(problem(frameSize, options).isEmpty(), Q_FUNC_INFO,
                                          "QualityFilter::problem() is empty");
    m_state->fields.resize(std::size_t(2 * options.radius + 1));
    m_state->previousFields.resize(m_state->fields.size());
    m_state->ahead.resize(std::size_t((options.radius + 1) * options.radius));
    m_state->aheadOf.assign(std::size_t(options.radius + 1), -1);
}

QualityFilter::~QualityFilter() = default;

int QualityFilter::latency() const
{
    return m_state->options.radius;
}

const NoiseModel &QualityFilter::noiseModel() const
{
    return m_state->model;
}

QVector<QImage> QualityFilter::push(const QImage &image)
{
    State &s = *m_state;
    QVector<QImage> ready;
    if (!s.valid || !detail::precondition(image.size() == s.size, Q_FUNC_INFO, "the frame has the movie's size"))
        return ready;
    s.add(image);
    while (s.fed > s.emitted + s.options.radius)
        ready.push_back(s.produce(s.emitted++));
    s.settleMotion();
    while (!s.frames.empty() && s.frames.front()->index < s.emitted - s.options.radius) {
        s.spare = std::move(s.frames.front());
        s.frames.pop_front();
    }
    return ready;
}

QVector<QImage> QualityFilter::finish()
{
    State &s = *m_state;
    QVector<QImage> ready;
    while (s.valid && s.emitted < s.fed)
        ready.push_back(s.produce(s.emitted++));
    return ready;
}

void QualityFilter::State::add(const QImage &image)
{
    std::unique_ptr<Frame> f = spare ? std::move(spare) : std::make_unique<Frame>();
    const bool floats = options.radius <= FloatsKeptUpTo;
    if (floats)
        takeFloats(f->planes);
    else
        f->source = detail::asArgbWords(image);
    loadFramePlanes(floats ? image : f->source, f->planes, floats, &f->histogram);
    f->index = fed++;
    f->scene = 0;
    f->toPrevious = Vec();
    if (!frames.empty()) {
        const Frame &previous = *frames.back();
        const bool cut = isSceneCut(previous.histogram, f->histogram);
        f->scene = previous.scene + (cut ? 1 : 0);
        if (!cut) {
            Frame *current = f.get();
            const Plane8 *earlier = &previous.planes.q8;
            motionWork = std::make_unique<BackgroundWork>(
                [current, earlier] { current->toPrevious = globalMotion(current->planes.q8, *earlier); });
            motionFrame = f->index;
        }
    }
    frames.push_back(std::move(f));
}

// Adds this frame's noise measurement (against frame other: its previous
// frame, else its next one, else itself) and keeps the latest of its scene;
// the model they give goes to measuredModel.
void QualityFilter::State::measure(int index, int other)
{
    Measurement m;
    m.scene = frame(index).scene;
    m.temporal = other != index;
    if (m.temporal)
        measureTemporalNoise(frame(index).planes, frame(other).planes, fields[std::size_t(slot(other - index))],
                             m.histogram);
    else
        measureSpatialNoise(frame(index).planes, m.histogram);
    measurements.push_back(std::move(m));
    while (int(measurements.size()) > MeasuredFrames)
        measurements.pop_front();

    const bool anyTemporal = std::any_of(measurements.begin(), measurements.end(), [&](const Measurement &x) {
        return x.scene == measurements.back().scene && x.temporal;
    });
    NoiseHistogram total;
    for (const Measurement &x : measurements)
        if (x.scene == measurements.back().scene && x.temporal == anyTemporal)
            total.add(x.histogram);
    measuredModel = estimateNoise(total, options.strength);
}

// The fields of frame index against its neighbours lo .. hi: those after
// it searched (and kept for them), those before it reversed from the fields
// those frames found against it, else searched (and the one against the
// previous frame when the frame's noise is measured against it: frame
// measuredAgainst, -1 when not measured). found(j) is called once the
// field against frame j is there. They are found in two parallel passes at
// most: the field that the noise measurement needs (when measured) or
// those that do not need the global motion still being found, then the
// others.
std::vector<Neighbour> QualityFilter::State::findMotion(int index, int lo, int hi, int measuredAgainst,
                                                       const std::function<void(int)> &found)
{
    const int radius = options.radius;
    const int scene = frame(index).scene;
    const FramePlanes &current = frame(index).planes;
    // The noise of the scene so far guides the search; none for a scene's
    // first frame.
    const bool known = !measurements.empty() && measurements.back().scene == scene;
    const float *sigma = known ? model.sigmaY.data() : nullptr;
    const bool measured = measuredAgainst >= 0;
    std::vector<int> order;   // the neighbours' order: nearest earlier first, then the later ones
    for (int j = index - 1; j >= lo; --j)
        order.push_back(j);
    for (int j = index + 1; j <= hi; ++j)
        order.push_back(j);
    std::vector<char> early;
    for (const int j : order)
        early.push_back(measured ? j == measuredAgainst : j != motionFrame);
    auto task = [&](int j) {
        MotionField &field = fields[std::size_t(slot(j - index))];
        // The field that measures the noise is searched: a reversed one
        // misses more of the fine detail that the measurement must avoid.
        const bool searched = j > index || j == measuredAgainst;
        return FieldTask{&frame(j).planes, motionInto(index, j), predictor(index, j - index),
                         searched ? nullptr : aheadField(j, index - j), &field};
    };
    const std::size_t ring = std::size_t(index % (radius + 1));
    aheadOf[ring] = index;
    for (int d = 1; d <= radius; ++d)
        ahead[ring * std::size_t(radius) + std::size_t(d - 1)].vectors.clear();
    for (const char pass : {1, 0}) {
        std::vector<FieldTask> tasks;
        for (std::size_t i = 0; i < order.size(); ++i)
            if (early[i] == pass)
                tasks.push_back(task(order[i]));
        findFields(current, tasks, sigma);
        for (std::size_t i = 0; i < order.size(); ++i)
            if (early[i] == pass)
                found(order[i]);
    }
    std::vector<Neighbour> neighbours;
    for (const int j : order) {
        const MotionField &field = fields[std::size_t(slot(j - index))];
        if (j > index)
            ahead[ring * std::size_t(radius) + std::size_t(j - index - 1)] = field;
        neighbours.push_back({&frame(j).planes, &field});
    }
    return neighbours;
}

QImage QualityFilter::State::produce(int index)
{
    const int radius = options.radius;
    const int scene = frame(index).scene;
    const int first = frames.front()->index, last = frames.back()->index;
    int lo = index, hi = index;
    while (lo > std::max(first, index - radius) && frame(lo - 1).scene == scene)
        --lo;
    while (hi < std::min(last, index + radius) && frame(hi + 1).scene == scene)
        ++hi;

    const auto sceneMeasured = std::count_if(measurements.begin(), measurements.end(),
                                             [&](const Measurement &m) { return m.scene == scene; });
    const bool measured = sceneMeasured < SettledAfter || index % SettledEvery == 0;
    if (Frame &f = frame(index); !f.source.isNull()) {
        takeFloats(f.planes);
        loadFloatPlanes(f.source, f.planes);
        f.source = QImage();
    }
    // The noise is measured beside the searches that follow the one it
    // needs (which use the model as it was).
    const int other = index > lo ? index - 1 : (index < hi ? index + 1 : index);
    std::unique_ptr<BackgroundWork> measuring;
    auto startMeasuring = [&] {
        measuring = std::make_unique<BackgroundWork>([this, index, other] { measure(index, other); });
    };
    if (measured && other == index)
        startMeasuring();
    const std::vector<Neighbour> neighbours = findMotion(index, lo, hi, measured ? other : -1, [&](int j) {
        if (measured && j == other)
            startMeasuring();
    });
    if (measuring) {
        measuring->wait();
        model = measuredModel;
    }
    const FramePlanes &current = frame(index).planes;

    fuseTemporal(current, neighbours, noiseMapInput(current, model, options.strength), noiseMap, fused);
    shrinkPlanes({{&fused.y, &noiseMap.y, &fused.residual, 2, LumaGain, &model.spectrum[0], &outY},
                  {&fused.u, &noiseMap.u, &fused.residual, 1, ChromaGain, &model.spectrum[1], &outU},
                  {&fused.v, &noiseMap.v, &fused.residual, 1, ChromaGain, &model.spectrum[2], &outV}},
                 shrinkBuffers);

    // Fields of offsets this frame did not search are stale for the next.
    for (int d = -radius; d <= radius; ++d)
        if (index + d < lo || index + d > hi)
            fields[std::size_t(slot(d))].vectors.clear();
    std::swap(fields, previousFields);
    previousOutput = index;
    QImage image = guidedFrame(outY, outU, outV, GuideEpsilon, model.unbias);
    FramePlanes &done = frame(index).planes;
    floatPool.push_back({std::move(done.y), std::move(done.u), std::move(done.v)});
    done.y = PlaneF();
    done.u = PlaneF();
    done.v = PlaneF();
    return image;
}

} // namespace nocta
