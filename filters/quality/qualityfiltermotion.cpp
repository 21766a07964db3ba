// The quality filter's window of frames and their motion: frames come in
// with their global and camera motion, and each frame produced finds the
// fields against its neighbours and the motion that moves its running
// average.

#include "filters/quality/qualitystate.h"

namespace nocta {

using namespace quality;

namespace {

// The global motion of current into the frame before it (before: the
// frames before it in its scene, latest first, all with theirs), and the
// camera's motion of each frame before into current, searched around the
// global motions summed.
void findCameraMotion(Frame &current, const std::vector<const Frame *> &before)
{
    current.toPrevious = globalMotion(current.planes.q8, before.front()->planes.q8);
    current.cameraFrom.clear();
    Vec guess;
    for (std::size_t d = 0; d < before.size(); ++d) {
        const Vec step = d == 0 ? current.toPrevious : before[d - 1]->toPrevious;
        guess = clampVector({guess.x - step.x, guess.y - step.y});
        current.cameraFrom.push_back(cameraMotion(before[d]->planes.y8, current.planes.y8, guess));
    }
}

} // namespace

void QualityFilter::State::add(const QImage &image)
{
    std::unique_ptr<Frame> f = spare ? std::move(spare) : std::make_unique<Frame>();
    loadFramePlanes(image, f->planes, &f->histogram);
    f->index = fed++;
    f->scene = 0;
    f->toPrevious = Vec();
    f->cameraFrom.clear();
    if (!frames.empty()) {
        const Frame &previous = *frames.back();
        const bool cut = isSceneCut(previous.histogram, f->histogram);
        f->scene = previous.scene + (cut ? 1 : 0);
        if (!cut) {
            std::vector<const Frame *> before;   // the frame before first
            for (auto i = frames.rbegin(); i != frames.rend() && (*i)->scene == f->scene; ++i)
                if (int(before.size()) < options.radius)
                    before.push_back(i->get());
            Frame *current = f.get();
            motionWork = std::make_unique<BackgroundWork>([current, before] { findCameraMotion(*current, before); });
            motionFrame = f->index;
        }
    }
    frames.push_back(std::move(f));
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
// the camera's motion against it (at frame index - 1's place) rather than
// by the blocks' own vectors: where noise hides the picture a block's
// vector strays by a pixel, and in a running average such strays would add
// up. Frame index - 1 stays for where the running average does not match.
void QualityFilter::State::addRunning(Vec camera, std::vector<Neighbour> &neighbours)
{
    neighbours.front().inRunning = true;
    const MotionField &shape = fields[std::size_t(slot(-1))];
    cameraField.blocksWide = shape.blocksWide;
    cameraField.blocksHigh = shape.blocksHigh;
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
        toPrevious(j);
        const std::vector<Vec> &found = frame(j).cameraFrom;
        const Vec camera = j - index <= int(found.size()) ? found[std::size_t(j - index - 1)] : motionInto(index, j);
        settleField(frame(index).planes, frame(j).planes, camera, model.sigmaY.data(), field);
        neighbours[k].field = &field;
    }
}

} // namespace nocta
