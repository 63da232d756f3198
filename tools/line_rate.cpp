#include "line_rate.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

unsigned lineRate(int fd)
{
    struct termios2 tio {};
    if (ioctl(fd, TCGETS2, &tio) != 0)
        return 0;
    return tio.c_ospeed;
}

bool setLineRate(int fd, unsigned baud)
{
    struct termios2 tio {};
    if (ioctl(fd, TCGETS2, &tio) != 0)
        return false;
    tio.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
    tio.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    tio.c_ispeed = baud;
    tio.c_ospeed = baud;
    return ioctl(fd, TCSETS2, &tio) == 0;
}
