#include "platform/trace.h"

Q_LOGGING_CATEGORY(trace, "tessik.trace")
