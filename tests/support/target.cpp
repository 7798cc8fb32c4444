#include "target.h"

#include "harness.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

// A build with the Windows program beside it names it, the tests' own
// Windows tool (support/wine/winetool.cpp) and the Wine prefix its tests
// run in.
#ifndef VELKOR_WINDOWS_EXE
#define VELKOR_WINDOWS_EXE ""
#define VELKOR_WINE_TOOL_EXE ""
#define VELKOR_WINE_PREFIX ""
#endif

namespace e2e {

namespace {

// How long one winetool run may take: a wine start in a booted session
// takes well under a second, even on a loaded machine.
const double kToolSeconds = 30;

// The full path of a program on PATH (execv takes no bare names).
std::string onPath(const std::string &name)
{
    const char *path = getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    for (size_t start = 0; start <= dirs.size();) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        std::string candidate = dirs.substr(start, end - start) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
        start = end + 1;
    }
    fprintf(stderr, "VELKOR_E2E_TARGET=wine: %s is not on PATH\n", name.c_str());
    abort();
}

// Runs a program to its end, for at most `seconds`, and returns whether it
// exited with status 0; what it printed goes to `output`.  Its output goes
// to a file, never to a pipe: Wine's system processes, started by any wine
// command, live on and would hold a pipe open.
bool run(const std::vector<std::string> &args, double seconds, std::string *output)
{
    std::vector<char *> argv;
    for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    char outPath[] = "/tmp/velkor-wine-run-XXXXXX";
    int out = mkstemp(outPath);
    if (out < 0) {
        ADD_FAILURE() << "mkstemp: " << strerror(errno);
        return false;
    }
    unlink(outPath);
    int devNull = open("/dev/null", O_RDONLY | O_CLOEXEC);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(devNull, 0);
        dup2(out, 1);
        dup2(out, 2);
        for (int fd = 3; fd < 1024; fd++) close(fd);
        execv(argv[0], argv.data());
        _exit(127);
    }
    if (devNull >= 0) close(devNull);
    if (pid < 0) {
        ADD_FAILURE() << "fork: " << strerror(errno);
        close(out);
        return false;
    }
    int status = 0;
    bool ended = waitUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }, seconds);
    if (!ended) {
        // Never SIGKILL: a killed Wine process can take the wine server
        // down with it.  SIGTERM ends the Windows process from outside.
        kill(pid, SIGTERM);
        waitUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 10);
    }
    if (output) {
        output->clear();
        char buf[4096];
        ssize_t n;
        for (off_t at = 0; (n = pread(out, buf, sizeof buf, at)) > 0; at += n) output->append(buf, n);
        if (!ended) *output += "(did not end)";
        else if (WIFEXITED(status)) *output += "(exit status " + std::to_string(WEXITSTATUS(status)) + ")";
        else *output += "(wait status " + std::to_string(status) + ")";
    }
    close(out);
    return ended && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Whether the process whose pid the prefix's file `name` holds (written by
// support/wine-prefix.sh up) still runs; if not, `why` says so.
bool stillRuns(const std::string &prefix, const char *name, const char *what, std::string *why)
{
    std::string file = prefix + "/" + name;
    FILE *f = fopen(file.c_str(), "r");
    if (!f) {
        *why = "no " + file + ": the prefix is not up (wine.prefix_up)";
        return false;
    }
    long pid = 0;
    bool read = fscanf(f, "%ld", &pid) == 1;
    fclose(f);
    if (!read || pid <= 0) {
        *why = file + " holds no pid";
        return false;
    }
    if (kill(static_cast<pid_t>(pid), 0) != 0) {
        *why = std::string(what) + ", pid " + std::to_string(pid) +
               ", has ended: the prefix's Wine session is no longer the one it booted";
        return false;
    }
    return true;
}

}  // namespace

const Target &Target::get()
{
    static const Target target = [] {
        const char *name = getenv("VELKOR_E2E_TARGET");
        if (!name || !*name || strcmp(name, "native") == 0) return Target(Native);
        if (strcmp(name, "wine") != 0) {
            fprintf(stderr, "VELKOR_E2E_TARGET=%s: unknown target\n", name);
            abort();
        }
        if (!*VELKOR_WINDOWS_EXE) {
            fprintf(stderr, "VELKOR_E2E_TARGET=wine: this build has no velkor.exe\n");
            abort();
        }
        Target wine(Wine);
        wine.exe_ = VELKOR_WINDOWS_EXE;
        wine.tool_ = VELKOR_WINE_TOOL_EXE;
        wine.prefix_ = VELKOR_WINE_PREFIX;
        wine.wine_ = onPath("wine");
        // Every wine program started from here runs in that prefix; Wine's
        // own diagnostics would mix with the server's standard error.
        setenv("WINEPREFIX", wine.prefix_.c_str(), 1);
        setenv("WINEDEBUG", "-all", 1);
        return wine;
    }();
    return target;
}

