#include "target.h"

#include "harness.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/utsname.h>
#include <unistd.h>

namespace e2e {

const Target &Target::get()
{
    static const Target target = [] {
        const char *name = getenv("VELKOR_E2E_TARGET");
        if (name && *name && strcmp(name, "native") != 0) {
            fprintf(stderr, "VELKOR_E2E_TARGET=%s: unknown target\n", name);
            abort();
        }
        return Target(Native);
    }();
    return target;
}

std::vector<std::string> Target::command(const std::vector<std::string> &switches) const
{
    std::vector<std::string> argv{VELKOR_BINARY};
    argv.insert(argv.end(), switches.begin(), switches.end());
    return argv;
}

std::vector<std::string> Target::environment(const PortList &ports) const
{
    // A port directory that does not exist is a port list that cannot be
    // opened; a server without VELKOR_PORTS would list the machine's ttys.
    if (ports.missing) return {"VELKOR_PORTS=" + ports.dir.path() + "/missing"};
    return {"VELKOR_PORTS=" + ports.dir.path()};
}

std::string Target::addPort(PortList &ports, int number, const std::string &device) const
{
    std::string link = ports.dir.path() + "/COM" + std::to_string(number);
    unlink(link.c_str());
    if (symlink(device.c_str(), link.c_str()) != 0)
        ADD_FAILURE() << "symlink " << link << ": " << strerror(errno);
    // The device, a space, the port name with the NUL that ends its string.
    return ":" + device + " COM" + std::to_string(number) + std::string(1, '\0') + "\r\n";
}

void Target::removePorts(PortList &ports) const { ports.missing = true; }

size_t Target::longestDeviceName() const { return 2047; }

std::string Target::osReply() const
{
    struct utsname u;
    if (uname(&u) != 0) return "uname failed";
    return ":WIN32 " + std::string(u.sysname) + std::string(1, '\0') + "\r\n.\r\n";
}

long Target::memoryKb(pid_t pid) const
{
    FILE *f = fopen(("/proc/" + std::to_string(pid) + "/status").c_str(), "r");
    if (!f) return -1;
    long kb = -1;
    char line[256];
    while (fgets(line, sizeof line, f))
        if (sscanf(line, "VmRSS: %ld kB", &kb) == 1) break;
    fclose(f);
    return kb;
}

}  // namespace e2e
