// The plans made before ffmpeg starts, in process: the encode plan (its
// checks, the encoder's arguments and the label join compares), the decode
// of a span (where it seeks), the parts' ranges and labels, and join's
// checks of the labels.

#include "pipeline/movie/decodeplan.h"
#include "pipeline/movie/encodeplan.h"
#include "pipeline/movie/moviejoin.h"
#include "pipeline/movie/partplan.h"
#include "testsupport.h"

#include <QTemporaryDir>
#include <QtTest>

using namespace nocta;
using namespace nocta::test;

Q_DECLARE_METATYPE(nocta::Error::Kind)
Q_DECLARE_METATYPE(nocta::Error)

namespace {

// "h265 crf=22 preset=slow bitrate=8M fps=30 window nosound" into settings.
EncodeSettings settingsOf(const QString &words)
{
    EncodeSettings settings;
    for (const QString &word : words.split(' ', Qt::SkipEmptyParts)) {
        const QString key = word.section('=', 0, 0), value = word.section('=', 1);
        if (key == "h265")
            settings.codec = EncodeSettings::Codec::H265;
        else if (key == "ffv1")
            settings.codec = EncodeSettings::Codec::Ffv1;
        else if (key == "crf")
            settings.crf = value.toInt();
        else if (key == "preset")
            settings.preset = value;
        else if (key == "bitrate")
            settings.bitrate = value;
        else if (key == "fps")
            settings.fps = value;
        else if (key == "window")
            settings.likeWindow = true;
        else if (key == "nosound")
            settings.audio = false;
    }
    return settings;
}

MovieInfo movie25(int frames)
{
    MovieInfo info;
    info.width = 64;
    info.height = 48;
    info.rateNum = 25;
    info.frames = frames;
    return info;
}

} // namespace

Q_DECLARE_METATYPE(nocta::DenoiseMode)

class TestPlans : public QObject
{
    Q_OBJECT

private slots:
    void encodePlan_data();
    void encodePlan();
    void probe_data();
    void probe();
    void decodePlan_data();
    void decodePlan();
    void partRange_data();
    void partRange();
    void partPlanLabelsWhatJoinReads_data();
    void partPlanLabelsWhatJoinReads();
    void joinPlan_data();
    void joinPlan();
    void errorLines_data();
    void errorLines();

private:
    // Labels of parts of one movie, split in `count`, made alike.
    QList<PartLabel> labels(int count, const QString &movie);

    QTemporaryDir m_dir;
};

void TestPlans::encodePlan_data()
{
    QTest::addColumn<QString>("settings");
    QTest::addColumn<QString>("output");
    QTest::addColumn<Error::Kind>("refusal");
    QTest::addColumn<QString>("arguments");   // the encoder's, for a 64x47 frame
    QTest::addColumn<QString>("label");       // the middle of the label

    const auto ok = Error::Kind::None;
    const QString pad = " -vf pad=ceil(iw/2)*2:ceil(ih/2)*2";
    QTest::newRow("defaults") << "" << "o.mp4" << ok << "-c:v libx264 -preset medium -crf 18 -pix_fmt yuv420p" + pad
                              << "codec=h264;crf=18;preset=medium;bitrate=;fps=;like-window=no;sound=yes";
    QTest::newRow("H.265 in MP4") << "h265" << "o.MP4" << ok
                                  << "-c:v libx265 -preset medium -crf 20 -pix_fmt yuv420p -x265-params log-level=error -tag:v hvc1" + pad
                                  << "codec=h265;crf=20;preset=medium;";
    QTest::newRow("H.265 in Matroska") << "h265 crf=30 preset=slow" << "o.mkv" << ok
                                       << "-c:v libx265 -preset slow -crf 30 -pix_fmt yuv420p -x265-params log-level=error" + pad
                                       << "codec=h265;crf=30;preset=slow;";
    QTest::newRow("bit rate") << "bitrate=8M fps=30 nosound" << "o.mov" << ok
                              << "-c:v libx264 -preset medium -b:v 8M -pix_fmt yuv420p" + pad
                              << "crf=;preset=medium;bitrate=8M;fps=30/1;like-window=no;sound=no";
    QTest::newRow("decimal rate") << "fps=29.97" << "o.mkv" << ok << "-c:v libx264 -preset medium -crf 18 -pix_fmt yuv420p" + pad
                                  << "bitrate=;fps=2997/100;like-window=no;";
    QTest::newRow("FFV1") << "ffv1" << "o.mkv" << ok << "-c:v ffv1 -level 3 -pix_fmt bgr0"
                          << "codec=ffv1;crf=;preset=;bitrate=;";
    QTest::newRow("like the window") << "window" << "o.mp4" << ok << "-c:v libx264 -b:v 7500k -pix_fmt yuv420p" + pad
                                     << "codec=h264;crf=;preset=;bitrate=;fps=;like-window=yes;";
    QTest::newRow("window and a codec") << "window h265" << "o.mp4" << Error::Kind::WindowFixesEncoding << "" << "";
    QTest::newRow("window and a rate") << "window fps=30" << "o.mp4" << Error::Kind::WindowFixesEncoding << "" << "";
    QTest::newRow("FFV1 and a quality") << "ffv1 crf=3" << "o.mkv" << Error::Kind::LosslessTakesNoQuality << "" << "";
    QTest::newRow("FFV1 in MP4") << "ffv1" << "o.mp4" << Error::Kind::LosslessNeedsMatroska << "" << "";
    QTest::newRow("quality and bit rate") << "crf=20 bitrate=8M" << "o.mp4" << Error::Kind::QualityAndBitrate << "" << "";
    QTest::newRow("quality too high") << "crf=52" << "o.mp4" << Error::Kind::QualityOutOfRange << "" << "";
    QTest::newRow("unknown preset") << "preset=quick" << "o.mp4" << Error::Kind::UnknownPreset << "" << "";
    QTest::newRow("no suffix") << "" << "movie" << Error::Kind::NoContainer << "" << "";
    QTest::newRow("text suffix") << "" << "notes.txt" << Error::Kind::NoContainer << "" << "";
}