std::vector<std::string> Target::command(const std::vector<std::string> &switches) const
{
    std::vector<std::string> argv;
    if (kind_ == Wine) argv = {wine_, exe_};
    else argv = {VELKOR_BINARY};
    argv.insert(argv.end(), switches.begin(), switches.end());
    return argv;
}

bool Target::runTool(PortList &ports, const std::vector<std::string> &args) const
{
    std::vector<std::string> argv = {wine_, tool_};
    argv.insert(argv.end(), args.begin(), args.end());
    std::string output;
    if (run(argv, kToolSeconds, &output)) return true;
    ports.broken = true;
    ADD_FAILURE() << "winetool " << args[0] << " could not set up the serial ports: " << output;
    return false;
}

bool Target::claimPorts(PortList &ports) const
{
    if (ports.claimed) return !ports.broken;
    ports.claimed = true;
    // Without its wine server and held session a wine program would boot a
    // new session, whose device manager rebuilds the port map while the
    // test uses it.
    std::string why;
    if (!stillRuns(prefix_, "server.pid", "the prefix's wine server", &why) ||
        !stillRuns(prefix_, "holder.pid", "the Wine session holder", &why)) {
        ports.broken = true;
        ADD_FAILURE() << "cannot set up the serial ports: " << why;
        return false;
    }
    // Wine's device manager links COM1 and up in dosdevices to the
    // machine's own serial ports when the session starts.
    std::string devices = prefix_ + "/dosdevices";
    DIR *d = opendir(devices.c_str());
    if (!d) {
        ports.broken = true;
        ADD_FAILURE() << devices << ": " << strerror(errno);
        return false;
    }
    while (struct dirent *e = readdir(d)) {
        const char *n = e->d_name;
        if (strncmp(n, "com", 3) == 0 && n[3] && strspn(n + 3, "0123456789") == strlen(n + 3))
            unlink((devices + "/" + n).c_str());
    }
    closedir(d);
    return true;
}

bool Target::writePorts(PortList &ports) const
{
    if (!claimPorts(ports)) return false;
    std::vector<std::string> args = {"ports"};
    args.insert(args.end(), ports.values.begin(), ports.values.end());
    return runTool(ports, args);
}

std::vector<std::string> Target::environment(PortList &ports) const
{
    if (kind_ == Wine) {
        // A server given no ports finds the map empty, whatever an earlier
        // server had.
        if (!ports.claimed) writePorts(ports);
        return {};
    }
    // A port directory that does not exist is a port list that cannot be
    // opened; a server without VELKOR_PORTS would list the machine's ttys.
    if (ports.missing) return {"VELKOR_PORTS=" + ports.dir.path() + "/missing"};
    return {"VELKOR_PORTS=" + ports.dir.path()};
}

std::string Target::addPort(PortList &ports, int number, const std::string &device) const
{
    std::string name = "COM" + std::to_string(number);
    // Natively the port map is a directory of links named for the ports.
    // Under Wine a link in dosdevices makes \\.\COM<number> open the
    // device, and a value in the registry's port map lists it: the map is
    // written whole, the ports so far, by one winetool run.
    std::string link = ports.dir.path() + "/" + name;
    // The device, a space, the port name with the NUL that ends its string.
    std::string line = ":" + device + " " + name + std::string(1, '\0') + "\r\n";
    if (kind_ == Wine) {
        ports.values.push_back(device);
        ports.values.push_back(name);
        if (!writePorts(ports)) return line;
        link = prefix_ + "/dosdevices/com" + std::to_string(number);
    }
    unlink(link.c_str());
    if (symlink(device.c_str(), link.c_str()) != 0) {
        ports.broken = true;
        ADD_FAILURE() << "symlink " << link << ": " << strerror(errno);
    }
    return line;
}

void Target::removePorts(PortList &ports) const
{
    ports.missing = true;
    if (kind_ == Wine && claimPorts(ports)) runTool(ports, {"noports"});
}

bool Target::stopsOnSignal(int sig) const
{
    return sig == SIGINT || (kind_ == Native && sig == SIGTERM);
}

bool Target::runWine(const std::vector<std::string> &args, std::string *output) const
{
    std::vector<std::string> argv = {wine_};
    argv.insert(argv.end(), args.begin(), args.end());
    return run(argv, 120, output);
}

size_t Target::longestDeviceName() const { return 2047; }

std::string Target::osReply() const
{
    // Windows answers with the registry's ProductType, WinNT on a
    // workstation (as Wine reports itself).
    if (kind_ == Wine) return ":WIN32 WinNT" + std::string(1, '\0') + "\r\n.\r\n";
    struct utsname u;
    if (uname(&u) != 0) return "uname failed";
    return ":WIN32 " + std::string(u.sysname) + std::string(1, '\0') + "\r\n.\r\n";
}

long Target::memoryKb(pid_t pid) const
{
    // Under Wine the process is the Windows program itself, with Wine's
    // own libraries counted in.
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
