#pragma once

#include <QtGlobal>

// The filters state their preconditions in their headers (the processing
// run checks each of them once, before it calls a filter). Debug builds and
// builds with NOCTA_CHECKED (the sanitizer build) end the program with a
// message when one does not hold; other builds let the filter refuse the
// call quietly (a null image, or nothing written).
#if !defined(QT_NO_DEBUG) || defined(NOCTA_CHECKED)
#define NOCTA_CHECKS_PRECONDITIONS 1
#endif

namespace nocta::detail {

// Returns holds, after ending the program when it is false in a checked
// build.
inline bool precondition(bool holds, const char *function, const char *what)
{
#ifdef NOCTA_CHECKS_PRECONDITIONS
    if (!holds)
        qFatal("%s: precondition failed: %s", function, what);
#else
    Q_UNUSED(function);
    Q_UNUSED(what);
#endif
    return holds;
}

} // namespace nocta::detail
