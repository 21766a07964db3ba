#pragma once

#include <QImage>
#include <QSize>
#include <QString>
#include <QVector>

#include <memory>

namespace nocta {

namespace quality {
struct NoiseModel;
}

struct QualityOptions
{
    // Frames after a frame that it is averaged with (1 .. MaxRadius);
    // before it, the previous frame and a running average of the scene's
    // frames before that.
    int radius = 2;
    // Scales the noise level measured from the movie (MinStrength ..
    // MaxStrength).
    double strength = 1.0;

    static constexpr int MaxRadius = 7;
    static constexpr double MinStrength = 0.1;
    static constexpr double MaxStrength = 4.0;
};

// The "quality" denoiser of one movie: motion-compensated averaging of
// each frame with its neighbours (the frames before it as one running
// average, moved with the camera), then shrinkage of what noise is left in
// overlapping 8x8 DCT blocks, then a return of dark values to their clean
// level. The noise level as a function of brightness is measured from the
// movie itself (differences between aligned frames of a scene).
//
// Frames are fed in order; output frame i comes back once frame i + radius
// has been fed (or at finish()). Every frame fed gives one output frame of
// the same size (RGB32). A scene cut (the brightness histogram of the
// picture changes in most of its mass) separates neighbours: no frame is
// averaged with a frame of another scene. The output is the same for any
// number of filter threads and any copy of the row kernels.
class QualityFilter
{
public:
    // Why a movie of this frame size cannot be filtered with these options;
    // empty when it can.
    static QString problem(QSize frameSize, const QualityOptions &options);

    // Precondition: problem(frameSize, options) is empty (see
    // filters/precondition.h; unchecked builds filter nothing).
    QualityFilter(QSize frameSize, const QualityOptions &options);
    ~QualityFilter();
    QualityFilter(const QualityFilter &) = delete;
    QualityFilter &operator=(const QualityFilter &) = delete;

    // How many frames an output frame waits for.
    int latency() const;

    // Feeds the next frame (any format; the size given at creation; others
    // are refused with an empty result). Returns the output frames that
    // became ready, oldest first.
    QVector<QImage> push(const QImage &frame);

    // No more frames: returns the outputs still owed, oldest first.
    QVector<QImage> finish();

    // The noise model used for the latest output frame.
    const quality::NoiseModel &noiseModel() const;

private:
    struct State;
    std::unique_ptr<State> m_state;
};

} // namespace nocta
