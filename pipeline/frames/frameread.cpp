#include "pipeline/frames/frameio.h"

#include "filters/imageaccess.h"
#include "pipeline/frames/bmpread.h"

#include <QBuffer>
#include <QFile>
#include <QImageReader>

#include <cerrno>
#include <cstring>
#include <functional>
#include <new>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace nocta {

namespace {

using detail::frameFailure;

bool readFailed(const QIODevice &device)
{
    const auto *file = qobject_cast<const QFileDevice *>(&device);
    return file && file->error() == QFileDevice::ReadError;
}

// A JPEG decoder fills the missing part of a cut-short file with gray and
// reports success. Entropy-coded data never holds a marker, so a whole file
// has its end-of-image mark (FF D9) after the start of its last scan
// (FF DA); a cut-short one has not.
bool jpegEnds(const QByteArray &bytes)
{
    const int lastScan = bytes.lastIndexOf(QByteArray("\xFF\xDA", 2));
    const int end = bytes.lastIndexOf(QByteArray("\xFF\xD9", 2));
    return lastScan >= 0 && end > lastScan;
}

// Any format but BMP: Qt's readers, with the header's size checked before
// the pixels are decoded.
FrameLoad readWithQt(QIODevice &device, QSize expectedSize)
{
    QByteArray whole;
    QBuffer buffer;
    QIODevice *source = &device;
    QImageReader probe(&device);
    if (probe.format() == "jpeg") {
        // Read whole to find its end mark; JPEG files are small.
        if (!device.seek(0))
            return frameFailure(FrameLoad::Unreadable, device.errorString());
        whole = device.readAll();
        if (readFailed(device))
            return frameFailure(FrameLoad::Unreadable, device.errorString());
        buffer.setBuffer(&whole);
        buffer.open(QIODevice::ReadOnly);
        source = &buffer;
    }
    if (!source->seek(0))
        return frameFailure(FrameLoad::Unreadable, source->errorString());

    QImageReader reader(source);
    if (!reader.canRead())
        return frameFailure(FrameLoad::NotAnImage, QStringLiteral("not an image"));
    const QSize claimed = reader.size();
    if (claimed.isValid()) {
        FrameLoad sized = detail::checkFrameSize(claimed.width(), claimed.height(), expectedSize);
        if (!sized.ok())
            return sized;
    }
    if (source == &buffer && !jpegEnds(whole))
        return frameFailure(FrameLoad::Damaged, QStringLiteral("truncated: the JPEG data has no end mark"));
    QImage image;
    if (!reader.read(&image)) {
        if (readFailed(device))
            return frameFailure(FrameLoad::Unreadable, device.errorString());
        if (claimed.isValid() && QImage(claimed, QImage::Format_ARGB32).isNull())
            return frameFailure(FrameLoad::OutOfMemory, QStringLiteral("no memory for a frame of %1x%2")
                                                            .arg(claimed.width()).arg(claimed.height()));
        return frameFailure(FrameLoad::Damaged, reader.errorString());
    }
    // Formats that tell no size before decoding are checked now.
    FrameLoad sized = detail::checkFrameSize(image.width(), image.height(), expectedSize);
    if (!sized.ok())
        return sized;
    return FrameLoad{FrameLoad::Ok, image, Fault()};
}

FrameLoad readFrom(QIODevice &device, qint64 size, QSize expectedSize)
{
    char magic[2];
    const qint64 got = device.peek(magic, 2);
    if (got < 0)
        return frameFailure(FrameLoad::Unreadable, device.errorString());
    if (got == 0)
        return frameFailure(FrameLoad::NotAnImage, QStringLiteral("empty file"));
    FrameLoad load = got == 2 && magic[0] == 'B' && magic[1] == 'M' ? detail::readBmp(device, size, expectedSize)
                                                                     : readWithQt(device, expectedSize);
    if (load.ok()) {
        load.image = detail::asFrameFormat(load.image);
        if (load.image.isNull())
            return frameFailure(FrameLoad::OutOfMemory, QStringLiteral("no memory to convert the frame"));
    }
    return load;
}

FrameLoad guarded(const std::function<FrameLoad()> &read)
{
    try {
        return read();
    } catch (const std::bad_alloc &) {
        return frameFailure(FrameLoad::OutOfMemory, QStringLiteral("out of memory"));
    }
}

} // namespace

FrameLoad readFrame(const QString &path, QSize expectedSize)
{
    return guarded([&] {
        if (path.isEmpty())
            return frameFailure(FrameLoad::Unreadable, QStringLiteral("no file name"));
        QFile file;
#ifdef Q_OS_UNIX
        // Only regular files are frames. A FIFO or a device is refused
        // before it is opened (opening a FIFO waits for a writer), and the
        // file is opened without waiting and checked again, in case it was
        // replaced in between.
        const QByteArray name = QFile::encodeName(path);
        struct stat info;
        if (stat(name.constData(), &info) != 0)
            return frameFailure(FrameLoad::Unreadable, QString::fromLocal8Bit(std::strerror(errno)));
        if (!S_ISREG(info.st_mode))
            return frameFailure(FrameLoad::Unreadable, QStringLiteral("not a regular file"));
        const int fd = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd < 0)
            return frameFailure(FrameLoad::Unreadable, QString::fromLocal8Bit(std::strerror(errno)));
        if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
            ::close(fd);
            return frameFailure(FrameLoad::Unreadable, QStringLiteral("not a regular file"));
        }
        if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
            ::close(fd);
            return frameFailure(FrameLoad::Unreadable, file.errorString());
        }
#else
        file.setFileName(path);
        if (!file.open(QIODevice::ReadOnly))
            return frameFailure(FrameLoad::Unreadable, file.errorString());
#endif
        return readFrom(file, file.size(), expectedSize);
    });
}

FrameLoad decodeFrame(const QByteArray &bytes, QSize expectedSize)
{
    return guarded([&] {
        QByteArray data = bytes;
        QBuffer buffer(&data);
        buffer.open(QIODevice::ReadOnly);
        return readFrom(buffer, data.size(), expectedSize);
    });
}

QImage loadFrame(const QString &path)
{
    return readFrame(path).image;
}

} // namespace nocta
