#include "pipeline/runsink.h"

#include <iostream>

namespace nocta {

void RunSink::timing(const QString &line)
{
    std::cout << line.toStdString() << '\n';
}

} // namespace nocta
