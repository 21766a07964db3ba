// libFuzzer target: the frame readers on arbitrary bytes, with
// AddressSanitizer. Built apart from the project (tests/fuzz/CMakeLists.txt,
// clang) from the frame-reading sources alone; scripts/test runs it for a
// minute from the seeds in tests/fuzz/seeds and keeps any input that
// crashes it in tests/fuzz/regressions, which tst_frameio replays.

#include "pipeline/frames/frameio.h"

#include <QByteArray>
#include <QCoreApplication>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    // Image plugins (JPEG) are found through the application; the decoders'
    // warnings would only flood the output.
    static QCoreApplication application(*argc, *argv);
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size));
    const nocta::FrameLoad load = nocta::decodeFrame(bytes);
    if (load.ok() != !load.image.isNull() || load.ok() != load.fault.reason.isEmpty() || load.ok() == bool(load.fault))
        std::abort();
    if (load.ok()) {
        // Every pixel is read: the sanitizer sees any read outside the image.
        const int width = load.image.width();
        volatile std::uint32_t sum = 0;
        for (int y = 0; y < load.image.height(); ++y) {
            const auto *line = reinterpret_cast<const std::uint32_t *>(load.image.constScanLine(y));
            for (int x = 0; x < width; ++x)
                sum = sum + line[x];
        }
        // The same bytes with the size they gave as the one expected.
        if (!nocta::decodeFrame(bytes, load.image.size()).ok())
            std::abort();
    }
    return 0;
}
