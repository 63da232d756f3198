#include "serial/transport.h"

bool is_supported_rate(int rate)
{
    switch (rate) {
    case 9600:
    case 14400:
    case 19200:
    case 38400:
    case 57600:
    case 115200:
        return true;
    default:
        return false;
    }
}
