#include "portmap_posix.h"

#include "posix_config.h"

#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

enum Family { linuxNames, freebsdNames, openbsdNames, netbsdNames, macosNames, noNames };

#if VELKOR_PORTS_LINUX
const Family family = linuxNames;
#elif VELKOR_PORTS_FREEBSD
const Family family = freebsdNames;
#elif VELKOR_PORTS_OPENBSD
const Family family = openbsdNames;
#elif VELKOR_PORTS_NETBSD
const Family family = netbsdNames;
#elif VELKOR_PORTS_MACOS
const Family family = macosNames;
#else
const Family family = noNames;
#endif

// The numbered maps: COM<first + i> is <prefix><i>, i written with at least
// `width` digits.  Every family's ranges are here, so that all of them are
// compiled on any system.
struct Range {
    Family family;
    int first;
    int count;
    const char *prefix;
    int width;
};

const Range ranges[] = {
    {linuxNames, 1, 99, "/dev/ttyS", 1},    {linuxNames, 100, 100, "/dev/ttyUSB", 1},
    {linuxNames, 200, 100, "/dev/ttyACM", 1},
    {freebsdNames, 1, 99, "/dev/cuau", 1},  {freebsdNames, 100, 100, "/dev/cuaU", 1},
    {openbsdNames, 1, 99, "/dev/cua", 2},   {openbsdNames, 100, 100, "/dev/cuaU", 1},
    {netbsdNames, 1, 99, "/dev/dty", 2},    {netbsdNames, 100, 100, "/dev/dtyU", 1},
};

bool formatDevice(const Range &r, int number, char *out, size_t outLen)
{
    int w = snprintf(out, outLen, "%s%0*d", r.prefix, r.width, number - r.first);
    return w > 0 && (size_t)w < outLen;
}

// The names of the built-in Bluetooth ports and debug consoles macOS puts
// beside the serial lines among its call-out devices.
bool isSerialCallout(const char *name)
{
    if (strncmp(name, "cu.", 3) != 0 || name[3] == 0) return false;
    const char *const notSerial[] = {"Bluetooth", "BLTH", "debug"};
    for (const char *word : notSerial)
        if (strstr(name, word)) return false;
    return true;
}

// Finds the device of one port number among those a listing hands.
struct Wanted {
    int number;
    char *out;
    size_t outLen;
    bool found;
};

void takeIfWanted(void *ctx, int number, const char *device)
{
    Wanted *w = (Wanted *)ctx;
    if (number != w->number || w->found) return;
    int n = snprintf(w->out, w->outLen, "%s", device);
    w->found = n > 0 && (size_t)n < w->outLen;
}

}  // namespace

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

void portmap_callout_each(const char *dir, PortmapAdd add, void *ctx)
{
    DIR *d = opendir(dir);
    if (!d) return;
    std::vector<std::string> names;
    while (struct dirent *e = readdir(d))
        if (isSerialCallout(e->d_name)) names.push_back(e->d_name);
    closedir(d);
    // Byte order, as strcmp orders names: the same on every system.
    std::sort(names.begin(), names.end());
    for (size_t i = 0; i < names.size() && i < 999; i++) {
        char path[1024];
        int w = snprintf(path, sizeof path, "%s/%s", dir, names[i].c_str());
        if (w > 0 && (size_t)w < sizeof path) add(ctx, (int)i + 1, path);
    }
}

void portmap_builtin_each(PortmapAdd add, void *ctx)
{
    if (family == macosNames) {
        portmap_callout_each("/dev", add, ctx);
        return;
    }
    for (const Range &r : ranges) {
        if (r.family != family) continue;
        for (int i = 0; i < r.count; i++) {
            char path[64];
            if (formatDevice(r, r.first + i, path, sizeof path)) add(ctx, r.first + i, path);
        }
    }
}

bool portmap_device_path(const char *name, char *out, size_t outLen)
{
    int n = portmap_number(name);
    if (n < 1) return false;
    const char *dir = getenv("VELKOR_PORTS");
    if (dir) {
        int w = snprintf(out, outLen, "%s/COM%d", dir, n);
        return w > 0 && (size_t)w < outLen;
    }
    if (family == macosNames) {
        Wanted w = {n, out, outLen, false};
        portmap_callout_each("/dev", takeIfWanted, &w);
        return w.found;
    }
    for (const Range &r : ranges)
        if (r.family == family && n >= r.first && n < r.first + r.count)
            return formatDevice(r, n, out, outLen);
    return false;
}