// Each setting lands in the encoder's arguments and in the label; settings
// that do not go together are refused in the pipeline's words, which name
// no option of a front end.
void TestPlans::encodePlan()
{
    QFETCH(QString, settings);
    QFETCH(QString, output);
    QFETCH(Error::Kind, refusal);
    QFETCH(QString, arguments);
    QFETCH(QString, label);
    EncodePlan plan;
    const Error error = EncodePlan::resolve(settingsOf(settings), output, &plan);
    QCOMPARE(error.kind, refusal);
    if (error) {
        QVERIFY2(!error.text().isEmpty() && !error.text().contains("--"), qPrintable(error.text()));
        return;
    }
    QCOMPARE(plan.videoArguments(64, 47).join(' '), arguments);
    QVERIFY(!plan.videoArguments(64, 48).contains("-vf"));
    const QString text = plan.label("fuzzy", 64, 48);
    QVERIFY2(text.startsWith("mode=fuzzy;") && text.contains(label) && text.endsWith(";size=64x48"), qPrintable(text));
    QCOMPARE(plan.rate("25/1"), settings.contains("window") ? QString("29") : plan.fps.isEmpty() ? QString("25/1") : plan.fps);
}

void TestPlans::probe_data()
{
    QTest::addColumn<QString>("video");    // the video stream's fields in ffprobe's JSON
    QTest::addColumn<QString>("rate");     // empty: no video
    QTest::addColumn<int>("frames");
    QTest::addColumn<QString>("shape");    // the frames as shown: size and pixel shape

    const QString size = R"("codec_type": "video", "width": 64, "height": 48, )";
    const QString rate = R"("r_frame_rate": "25/1", "nb_frames": "9")";
    QTest::newRow("counted") << size + R"("r_frame_rate": "30000/1001", "nb_frames": "90")" << "30000/1001" << 90
                             << "64x48 1:1";
    QTest::newRow("fine time base") << size + R"("r_frame_rate": "1000/1", "avg_frame_rate": "25/1", "duration": "2.0")"
                                    << "25/1" << 50 << "64x48 1:1";
    QTest::newRow("nothing known") << size + R"("duration": "-1")" << "25/1" << -1 << "64x48 1:1";
    QTest::newRow("no picture") << R"("codec_type": "video", "width": 0, "height": 48)" << "" << -1 << "";
    QTest::newRow("wide pixels") << size + rate + R"(, "sample_aspect_ratio": "32:22")" << "25/1" << 9 << "64x48 16:11";
    QTest::newRow("pixel shape unknown") << size + rate + R"(, "sample_aspect_ratio": "0:1")" << "25/1" << 9 << "64x48 1:1";
    QTest::newRow("a quarter turn") << size + rate + R"(, "sample_aspect_ratio": "4:3", "side_data_list": [{"rotation": 90}])"
                                    << "25/1" << 9 << "48x64 3:4";
    QTest::newRow("a quarter turn back") << size + rate + R"(, "side_data_list": [{"rotation": -90}])" << "25/1" << 9
                                         << "48x64 1:1";
    QTest::newRow("a half turn") << size + rate + R"(, "side_data_list": [{"rotation": -180}])" << "25/1" << 9
                                 << "64x48 1:1";
}

