#include "pipeline/frames/framelist.h"

#include <QDir>

#include <algorithm>

namespace nocta {

namespace {

bool isDigit(QChar c)
{
    return c >= QLatin1Char('0') && c <= QLatin1Char('9');
}

} // namespace

bool naturalLess(const QString &a, const QString &b)
{
    int i = 0, j = 0;
    const int na = a.size(), nb = b.size();
    while (i < na && j < nb) {
        if (isDigit(a[i]) && isDigit(b[j])) {
            // Compare two runs of digits by their number: skip leading
            // zeros, then the longer run is the larger number, and runs of
            // one length compare digit by digit.
            int ei = i, ej = j;
            while (ei < na && isDigit(a[ei]))
                ++ei;
            while (ej < nb && isDigit(b[ej]))
                ++ej;
            int si = i, sj = j;
            while (si < ei - 1 && a[si] == QLatin1Char('0'))
                ++si;
            while (sj < ej - 1 && b[sj] == QLatin1Char('0'))
                ++sj;
            if (ei - si != ej - sj)
                return ei - si < ej - sj;
            for (int k = 0; k < ei - si; ++k)
                if (a[si + k] != b[sj + k])
                    return a[si + k] < b[sj + k];
            // Same number: fewer leading zeros first, then go on.
            if (ei - i != ej - j)
                return ei - i < ej - j;
            i = ei;
            j = ej;
            continue;
        }
        const QChar ca = a[i].toLower(), cb = b[j].toLower();
        if (ca != cb)
            return ca.unicode() < cb.unicode();
        ++i;
        ++j;
    }
    if ((i < na) != (j < nb))
        return j < nb;
    // Equal but for letter case: keep a stable, total order.
    return a < b;
}

QFileInfoList listFrames(const QString &directory)
{
    QDir dir(directory);
    if (!dir.exists())
        return {};
    QFileInfoList entries = dir.entryInfoList(QDir::Files | QDir::NoDotAndDotDot, QDir::Unsorted);
    // QDir lists a link to a FIFO or a device among the files: only what
    // is, or links to, a regular file can be a frame.
    entries.erase(std::remove_if(entries.begin(), entries.end(), [](const QFileInfo &e) { return !e.isFile(); }),
                  entries.end());
    std::sort(entries.begin(), entries.end(), [](const QFileInfo &x, const QFileInfo &y) {
        return naturalLess(x.fileName(), y.fileName());
    });
    return entries;
}

QString frameName(const QFileInfo &entry)
{
    return entry.baseName();
}

} // namespace nocta
