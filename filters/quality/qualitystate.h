#pragma once

// The quality filter's state between frames, shared by its sources: the
// window of frames with their motion (qualityfiltermotion.cpp) and the
// noise model and the stages (qualityfilter.cpp).

#include "filters/parallel.h"
#include "filters/quality/dctshrink.h"
#include "filters/quality/motionsearch.h"
#include "filters/quality/noisemodel.h"
#include "filters/quality/qualityfilter.h"
#include "filters/quality/temporalfusion.h"

#include <algorithm>
#include <deque>
#include <functional>
#include <memory>
#include <vector>

namespace nocta {

namespace quality {

struct Frame
{
    FramePlanes planes;
    LumaHistogram histogram{};
    int index = 0;
    int scene = 0;
    Vec toPrevious;   // global motion into the previous frame
    // The camera's motion from frame index - d - 1 of the scene into this
    // one at d (found with toPrevious, up to the filter's radius).
    std::vector<Vec> cameraFrom;
};

struct Measurement
{
    int scene = 0;
    bool temporal = false;
    NoiseHistogram histogram;
};

inline Vec clampVector(Vec v)
{
    return {std::clamp(v.x, -MaxVector, MaxVector), std::clamp(v.y, -MaxVector, MaxVector)};
}

} // namespace quality

struct QualityFilter::State
{
    using Frame = quality::Frame;
    using FieldRing = quality::FieldRing;
    using FusedFrame = quality::FusedFrame;
    using Measurement = quality::Measurement;
    using MotionField = quality::MotionField;
    using Neighbour = quality::Neighbour;
    using NoiseMap = quality::NoiseMap;
    using NoiseModel = quality::NoiseModel;
    using PlaneF = quality::PlaneF;
    using RunningAverage = quality::RunningAverage;
    using ShrinkBuffers = quality::ShrinkBuffers;
    using Vec = quality::Vec;

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
    // The global motion of the latest frame and the camera's motion of the
    // frames before it into it (see Frame), found beside the block search
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
            g = quality::clampVector({g.x + step.x, g.y + step.y});
        }
        for (int k = index + 1; k <= j; ++k) {
            const Vec step = toPrevious(k);
            g = quality::clampVector({g.x - step.x, g.y - step.y});
        }
        return g;
    }
    std::vector<Neighbour> findMotion(int index, int lo, int hi, int measuredAgainst,
                                      const std::function<void(int)> &found);
    void addRunning(Vec camera, std::vector<Neighbour> &neighbours);
    void settle(int index, int lo, std::vector<Neighbour> &neighbours);
    // The field that the frame before index found at this offset, if
    // that frame was the previous one produced.
    const MotionField *predictor(int index, int offset) const
    {
        return previousOutput == index - 1 ? &previousFields[std::size_t(slot(offset))] : nullptr;
    }
};

} // namespace nocta
