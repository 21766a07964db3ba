#include "pipeline/core/runsink.h"

#include <iostream>

namespace nocta {

int progressPercent(int framesDone, int framesExpected)
{
    const long double index = framesDone + 3;
    const long double count = framesExpected + 4;
    return static_cast<int>(index / count * 100.0L);
}

void RunSink::timing(const QString &line)
{
    std::cout << line.toStdString() << '\n';
}

} // namespace nocta
