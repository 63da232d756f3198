// The handshake and the sender against the simulated module's receiver over
// a channel the fuzzer controls (see xmodem_model.h for the properties).

#include "xmodem_model.h"

#include <QLoggingCategory>
#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    QLoggingCategory::setFilterRules(QStringLiteral("tessik.trace.debug=false"));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string failed = check_xmodem_model(data, size);
    if (!failed.empty()) {
        std::fprintf(stderr, "fuzz_xmodem_model: %s\n", failed.c_str());
        std::abort();
    }
    return 0;
}
