// nocta-quality-tool: the quality filter and the two chains over raw rgb24
// frames (stdin to stdout), the synthetic night clips that the quality
// script scores them on, and the scores.
//
//   nocta-quality-tool degrade W H [--seed N] [--darken F] --clean FILE  < daylight.rgb > noisy.rgb
//   nocta-quality-tool quality W H [--radius R] [--strength S] [--threads T] < noisy.rgb > out.rgb
//   nocta-quality-tool standard|fuzzy W H [--threads T] < noisy.rgb > out.rgb   (n - 4 frames: source 2 .. n-3)
//   nocta-quality-tool score W H CLEAN.rgb TEST.rgb [--offset N]   (TEST frame i against CLEAN frame i + N)
//   nocta-quality-tool errors W H CLEAN.rgb TEST.rgb [--offset N] [--map FILE]
//       where the error lies: its share and PSNR on still and moving, flat
//       and edge pixels of the clean frames; --map writes each frame's error
//       as grey bytes (8 x its root mean square over R, G, B)
//
// The filter's time (without reading and writing) goes to standard error.

#include "filters/fuzzy/denoisefuzzy.h"
#include "filters/fuzzy/prefilterframe.h"
#include "filters/parallel.h"
#include "filters/quality/noisemodel.h"
#include "filters/quality/qualityfilter.h"
#include "filters/quality/qualityplanes.h"
#include "filters/standard/denoisestandard.h"
#include "filters/standard/smoothframe.h"
#include "nightclip.h"

#include <QElapsedTimer>
#include <QImage>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