// What ffprobe says becomes the rate the frames come at and their count.
void TestPlans::probe()
{
    QFETCH(QString, video);
    QFETCH(QString, rate);
    QFETCH(int, frames);
    QFETCH(QString, shape);
    const QByteArray json = QStringLiteral(R"({"streams": [{"index": 0, %1},
        {"index": 1, "codec_type": "audio", "codec_name": "aac"}], "format": {}})").arg(video).toUtf8();
    MovieInfo info;
    const Error error = movieInfoFromProbe("m.mp4", json, &info);
    QCOMPARE(bool(error), rate.isEmpty());
    if (error)
        return;
    QCOMPARE(info.rateText(), rate);
    QCOMPARE(info.frames, frames);
    QCOMPARE(QStringLiteral("%1x%2 %3:%4").arg(info.width).arg(info.height).arg(info.sarNum).arg(info.sarDen), shape);
    QCOMPARE(info.others.size(), 1);
}

void TestPlans::decodePlan_data()
{
    QTest::addColumn<int>("first");
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("keyframes");   // where a seek lands: 0 on the frame asked for, k > 0 the next multiple of k
    QTest::addColumn<int>("lead");
    QTest::addColumn<QString>("seek");    // the input seek; empty: none
    QTest::addColumn<QString>("limit");   // -frames:v; empty: none

    QTest::newRow("whole movie") << 0 << -1 << 0 << 0 << "" << "";
    QTest::newRow("near the start, read through") << 3 << 10 << 0 << 3 << "" << "13";
    QTest::newRow("further in, seeks one frame back") << 20 << 10 << 0 << 4 << "0.600000" << "14";
    QTest::newRow("to the end") << 20 << -1 << 0 << 4 << "0.600000" << "";
    QTest::newRow("late keyframes, seeks further back") << 40 << 8 << 16 << 4 << "1.280000" << "12";
    QTest::newRow("no seek lands early enough") << 20 << 8 << 16 << 4 << "" << "12";
}

// A span is decoded from a grid started four frames before it, by a seek
// that lands before the grid's start, or from the start.
void TestPlans::decodePlan()
{
    QFETCH(int, first);
    QFETCH(int, count);
    QFETCH(int, keyframes);
    QFETCH(int, lead);
    QFETCH(QString, seek);
    QFETCH(QString, limit);
    const SeekProbe probe = [keyframes](qint64 from) {
        return keyframes == 0 ? from : (from + keyframes - 1) / keyframes * keyframes;
    };
    const DecodePlan plan = planDecode("/m.mkv", movie25(100), FrameSpan{first, count}, probe);
    QCOMPARE(plan.lead, lead);
    const QStringList &a = plan.arguments;
    const int input = a.indexOf("-i");
    const int inputSeek = a.indexOf("-ss");
    QCOMPARE(inputSeek >= 0 && inputSeek < input ? a.at(inputSeek + 1) : QString(), seek);
    const int frames = a.indexOf("-frames:v");
    QCOMPARE(frames >= 0 ? a.at(frames + 1) : QString(), limit);
    QCOMPARE(a.contains("-copyts"), first > 4);
    QVERIFY(a.endsWith("pipe:1"));
}

void TestPlans::partRange_data()
{
    QTest::addColumn<int>("outputs");
    QTest::addColumn<int>("index");
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("first");
    QTest::addColumn<int>("end");

    QTest::newRow("one part") << 40 << 1 << 1 << 0 << -1;
    QTest::newRow("first of three") << 40 << 1 << 3 << 0 << 13;
    QTest::newRow("middle of three") << 40 << 2 << 3 << 13 << 26;
    QTest::newRow("last runs to the end") << 40 << 3 << 3 << 26 << -1;
    QTest::newRow("a frame a part") << 7 << 4 << 7 << 3 << 4;
    QTest::newRow("no overflow") << 2000000000 << 2 << 3 << 666666666 << 1333333333;
}

