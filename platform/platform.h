#pragma once

// The small layer between the tool and the operating system, by concern:
// the serial ports and their devices, the process and its console, and the
// firmware image opened as raw bytes.

#include "platform/console.h"
#include "platform/image_file.h"
#include "platform/ports.h"