namespace {

struct Args
{
    std::vector<std::string> positional;
    double get(const char *name, double fallback) const
    {
        for (std::size_t i = 0; i + 1 < options.size(); ++i)
            if (options[i] == name)
                return std::stod(options[i + 1]);
        return fallback;
    }
    std::string text(const char *name) const
    {
        for (std::size_t i = 0; i + 1 < options.size(); ++i)
            if (options[i] == name)
                return options[i + 1];
        return {};
    }
    std::vector<std::string> options;
};

bool readFrame(std::FILE *in, int w, int h, QImage &image)
{
    image = QImage(w, h, QImage::Format_RGB888);
    for (int y = 0; y < h; ++y)
        if (std::fread(image.scanLine(y), 1, std::size_t(3 * w), in) != std::size_t(3 * w))
            return false;
    return true;
}

void writeFrame(std::FILE *out, const QImage &frame)
{
    const QImage rgb = frame.convertToFormat(QImage::Format_RGB888);
    for (int y = 0; y < rgb.height(); ++y)
        std::fwrite(rgb.constScanLine(y), 1, std::size_t(3 * rgb.width()), out);
}

struct Timer
{
    QElapsedTimer clock;
    qint64 nanos = 0;
    int frames = 0;
    void report(const char *what) const
    {
        const double seconds = nanos / 1e9;
        std::fprintf(stderr, "%s: %d frames, filter %.3f s, %.2f ms/frame, %.1f frames/s\n", what, frames, seconds,
                     frames ? 1e3 * seconds / frames : 0.0, seconds > 0 ? frames / seconds : 0.0);
    }
};

int runQuality(int w, int h, const Args &args)
{
    nocta::QualityOptions options;
    options.radius = int(args.get("--radius", 2));
    options.strength = args.get("--strength", 1.0);
    const QString problem = nocta::QualityFilter::problem(QSize(w, h), options);
    if (!problem.isEmpty()) {
        std::fprintf(stderr, "%s\n", qPrintable(problem));
        return 2;
    }
    nocta::QualityFilter filter(QSize(w, h), options);
    Timer timer;
    QImage frame;
    auto deliver = [&](const QVector<QImage> &ready) {
        for (const QImage &out : ready) {
            writeFrame(stdout, out);
            ++timer.frames;
        }
    };
    while (readFrame(stdin, w, h, frame)) {
        timer.clock.start();
        const QVector<QImage> ready = filter.push(frame);
        timer.nanos += timer.clock.nsecsElapsed();
        deliver(ready);
    }
    timer.clock.start();
    const QVector<QImage> rest = filter.finish();
    timer.nanos += timer.clock.nsecsElapsed();
    deliver(rest);
    timer.report("quality");
    const auto &model = filter.noiseModel();
    std::fprintf(stderr, "noise: shot %.3g read %.3g (red %.3g, green %.3g, blue %.3g); luma sigma at 16/64/128: "
                 "%.2f %.2f %.2f\n", model.shot, model.read, model.channelRead[0], model.channelRead[1],
                 model.channelRead[2], model.sigmaY[16], model.sigmaY[64], model.sigmaY[128]);
    return 0;
}

int runChain(int w, int h, bool fuzzy)
{
    Timer timer;
    std::deque<QImage> smoothed;
    std::deque<nocta::CompactFramePlanes> planes;
    QImage frame;
    while (readFrame(stdin, w, h, frame)) {
        timer.clock.start();
        QImage out;
        if (fuzzy) {
            planes.emplace_back(w, h);
            nocta::prefilterFrame(1, frame.convertToFormat(QImage::Format_RGB32), planes.back());
            if (planes.size() == 5) {
                out = nocta::denoiseFuzzy(planes[0], planes[1], planes[2], planes[3], planes[4], w, h);
                planes.pop_front();
            }
        } else {
            smoothed.push_back(nocta::smoothFrame(frame.convertToFormat(QImage::Format_RGB32)));
            if (smoothed.size() == 5) {
                out = nocta::denoiseStandard(smoothed[0], smoothed[1], smoothed[2], smoothed[3], smoothed[4]);
                smoothed.pop_front();
            }
        }
        timer.nanos += timer.clock.nsecsElapsed();
        if (!out.isNull()) {
            writeFrame(stdout, out);
            ++timer.frames;
        }
    }
    timer.report(fuzzy ? "fuzzy" : "standard");
    return 0;
}

int runDegrade(int w, int h, const Args &args)
{
    const std::string cleanPath = args.text("--clean");
    std::FILE *clean = cleanPath.empty() ? nullptr : std::fopen(cleanPath.c_str(), "wb");
    if (!clean) {
        std::fprintf(stderr, "degrade needs --clean FILE\n");
        return 2;
    }
    nocta::bench::NightNoise noise(unsigned(args.get("--seed", 1)), args.get("--darken", 0.12));
    QImage frame;
    while (readFrame(stdin, w, h, frame)) {
        QImage dark, noisy;
        noise.apply(frame, dark, noisy);
        writeFrame(clean, dark);
        writeFrame(stdout, noisy);
    }
    std::fclose(clean);
    return 0;
}

int runScore(int w, int h, const Args &args)
{
    if (args.positional.size() < 5)
        return 2;
    std::FILE *ref = std::fopen(args.positional[3].c_str(), "rb");
    std::FILE *test = std::fopen(args.positional[4].c_str(), "rb");
    if (!ref || !test)
        return 2;
    const int offset = int(args.get("--offset", 0));
    QImage a, b;
    for (int i = 0; i < offset; ++i)
        readFrame(ref, w, h, a);
    nocta::bench::Score score;
    while (readFrame(ref, w, h, a) && readFrame(test, w, h, b))
        score.add(a, b);
    std::printf("%.2f %.4f %d\n", score.psnr(), score.ssim(), score.frames);
    return 0;
}

// The clean luma of every frame of a raw rgb24 file.
std::vector<std::vector<float>> lumaFrames(std::FILE *in, int w, int h, int skip)
{
    std::vector<std::vector<float>> frames;
    QImage image;
    for (int i = 0; readFrame(in, w, h, image); ++i) {
        if (i < skip)
            continue;
        std::vector<float> luma(std::size_t(w) * std::size_t(h));
        for (int y = 0; y < h; ++y) {
            const uchar *p = image.constScanLine(y);
            for (int x = 0; x < w; ++x, p += 3)
                luma[std::size_t(y) * std::size_t(w) + std::size_t(x)] =
                    nocta::quality::KR * p[0] + nocta::quality::KG * p[1] + nocta::quality::KB * p[2];
        }
        frames.push_back(std::move(luma));
    }
    return frames;
}

// A pixel moves when its clean luma differs by more than Threshold levels
// from the frame before or after within Reach pixels; it lies on an edge
// when its clean luma differs by more than Threshold across it.
constexpr float Threshold = 6.0f;
constexpr int Reach = 3;

// Class of each pixel of frame t (bit 1: moving, bit 0: edge).
std::vector<int> pixelClasses(const std::vector<std::vector<float>> &luma, std::size_t t, int w, int h)
{
    auto at = [w](const std::vector<float> &f, int x, int y) { return f[std::size_t(y) * std::size_t(w) + std::size_t(x)]; };
    std::vector<char> changed(std::size_t(w) * std::size_t(h), 0);
    for (std::size_t o : {t - 1, t + 1})
        if (o < luma.size())
            for (std::size_t i = 0; i < changed.size(); ++i)
                changed[i] |= std::fabs(luma[t][i] - luma[o][i]) > Threshold;
    std::vector<int> classes(changed.size(), 0);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            bool moving = false;
            for (int dy = -Reach; dy <= Reach && !moving; ++dy)
                for (int dx = -Reach; dx <= Reach && !moving; ++dx)
                    moving = changed[std::size_t(qBound(0, y + dy, h - 1)) * std::size_t(w) + std::size_t(qBound(0, x + dx, w - 1))];
            const int l = qMax(0, x - 1), r = qMin(w - 1, x + 1), u = qMax(0, y - 1), d = qMin(h - 1, y + 1);
            const bool edge = qMax(std::fabs(at(luma[t], r, y) - at(luma[t], l, y)), std::fabs(at(luma[t], x, d) - at(luma[t], x, u))) > Threshold;
            classes[std::size_t(y) * std::size_t(w) + std::size_t(x)] = (moving ? 2 : 0) + (edge ? 1 : 0);
        }
    }
    return classes;
}

