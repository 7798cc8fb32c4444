#include "portmap_posix.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int portmap_number(const char *name)
{
    if (strncmp(name, "COM", 3) != 0) return -1;
    const char *d = name + 3;
    size_t n = strlen(d);
    if (n == 0 || n > 3 || d[0] == '0') return -1;
    int v = 0;
    for (size_t i = 0; i < n; i++) {
        if (d[i] < '0' || d[i] > '9') return -1;
        v = v * 10 + (d[i] - '0');
    }
    return v;
}

bool portmap_device_path(const char *name, char *out, size_t outLen)
{
    int n = portmap_number(name);
    if (n < 1) return false;
    int w;
    const char *dir = getenv("VELKOR_PORTS");
    if (dir) w = snprintf(out, outLen, "%s/COM%d", dir, n);
    else if (n < 100) w = snprintf(out, outLen, "/dev/ttyS%d", n - 1);
    else if (n < 200) w = snprintf(out, outLen, "/dev/ttyUSB%d", n - 100);
    else if (n < 300) w = snprintf(out, outLen, "/dev/ttyACM%d", n - 200);
    else return false;
    return w > 0 && (size_t)w < outLen;
}
