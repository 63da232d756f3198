#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The handshake and the sender against the simulated module's receiver
// through a channel the input controls, on a manual clock. Returns the
// property that failed, empty when all hold:
// - the sender reports success only when the receiver ended complete
//   holding exactly the image;
// - it ends within its bounds and never writes a block past the image;
// - with a healthy module and a channel that loses and damages nothing it
//   succeeds, whatever the delays, batching and the module's own pace.
std::string check_xmodem_model(const uint8_t *data, size_t size);