void TestPlans::partRange()
{
    QFETCH(int, outputs);
    QFETCH(int, index);
    QFETCH(int, count);
    QFETCH(int, first);
    QFETCH(int, end);
    const FrameRange range = nocta::partRange(outputs, PartSpec{index, count});
    QCOMPARE(range.first, first);
    QCOMPARE(range.end, end);
    PartSpec parsed;
    QVERIFY(parsePartSpec(QStringLiteral("%1/%2").arg(index).arg(count), &parsed));
    QCOMPARE(parsed.index, index);
    QVERIFY(!parsePartSpec(QStringLiteral("%1/%2").arg(count + 1).arg(count), &parsed));
}

void TestPlans::partPlanLabelsWhatJoinReads_data()
{
    QTest::addColumn<DenoiseMode>("mode");
    QTest::addColumn<int>("radius");        // quality
    QTest::addColumn<int>("frames");        // the movie's
    QTest::addColumn<int>("part");          // of 3
    QTest::addColumn<QList<int>>("plan");   // range first, end; decoded first, count
    QTest::addColumn<int>("shift");
    QTest::addColumn<QString>("settings");  // how the label's settings start

    QTest::newRow("standard") << DenoiseMode::Standard << 2 << 44 << 2 << QList<int>{13, 26, 13, 13 + 4} << 2
                              << "mode=standard;codec=ffv1;";
    // The quality mode keeps every frame; its chain starts afresh every 240
    // frames, from 8 + radius frames before.
    QTest::newRow("quality, first chunk") << DenoiseMode::Quality << 2 << 44 << 2 << QList<int>{14, 29, 0, 31} << 0
                                          << "mode=quality;radius=2;strength=1;codec=ffv1;";
    QTest::newRow("quality, later chunk") << DenoiseMode::Quality << 3 << 900 << 2
                                          << QList<int>{300, 600, 240 - 8 - 3, 603 - 229} << 0
                                          << "mode=quality;radius=3;strength=1;codec=ffv1;";
}

// A part decodes the frames its chain needs around its range, and its
// label reads back as what join checks: the part, its range, the window,
// the rate.
void TestPlans::partPlanLabelsWhatJoinReads()
{
    QFETCH(DenoiseMode, mode);
    QFETCH(int, radius);
    QFETCH(int, frames);
    QFETCH(int, part);
    QFETCH(QList<int>, plan);
    QFETCH(int, shift);
    QFETCH(QString, settings);
    const QString movie = m_dir.filePath("night.mkv");
    QVERIFY(writeFile(movie, "not really a movie"));
    EncodePlan encode;
    QVERIFY(!EncodePlan::resolve(settingsOf("ffv1"), "p.mkv", &encode));
    QualityOptions quality;
    quality.radius = radius;
    PartPlan planned;
    QVERIFY(!planPart(PartJob{movie, PartSpec{part, 3}, mode, encode, quality}, movie25(frames), &planned));
    QCOMPARE((QList<int>{planned.range.first, planned.range.end, planned.frames.first, planned.frames.count}), plan);

    QMap<QString, QString> tags;
    for (const QString &tag : planned.tags)
        tags.insert(tag.section('=', 0, 0), tag.section('=', 1));
    PartLabel label;
    QVERIFY(!partLabelFromTags("p.mkv", tags, &label));
    QCOMPARE(label.part.index, part);
    QCOMPARE(label.range.end, plan.at(1));
    QCOMPARE(label.window.shift(), shift);
    QCOMPARE(label.window.radius, radius);
    QCOMPARE(label.rate, QString("25/1"));
    QVERIFY2(label.settings.startsWith(settings), qPrintable(label.settings));

    const Error tooMany = planPart(PartJob{movie, PartSpec{1, 41}, DenoiseMode::Fuzzy, encode, {}}, movie25(44), &planned);
    QVERIFY(tooMany.text().contains("40 denoised frames, too few for 41 parts"));
    QCOMPARE(partLabelFromTags("p.mkv", {}, &label).kind, Error::Kind::NotAPart);
}

