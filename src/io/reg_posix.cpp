// The registry reads of the information queries, on a system without a
// registry.  Two keys exist:
//   HARDWARE\DEVICEMAP\SERIALCOMM  the port map, one value per port: the
//       value's name is the device the port stands for, its data the port
//       name as a string with its terminating NUL, in the order of the
//       port numbers.  So what is listed is exactly what opens.
//   SYSTEM\CurrentControlSet\Control\ProductOptions  the value ProductType:
//       the system's name as uname reports it, with its NUL.
// Capacities and results follow the registry's: a name or data that does
// not fit gives "more data", enumeration past the end "no more items".
#include "plat.h"
#include "portmap_posix.h"

#include <dirent.h>
#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

enum KeyKind { SerialComm = 1, ProductOptions = 2 };
const long errorFileNotFound = 2;

struct Port {
    int number;
    std::string device;
};

// The kernel makes /dev/ttyS nodes for UARTs that may not be there; sysfs
// reports those with the type 0 ("unknown").  Other ttys exist only with
// their device.
bool hasHardware(const char *path)
{
    const char *base = strrchr(path, '/') + 1;
    if (strncmp(base, "ttyS", 4) != 0) return true;
    std::string attr = std::string("/sys/class/tty/") + base + "/type";
    FILE *f = fopen(attr.c_str(), "r");
    if (!f) return true;
    int type = -1;
    if (fscanf(f, "%d", &type) != 1) type = -1;
    fclose(f);
    return type != 0;
}

// The ports of the map that exist now, by number.
bool listMap(std::vector<Port> &ports)
{
    const char *dir = getenv("VELKOR_PORTS");
    if (dir) {
        DIR *d = opendir(dir);
        if (!d) return false;
        while (struct dirent *e = readdir(d)) {
            int n = portmap_number(e->d_name);
            if (n < 1) continue;
            std::string path = std::string(dir) + "/" + e->d_name;
            char target[PATH_MAX];
            ssize_t len = readlink(path.c_str(), target, sizeof target - 1);
            if (len > 0) {
                target[len] = 0;
                ports.push_back(Port{n, target});
            } else {
                ports.push_back(Port{n, path});
            }
        }
        closedir(d);
    } else {
        for (int n = 1; n < 300; n++) {
            char path[64];
            if (!portmap_device_path(("COM" + std::to_string(n)).c_str(), path, sizeof path))
                continue;
            struct stat st;
            if (stat(path, &st) == 0 && S_ISCHR(st.st_mode) && hasHardware(path))
                ports.push_back(Port{n, path});
        }
    }
    std::sort(ports.begin(), ports.end(),
              [](const Port &a, const Port &b) { return a.number < b.number; });
    return true;
}

}  // namespace

long kvp_reg_open(const char *path, kvp_key *key)
{
    if (strcmp(path, "HARDWARE\\DEVICEMAP\\SERIALCOMM") == 0) {
        const char *dir = getenv("VELKOR_PORTS");
        struct stat st;
        if (dir && (stat(dir, &st) != 0 || !S_ISDIR(st.st_mode))) return errorFileNotFound;
        *key = SerialComm;
        return 0;
    }
    if (strcmp(path, "SYSTEM\\CurrentControlSet\\Control\\ProductOptions") == 0) {
        *key = ProductOptions;
        return 0;
    }
    return errorFileNotFound;
}

long kvp_reg_enum(kvp_key key, unsigned long index, char *name, unsigned long *nameLen,
                  unsigned char *data, unsigned long *dataLen)
{
    if (key != SerialComm) return KVP_ERROR_NO_MORE_ITEMS;
    std::vector<Port> ports;
    if (!listMap(ports)) return errorFileNotFound;
    if (index >= ports.size()) return KVP_ERROR_NO_MORE_ITEMS;
    const Port &p = ports[index];
    std::string portName = "COM" + std::to_string(p.number);
    // The name capacity counts its NUL; the data is the string with its NUL.
    if (p.device.size() + 1 > *nameLen || portName.size() + 1 > *dataLen)
        return KVP_ERROR_MORE_DATA;
    memcpy(name, p.device.c_str(), p.device.size() + 1);
    *nameLen = p.device.size();
    memcpy(data, portName.c_str(), portName.size() + 1);
    *dataLen = portName.size() + 1;
    return 0;
}

long kvp_reg_query(kvp_key key, const char *value, unsigned char *data, unsigned long *dataLen)
{
    if (key != ProductOptions || strcmp(value, "ProductType") != 0) return errorFileNotFound;
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

void kvp_reg_close(kvp_key) {}
