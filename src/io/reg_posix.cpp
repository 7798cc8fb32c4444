// The registry reads of the information queries, on a system without a
// registry.  Two keys exist:
//   HARDWARE\DEVICEMAP\SERIALCOMM  the port map, one value per port that
//       could be opened now: the value's name is the device the port stands
//       for, its data the port name as a string with its terminating NUL,
//       in the order of the port numbers.  The map is read once when the
//       key is opened.
//   SYSTEM\CurrentControlSet\Control\ProductOptions  the value ProductType:
//       the system's name as uname reports it, with its NUL.
// Capacities and results follow the registry's: a name or data that does
// not fit gives "more data", enumeration past the end "no more items".
#include "plat.h"
#include "portmap_posix.h"
#include "posix_config.h"
#include "kva_assert.h"

#include <dirent.h>
#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <new>

namespace {

const long errorFileNotFound = 2;
const kvp_key productOptionsKey = 1;

// Linux makes /dev/ttyS nodes for UARTs that may not be there; sysfs
// reports those with the type 0 ("unknown").  Other ttys exist only with
// their device, and so do the BSDs' and macOS's serial devices: without
// sysfs every device node counts.
bool hasHardware(const char *path)
{
#if !HAVE_SYSFS_TTY
    (void)path;
    return true;
#else
    const char *slash = strrchr(path, '/');
    const char *base = slash ? slash + 1 : path;
    if (strncmp(base, "ttyS", 4) != 0) return true;
    char attr[PATH_MAX];
    snprintf(attr, sizeof attr, "/sys/class/tty/%s/type", base);
    FILE *f = fopen(attr, "r");
    if (!f) return true;
    int type = -1;
    if (fscanf(f, "%d", &type) != 1) type = -1;
    fclose(f);
    return type != 0;
#endif
}

// A port the server could open now: the device is there, is a character
// device, and may be read and written.  The device itself is not opened:
// opening a serial line can change its modem lines (and reset a board).
bool canOpen(const char *path)
{
    struct stat st;
    return stat(path, &st) == 0 && S_ISCHR(st.st_mode) && access(path, R_OK | W_OK) == 0 &&
           hasHardware(path);
}

struct Port {
    int number;
    char *device;  // as listed: the link's target, or the entry's path
};

// The port map as it was when the key was opened: one reading per query,
// so that every value of one listing comes from the same state.
struct Snapshot {
    Port *ports;
    size_t count;
    size_t room;
};

void addPort(Snapshot *snap, int number, const char *device)
{
    size_t &room = snap->room;
    if (snap->count == room) {
        room = room ? room * 2 : 16;
        Port *more = (Port *)realloc(snap->ports, room * sizeof(Port));
        if (!more) kva_out_of_memory("the port list");
        snap->ports = more;
    }
    char *copy = strdup(device);
    if (!copy) kva_out_of_memory("the port list");
    snap->ports[snap->count++] = Port{number, copy};
}

int byNumber(const void *a, const void *b)
{
    return ((const Port *)a)->number - ((const Port *)b)->number;
}

// A device of the built-in map, listed when it is there.
void addIfThere(void *ctx, int number, const char *device)
{
    if (canOpen(device)) addPort((Snapshot *)ctx, number, device);
}

// Reads the port map; false when the ports directory cannot be read.
bool takeSnapshot(Snapshot *snap)
{
    const char *dir = getenv("VELKOR_PORTS");
    if (dir) {
        DIR *d = opendir(dir);
        if (!d) return false;
        while (struct dirent *e = readdir(d)) {
            int n = portmap_number(e->d_name);
            if (n < 1) continue;
            char path[PATH_MAX];
            if (snprintf(path, sizeof path, "%s/%s", dir, e->d_name) >= (int)sizeof path) continue;
            if (!canOpen(path)) continue;
            char target[PATH_MAX];
            ssize_t len = readlink(path, target, sizeof target - 1);
            if (len > 0) {
                target[len] = 0;
                addPort(snap, n, target);
            } else {
                addPort(snap, n, path);
            }
        }
        closedir(d);
    } else {
        portmap_builtin_each(addIfThere, snap);
    }
    if (snap->count) qsort(snap->ports, snap->count, sizeof(Port), byNumber);
    return true;
}

void freeSnapshot(Snapshot *snap)
{
    for (size_t i = 0; i < snap->count; i++) free(snap->ports[i].device);
    free(snap->ports);
    delete snap;
}

}  // namespace

long kvp_reg_open(const char *path, kvp_key *key)
{
    if (strcmp(path, "HARDWARE\\DEVICEMAP\\SERIALCOMM") == 0) {
        Snapshot *snap = new (std::nothrow) Snapshot{nullptr, 0, 0};
        if (!snap) kva_out_of_memory("the port list");
        if (!takeSnapshot(snap)) {
            freeSnapshot(snap);
            return errorFileNotFound;
        }
        *key = (kvp_key)snap;
        return 0;
    }
    if (strcmp(path, "SYSTEM\\CurrentControlSet\\Control\\ProductOptions") == 0) {
        *key = productOptionsKey;
        return 0;
    }
    return errorFileNotFound;
}

long kvp_reg_enum(kvp_key key, unsigned long index, char *name, unsigned long *nameLen,
                  unsigned char *data, unsigned long *dataLen)
{
    if (key == productOptionsKey) return KVP_ERROR_NO_MORE_ITEMS;
    const Snapshot *snap = (const Snapshot *)key;
    if (index >= snap->count) return KVP_ERROR_NO_MORE_ITEMS;
    const Port &p = snap->ports[index];
    char portName[16];
    int portLen = snprintf(portName, sizeof portName, "COM%d", p.number);
    size_t deviceLen = strlen(p.device);
    // The name capacity counts its NUL; the data is the string with its NUL.
    if (deviceLen + 1 > *nameLen || (unsigned long)portLen + 1 > *dataLen)
        return KVP_ERROR_MORE_DATA;
    memcpy(name, p.device, deviceLen + 1);
    *nameLen = deviceLen;
    memcpy(data, portName, (size_t)portLen + 1);
    *dataLen = (unsigned long)portLen + 1;
    return 0;
}

long kvp_reg_query(kvp_key key, const char *value, unsigned char *data, unsigned long *dataLen)
{
    if (key != productOptionsKey || strcmp(value, "ProductType") != 0) return errorFileNotFound;
    struct utsname u;
    if (uname(&u) != 0) return errorFileNotFound;
    size_t n = strlen(u.sysname) + 1;
    if (n > *dataLen) {
        *dataLen = n;
        return KVP_ERROR_MORE_DATA;
    }
    memcpy(data, u.sysname, n);
    *dataLen = n;
    return 0;
}

void kvp_reg_close(kvp_key key)
{
    if (key != productOptionsKey) freeSnapshot((Snapshot *)key);
}
