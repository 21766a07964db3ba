#include "filters/quality/qualityfilter.h"

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

struct Frame
{
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
    std::vector<MotionField> fields, previousFields;   // by offset, -radius .. radius
    int previousOutput = -2;
    // The fields that the latest frames produced found against the frames
    // after them (reversed for those frames instead of searching again),
    // and the fields of frames against the next ones, searched as soon as
    // both frames are loaded.
    FieldRing ahead, steps;
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
    // The running average of the scene's frames up to runningFrame, the
    // one the next frame makes, and the field that moves it.
    RunningAverage running, nextRunning;
    int runningFrame = -1;
    MotionField cameraField;
    // The fields that the fusion reads (see settle).
    std::vector<MotionField> settledFields;
    ShrinkBuffers shrinkBuffers;
    PlaneF outY, outU, outV;

    Frame &frame(int index) { return *frames[std::size_t(index - frames.front()->index)]; }
    int slot(int offset) const { return offset + options.radius; }
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
    void addRunning(int index, std::vector<Neighbour> &neighbours);
    void settle(int index, int lo, std::vector<Neighbour> &neighbours);
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
    m_state->ahead.reset(options.radius + 1, options.radius);
    m_state->steps.reset(options.radius + 1, 1);
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
    // Frames before the latest output are in its running average.
    while (!s.frames.empty() && s.frames.front()->index < s.emitted - 1) {
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
    loadFramePlanes(image, f->planes, &f->histogram);
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

// The fields of frame index against its neighbours lo .. hi: those before
// it reversed from the fields those frames found against it (else
// searched, as is the one against the frame its noise is measured against:
// frame measuredAgainst, -1 when not measured), the one against the next
// frame searched (by the frame before when it could: each frame searches
// the pair of its last two neighbours), those further ahead chained from
// the field one frame nearer and the next pair's. found(j) is called once
// the field against frame j is there. Passes: the field the noise
// measurement needs, those that do not need the global motion still being
// found, the others, then the chains one distance after another.
std::vector<Neighbour> QualityFilter::State::findMotion(int index, int lo, int hi, int measuredAgainst,
                                                       const std::function<void(int)> &found)
{
    // The noise of the scene so far guides the search; none for a scene's
    // first frame.
    const bool known = !measurements.empty() && measurements.back().scene == frame(index).scene;
    const float *sigma = known ? model.sigmaY.data() : nullptr;
    const bool measured = measuredAgainst >= 0;
    struct Job
    {
        int phase, from, to;   // the field of frame from against frame to
        const MotionField *predictor;
    };
    std::vector<Job> jobs;
    for (int j = index - 1; j >= lo; --j)
        jobs.push_back({j == measuredAgainst ? 0 : 1, index, j, predictor(index, j - index)});
    // A pair's search starts from the pair before's field if that was
    // there before this frame.
    for (int k = index; k < hi; ++k)
        if (!steps.find(k, 1))
            jobs.push_back({k + 1 == measuredAgainst ? 0 : (!measured && k + 1 == motionFrame ? 2 : 1), k, k + 1,
                            steps.find(k - 1, 1)});
    for (int j = index + 2; j <= hi; ++j)
        jobs.push_back({j - index + 1, index, j, predictor(index, j - index)});
    auto nextFound = [&] {
        fields[std::size_t(slot(1))] = *steps.find(index, 1);
        found(index + 1);
    };
    if (hi > index && steps.find(index, 1))
        nextFound();
    for (int phase = 0; phase <= options.radius + 1; ++phase) {
        std::vector<FieldTask> tasks;
        for (const Job &job : jobs) {
            if (job.phase != phase)
                continue;
            const int d = job.to - job.from;
            FieldTask t{&frame(job.to).planes, motionInto(job.from, job.to), job.predictor,
                        d < 0 && job.to != measuredAgainst ? ahead.find(job.to, -d) : nullptr,
                        d == 1 ? &steps.keep(job.from, 1) : &fields[std::size_t(slot(d))]};
            t.current = &frame(job.from).planes;
            if (d > 1)
                t.first = &fields[std::size_t(slot(d - 1))], t.then = steps.find(job.to - 1, 1);
            tasks.push_back(t);
        }
        findFields(frame(index).planes, tasks, sigma);
        for (const Job &job : jobs)
            if (job.phase == phase && job.from == index)
                job.to == index + 1 ? nextFound() : found(job.to);
    }
    std::vector<Neighbour> neighbours;
    for (int j = index - 1; j >= lo; --j)
        neighbours.push_back({&frame(j).planes, &fields[std::size_t(slot(j - index))]});
    for (int j = index + 1; j <= hi; ++j) {
        ahead.keep(index, j - index) = fields[std::size_t(slot(j - index))];
        neighbours.push_back({&frame(j).planes, &fields[std::size_t(slot(j - index))]});
    }
    return neighbours;
}

// Puts the running average of the frames before index first among its
// neighbours (from findMotion: frame index - 1 first), moved as a whole by
// the camera's motion against frame index - 1 rather than by the blocks'
// own vectors: where noise hides the picture a block's vector strays by a
// pixel, and in a running average such strays would add up. Frame
// index - 1 stays for where the running average does not match.
void QualityFilter::State::addRunning(int index, std::vector<Neighbour> &neighbours)
{
    neighbours.front().inRunning = true;
    const MotionField &shape = fields[std::size_t(slot(-1))];
    cameraField.blocksWide = shape.blocksWide;
    cameraField.blocksHigh = shape.blocksHigh;
    const Vec camera = refineMotion(shape, motionInto(index, index - 1));
    cameraField.vectors.assign(shape.vectors.size(), camera);
    neighbours.insert(neighbours.begin(), Neighbour{&running.planes, &cameraField, &running.counts});
}

// Moves the neighbours after index (from findMotion: frames index - 1
// down to lo, then index + 1 on) by the camera's motion in the blocks whose
// own vector matches no better than noise explains (see settleField), in
// copies: the fields stay as found for the searches of the next frames.
// The frame before is left alone: where the running average does not
// match, something moves.
void QualityFilter::State::settle(int index, int lo, std::vector<Neighbour> &neighbours)
{
    settledFields.resize(neighbours.size());
    const int before = index - lo;
    for (std::size_t k = std::size_t(before); k < neighbours.size(); ++k) {
        const int j = index + 1 + int(k) - before;
        MotionField &field = settledFields[k];
        field = *neighbours[k].field;
        const Vec camera = refineMotion(field, motionInto(index, j));
        settleField(frame(index).planes, frame(j).planes, camera, model.sigmaY.data(), field);
        neighbours[k].field = &field;
    }
}

QImage QualityFilter::State::produce(int index)
{
    const int radius = options.radius;
    const int scene = frame(index).scene;
    const int first = frames.front()->index, last = frames.back()->index;
    int lo = index, hi = index;
    while (lo > std::max(first, index - radius) && frame(lo - 1).scene == scene)
        --lo;
    // The running average of the frames before stands for all but the
    // previous one.
    const bool continues = lo < index && runningFrame == index - 1;
    if (continues)
        lo = index - 1;
    while (hi < std::min(last, index + radius) && frame(hi + 1).scene == scene)
        ++hi;

    const auto sceneMeasured = std::count_if(measurements.begin(), measurements.end(),
                                             [&](const Measurement &m) { return m.scene == scene; });
    const bool measured = sceneMeasured < SettledAfter || index % SettledEvery == 0;
    // The noise is measured beside the searches that follow the one it
    // needs (which use the model as it was).
    const int other = index > lo ? index - 1 : (index < hi ? index + 1 : index);
    std::unique_ptr<BackgroundWork> measuring;
    auto startMeasuring = [&] {
        measuring = std::make_unique<BackgroundWork>([this, index, other] { measure(index, other); });
    };
    if (measured && other == index)
        startMeasuring();
    std::vector<Neighbour> neighbours = findMotion(index, lo, hi, measured ? other : -1, [&](int j) {
        if (measured && j == other)
            startMeasuring();
    });
    if (measuring) {
        measuring->wait();
        model = measuredModel;
    }
    const FramePlanes &current = frame(index).planes;

    // Before a scene's noise is measured, there is no telling a vector from
    // noise.
    if (!measurements.empty() && measurements.back().scene == scene)
        settle(index, lo, neighbours);
    if (continues)
        addRunning(index, neighbours);
    fuseTemporal(current, neighbours, noiseMapInput(current, model, options.strength), noiseMap, fused,
                 &nextRunning);
    std::swap(running, nextRunning);
    runningFrame = index;
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
    return guidedFrame(outY, outU, outV, GuideEpsilon, model.unbias);
}

} // namespace nocta