QList<PartLabel> TestPlans::labels(int count, const QString &movie)
{
    QList<PartLabel> parts;
    for (int k = 1; k <= count; ++k) {
        PartLabel label;
        label.path = QStringLiteral("/parts/%1.mkv").arg(k);
        label.part = PartSpec{k, count};
        label.range = nocta::partRange(40, label.part);
        movieIdentity(movie, &label.source);
        label.sourcePath = movie;
        label.settings = "mode=fuzzy;codec=ffv1";
        label.rate = "25/1";
        label.streams = QStringList{"audio"};
        parts << label;
    }
    return parts;
}

void TestPlans::joinPlan_data()
{
    QTest::addColumn<QString>("change");     // what differs from three parts made alike
    QTest::addColumn<QString>("refusal");    // empty: joined
    QTest::addColumn<QString>("source");     // the plan's stream source, when joined

    QTest::newRow("made alike, out of order") << "reverse" << "" << "movie";
    QTest::newRow("one missing") << "drop 2" << "part 2 of 3 is missing" << "";
    QTest::newRow("one twice") << "twice 2" << "part 2 of 3 is given twice" << "";
    QTest::newRow("another split") << "split" << "different splits" << "";
    QTest::newRow("another movie") << "source" << "parts of different movies" << "";
    QTest::newRow("other settings") << "settings" << "different settings (mode fuzzy against standard)" << "";
    QTest::newRow("another rate") << "rate" << "different settings (rate 25/1 against 30/1)" << "";
    QTest::newRow("ranges planned apart") << "range" << "where frames 13 on were due" << "";
    QTest::newRow("movie gone") << "gone" << "is not there" << "";
    QTest::newRow("movie gone, sound not wanted") << "gone nosound" << "" << "";
    QTest::newRow("frames timed anew") << "gone retimed" << "" << "";
}

void TestPlans::joinPlan()
{
    QFETCH(QString, change);
    QFETCH(QString, refusal);
    QFETCH(QString, source);
    const QString movie = m_dir.filePath("source.mkv");
    QVERIFY(writeFile(movie, "the movie's bytes"));
    QList<PartLabel> parts = labels(3, movie);
    if (change == "reverse")
        std::reverse(parts.begin(), parts.end());
    if (change == "drop 2")
        parts.removeAt(1);
    if (change == "twice 2")
        parts.insert(1, parts.at(1));
    if (change == "split")
        parts[1].part.count = 2;
    if (change == "source")
        parts[2].source = "other";
    if (change == "settings")
        parts[2].settings = "mode=standard;codec=ffv1";
    if (change == "rate")
        parts[1].rate = "30/1";
    if (change == "range")
        parts[1].range.first = 14;
    for (PartLabel &part : parts) {
        if (change.contains("gone"))
            part.sourcePath = m_dir.filePath("gone.mkv");
        part.retimed = change.contains("retimed");
    }

    JoinPlan plan;
    const Error error = planJoin(parts, QString(), !change.contains("nosound"), &plan);
    if (!refusal.isEmpty()) {
        QVERIFY2(error && error.text().contains(refusal) && !error.text().contains("--"), qPrintable(error.text()));
        return;
    }
    QVERIFY2(!error, qPrintable(error.text()));
    QCOMPARE(plan.parts.size(), 3);
    QCOMPARE(plan.parts.first().part.index, 1);
    QCOMPARE(plan.streamSource, source.isEmpty() ? QString() : movie);
}

void TestPlans::errorLines_data()
{
    QTest::addColumn<Error>("error");
    QTest::addColumn<QString>("line");

    const auto stage = Error::Stage::Processing;
    QTest::newRow("failed") << Error::failed(Error::Stage::Encoding, "the new movie cannot be read", "Invalid data")
                            << " - Encoding failed: the new movie cannot be read (Invalid data).";
    QTest::newRow("stopped") << Error::stopped(stage) << " - Processing stopped.";
    QTest::newRow("stopped by a frame") << Error{stage, Error::Kind::Stopped, "007.bmp is 20x12", {}, {}}
                                        << " - Processing stopped: 007.bmp is 20x12";
    QTest::newRow("no frames") << Error{stage, Error::Kind::NoFrames, {}, {}, "screens"}
                               << " - No frames to process in screens/";
}

// The console lines of the window and the command line.
void TestPlans::errorLines()
{
    QFETCH(Error, error);
    QFETCH(QString, line);
    QCOMPARE(error.line(), line);
    QCOMPARE(bool(error), error.kind != Error::Kind::None);
}

QTEST_GUILESS_MAIN(TestPlans)
#include "tst_plans.moc"
