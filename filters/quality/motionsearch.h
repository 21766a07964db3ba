#pragma once

#include "filters/quality/qualityplanes.h"

#include <array>
#include <vector>

namespace nocta::quality {

struct Vec
{
    int x = 0;
    int y = 0;
};

// Motion is searched for blocks of 16x16 pixels: the vector of a block
// says where its content lies in the reference frame (in full-resolution
// pixels, each component within MaxVector).
constexpr int BlockSize = 16;

struct MotionField
{
    int blocksWide = 0;
    int blocksHigh = 0;
    std::vector<Vec> vectors;

    void reset(int width, int height);
    Vec at(int bx, int by) const { return vectors[std::size_t(by) * std::size_t(blocksWide) + std::size_t(bx)]; }
};

// Fields kept by frame index, for distances 1 .. distances, in slots
// reused by index modulo their count: keeping a field for an index that a
// slot does not hold yet drops the fields of the index it held.
class FieldRing
{
public:
    void reset(int count, int distances);
    // The field kept for index at distance, or null.
    const MotionField *find(int index, int distance) const;
    MotionField &keep(int index, int distance);

private:
    int m_distances = 0;
    std::vector<MotionField> m_fields;
    std::vector<int> m_indices;
};

// Displacement of the whole picture of current in previous (where the
// content of current lies in previous), from the quarter-resolution luma.
Vec globalMotion(const Plane8 &currentQ, const Plane8 &previousQ);

// The displacement of the whole picture of current in reference to the
// pixel, within 3 pixels of guess (globalMotion's, in steps of 4 pixels):
// the one with the least sum of absolute luma differences over the
// picture, found on every fourth row among the even steps around guess,
// then on every second row among the steps around the best of those. On
// a dark noisy picture few blocks find the motion of the camera to the
// pixel, while the picture as a whole does; the less noisy reference is,
// the surer (a running average is the best).
Vec cameraMotion(const Plane8 &current, const Plane8 &reference, Vec guess);

// Sets the vector of each block of field (current against reference) that
// matches reference no better than camera does by more than noise explains
// (sigma: the luma's noise deviation by brightness) to camera: where noise
// hides the picture, a block's vector strays from the true motion.
void settleField(const FramePlanes &current, const FramePlanes &reference, Vec camera, const float *sigma,
                 MotionField &field);

// A histogram of the quarter-resolution luma; two frames whose histograms
// differ in more than half of their mass are taken for different scenes.
using LumaHistogram = std::array<int, 64>;
LumaHistogram lumaHistogram(const Plane8 &q8);
bool isSceneCut(const LumaHistogram &a, const LumaHistogram &b);

// Block matching of current against reference, coarse to fine (quarter,
// half and full resolution). Each block starts from the best of three
// guesses: no motion, the global motion, and the block's vector in
// predictor (the field of the previous frame against the neighbour at the
// same distance; may be null). Each step away from a guess must gain in
// proportion to the noise deviation that sigma (256 values by brightness;
// may be null: none) gives.
void searchBlocks(const FramePlanes &current, const FramePlanes &reference, Vec global,
                  const MotionField *predictor, const float *sigma, MotionField &field);

// The field of current against reference from that of reference against
// current (forward, found by searchBlocks): each block takes the reverse
// of a vector of forward near it, refined by one step at full resolution:
// about half the work of a search.
void invertField(const FramePlanes &current, const FramePlanes &reference, const MotionField &forward,
                 const float *sigma, MotionField &field);

// The field of current against a frame two or more ahead from a chain of
// fields: first (current against the frame before reference) followed by
// then (that frame against reference). Each block starts from the best of
// the chained vector (first's, then then's at the place it leads to),
// also's vector (may be null) and global, the first on a tie, and takes
// the best vector within one step of it at full resolution, as a reversal
// does. A block that stays further off than the noise that sigma gives
// explains (with no sigma: any block) is searched as well, as searchBlocks
// with also for predictor does, and keeps the better of the two vectors.
// On steady footage about half the work of a search.
void chainFields(const FramePlanes &current, const FramePlanes &reference, const MotionField &first,
                 const MotionField &then, const MotionField *also, Vec global, const float *sigma,
                 MotionField &field);

// One field for findFields: reversed from forward when that is not null
// (invertField), else chained from first and then when then is not null
// (chainFields, also in predictor), else searched with global and
// predictor (searchBlocks). current, when not null, stands in for the
// pass's frame.
struct FieldTask
{
    const FramePlanes *reference = nullptr;
    Vec global;
    const MotionField *predictor = nullptr;
    const MotionField *forward = nullptr;
    MotionField *field = nullptr;
    const MotionField *first = nullptr;
    const MotionField *then = nullptr;
    const FramePlanes *current = nullptr;
};

// The fields of current against several references in one parallel pass:
// the same fields as searchBlocks, chainFields and invertField one after
// the other.
void findFields(const FramePlanes &current, const std::vector<FieldTask> &tasks, const float *sigma);

} // namespace nocta::quality