int runErrors(int w, int h, const Args &args)
{
    if (args.positional.size() < 5)
        return 2;
    std::FILE *ref = std::fopen(args.positional[3].c_str(), "rb");
    std::FILE *test = std::fopen(args.positional[4].c_str(), "rb");
    const std::string mapPath = args.text("--map");
    std::FILE *map = mapPath.empty() ? nullptr : std::fopen(mapPath.c_str(), "wb");
    if (!ref || !test || (!mapPath.empty() && !map))
        return 2;
    const std::vector<std::vector<float>> luma = lumaFrames(ref, w, h, int(args.get("--offset", 0)));
    std::rewind(ref);
    QImage a, b;
    for (int i = 0; i < int(args.get("--offset", 0)); ++i)
        readFrame(ref, w, h, a);
    double error[4] = {}, pixels[4] = {};
    std::vector<uchar> grey(std::size_t(w) * std::size_t(h));
    for (std::size_t t = 0; t < luma.size() && readFrame(ref, w, h, a) && readFrame(test, w, h, b); ++t) {
        const std::vector<int> classes = pixelClasses(luma, t, w, h);
        for (int y = 0; y < h; ++y) {
            const uchar *p = a.constScanLine(y), *q = b.constScanLine(y);
            for (int x = 0; x < w; ++x) {
                double e = 0;
                for (int c = 0; c < 3; ++c)
                    e += double(p[3 * x + c] - q[3 * x + c]) * double(p[3 * x + c] - q[3 * x + c]);
                const std::size_t i = std::size_t(y) * std::size_t(w) + std::size_t(x);
                error[classes[i]] += e;
                pixels[classes[i]] += 1;
                grey[i] = uchar(qMin(255.0, 8.0 * std::sqrt(e / 3)));
            }
        }
        if (map)
            std::fwrite(grey.data(), 1, grey.size(), map);
    }
    if (map)
        std::fclose(map);
    const double total = error[0] + error[1] + error[2] + error[3], all = pixels[0] + pixels[1] + pixels[2] + pixels[3];
    const char *names[4] = {"still flat", "still edge", "moving flat", "moving edge"};
    std::printf("pixels   class        share of pixels  share of error  PSNR dB\n");
    for (int k = 0; k < 4; ++k) {
        const double psnr = error[k] > 0 ? 10 * std::log10(255.0 * 255.0 * 3 * pixels[k] / error[k]) : 99.0;
        std::printf("%-8.0f %-12s %15.3f %15.3f %8.2f\n", pixels[k], names[k], all > 0 ? pixels[k] / all : 0.0,
                    total > 0 ? error[k] / total : 0.0, psnr);
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    Args args;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--", 2) == 0 && i + 1 < argc) {
            args.options.push_back(argv[i]);
            args.options.push_back(argv[++i]);
        } else {
            args.positional.push_back(argv[i]);
        }
    }
    if (args.positional.size() < 3) {
        std::fprintf(stderr, "usage: nocta-quality-tool degrade|quality|standard|fuzzy|score|errors W H ...\n");
        return 2;
    }
    const std::string mode = args.positional[0];
    const int w = std::stoi(args.positional[1]), h = std::stoi(args.positional[2]);
    nocta::setFilterThreads(int(args.get("--threads", 0)));
    if (mode == "quality")
        return runQuality(w, h, args);
    if (mode == "standard" || mode == "fuzzy")
        return runChain(w, h, mode == "fuzzy");
    if (mode == "degrade")
        return runDegrade(w, h, args);
    if (mode == "score")
        return runScore(w, h, args);
    if (mode == "errors")
        return runErrors(w, h, args);
    std::fprintf(stderr, "unknown mode %s\n", mode.c_str());
    return 2;
}
