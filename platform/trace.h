#pragma once

#include <QLoggingCategory>

// The diagnostic trace ("prot name = ", "send cmd = ", ...): developer
// output, never shown in the window. QT_LOGGING_RULES="tessik.trace=false"
// silences it.
Q_DECLARE_LOGGING_CATEGORY(trace)
