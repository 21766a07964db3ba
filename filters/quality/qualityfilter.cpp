#include "filters/quality/qualityfilter.h"

#include "filters/precondition.h"
#include "filters/quality/chromaguide.h"
#include "filters/quality/qualitystate.h"

namespace nocta {

using namespace quality;

namespace {

constexpr int MinSide = 16;
constexpr int MaxSide = 16384;

// Garrote thresholds, in units of the remaining noise variance (the
// luma's from the mean square of its differences, about a tenth above the
// median's on raw night noise).
constexpr float LumaGain = 8.5f;
constexpr float ChromaGain = 4.0f;

// How flat the luma must be (variance over 3x3 cells, in squared levels)
// for the colour to stop following it.
constexpr float GuideEpsilon = 1.0f;

// How many of the latest frames' noise measurements a scene's model uses.
constexpr int MeasuredFrames = 8;
// Once a scene has that many measurements, only every how many frames it
// is measured again (the model, pooled over many frames, hardly moves).
constexpr int SettledAfter = MeasuredFrames;
constexpr int SettledEvery = 4;

} // namespace

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
    // The camera's motion against the running average (at the previous
    // frame's place), found beside the searches.
    Vec camera;
    std::unique_ptr<BackgroundWork> cameraWork;
    if (continues) {
        const Plane8 &y8 = frame(index).planes.y8;
        cameraWork = std::make_unique<BackgroundWork>([&camera, &y8, this, guess = motionInto(index, index - 1)] {
            camera = cameraMotion(y8, running.planes.y8, guess);
        });
    }
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
    if (cameraWork) {
        cameraWork->wait();
        addRunning(camera, neighbours);
    }
    fuseTemporal(current, neighbours, noiseMapInput(current, model, options.strength), noiseMap, fused,
                 &nextRunning);
    std::swap(running, nextRunning);
    runningFrame = index;
    shrinkPlanes({{&fused.y, &noiseMap.y, &fused.residual, 2, LumaGain, &model.spectrum[0], &outY},
                  {&fused.u, &noiseMap.u, &fused.residual, 1, ChromaGain, &model.spectrum[1], &outU},
                  {&fused.v, &noiseMap.v, &fused.residual, 1, ChromaGain, &model.spectrum[2], &outV}},
                 shrinkBuffers);
    // The luma's blocks again, halfway between (the lower half of them
    // after the upper: both blend into the rows they cover).
    for (ShrinkGrid grid : {ShrinkGrid::Halfway, ShrinkGrid::HalfwayLower})
        shrinkPlanes({{&fused.y, &noiseMap.y, &fused.residual, 2, LumaGain, &model.spectrum[0], &outY, grid}},
                     shrinkBuffers);

    // Fields of offsets this frame did not search are stale for the next.
    for (int d = -radius; d <= radius; ++d)
        if (index + d < lo || index + d > hi)
            fields[std::size_t(slot(d))].vectors.clear();
    std::swap(fields, previousFields);
    previousOutput = index;
    return guidedFrame(outY, outU, outV, {&noiseMap.u, &noiseMap.v, &fused.residual}, GuideEpsilon, model.unbias);
}

} // namespace nocta
