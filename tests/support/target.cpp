#include "target.h"

#include "harness.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

// A build with the Windows program beside it names it and the Wine prefix
// its tests run in.
#ifndef VELKOR_WINDOWS_EXE
#define VELKOR_WINDOWS_EXE ""
#define VELKOR_WINE_PREFIX ""
#endif

namespace e2e {

namespace {

// The key of the serial port map in the Windows registry.
const char kSerialComm[] = "HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM";
// Left in the prefix while that key is deleted.  The key's parent is
// volatile, so the key cannot be made again until the wine server restarts
// and Wine's start-up makes it anew.
const char kKeyDeleted[] = "/velkor-serialcomm-deleted";

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

// Runs a program to its end and returns whether it exited with status 0;
// what it printed goes to `output`.  Its output goes to a file, never to a
// pipe: Wine's system processes, started by any wine command, live on and
// would hold a pipe open.
bool run(const std::vector<std::string> &args, std::string *output = nullptr)
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
    bool ended = waitUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 120);
    if (!ended) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
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

// Runs a wine command that changes the prefix, and fails the test with what
// it printed when it fails three times.  A loaded machine may fail a first
// attempt.
bool change(const std::vector<std::string> &args, const std::string &what)
{
    std::string output;
    for (int attempt = 0; attempt < 3; attempt++) {
        if (attempt > 0) usleep(500 * 1000);
        if (run(args, &output)) return true;
    }
    ADD_FAILURE() << "could not " << what << ": " << output;
    return false;
}

bool fileExists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
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
        wine.prefix_ = VELKOR_WINE_PREFIX;
        wine.wine_ = onPath("wine");
        wine.wineserver_ = onPath("wineserver");
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

void Target::claimPorts(PortList &ports) const
{
    if (kind_ != Wine || ports.claimed) return;
    ports.claimed = true;
    // The prefix still holds the ports of an earlier server.
    std::string marker = prefix_ + kKeyDeleted;
    if (fileExists(marker)) {
        run({wineserver_, "-k"});
        run({wineserver_, "-w"});
        EXPECT_TRUE(run({wineserver_, "-p"}));
        // The first wine program after the restart runs Wine's start-up,
        // which makes the registry's hardware keys again.
        EXPECT_TRUE(run({wine_, "wineboot"}));
        unlink(marker.c_str());
    }
    // Wine fills the key with the machine's own serial ports, and links
    // COM1 and up in dosdevices to them.
    std::vector<std::string> empty = {wine_, "reg", "delete", kSerialComm, "/va", "/f"};
    if (!run(empty)) {
        if (!run({wine_, "reg", "query", kSerialComm})) {
            // Wine's device manager makes the key, volatile, each time a
            // wine server starts, a moment after the first wine program.
            // The server ended and started again: the key comes back soon.
            fprintf(stderr, "waiting for Wine to make %s again\n", kSerialComm);
            EXPECT_TRUE(waitUntil([&] { return run({wine_, "reg", "query", kSerialComm}); }, 60))
                << kSerialComm << " did not come back";
            // The device manager adds the ports one by one after the key.
            usleep(1000 * 1000);
        }
        change(empty, std::string("empty ") + kSerialComm);
    }
    std::string devices = prefix_ + "/dosdevices";
    if (DIR *d = opendir(devices.c_str())) {
        while (struct dirent *e = readdir(d)) {
            const char *n = e->d_name;
            if (strncmp(n, "com", 3) == 0 && n[3] && strspn(n + 3, "0123456789") == strlen(n + 3))
                unlink((devices + "/" + n).c_str());
        }
        closedir(d);
    } else {
        ADD_FAILURE() << devices << ": " << strerror(errno);
    }
}

std::vector<std::string> Target::environment(PortList &ports) const
{
    if (kind_ == Wine) {
        claimPorts(ports);
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
    // device, and a value in the registry's port map lists it.
    claimPorts(ports);
    std::string link = kind_ == Wine ? prefix_ + "/dosdevices/com" + std::to_string(number)
                                     : ports.dir.path() + "/" + name;
    unlink(link.c_str());
    if (symlink(device.c_str(), link.c_str()) != 0)
        ADD_FAILURE() << "symlink " << link << ": " << strerror(errno);
    if (kind_ == Wine) {
        change({wine_, "reg", "add", kSerialComm, "/v", device, "/t", "REG_SZ", "/d", name, "/f"},
               "add " + name + " to " + kSerialComm);
    }
    // The device, a space, the port name with the NUL that ends its string.
    return ":" + device + " " + name + std::string(1, '\0') + "\r\n";
}

void Target::removePorts(PortList &ports) const
{
    ports.missing = true;
    if (kind_ != Wine) return;
    claimPorts(ports);
    FILE *marker = fopen((prefix_ + kKeyDeleted).c_str(), "w");
    if (marker) fclose(marker);
    else ADD_FAILURE() << prefix_ << kKeyDeleted << ": " << strerror(errno);
    change({wine_, "reg", "delete", kSerialComm, "/f"}, std::string("delete ") + kSerialComm);
}

bool Target::stopsOnSignal(int sig) const
{
    return sig == SIGINT || (kind_ == Native && sig == SIGTERM);
}

bool Target::runWine(const std::vector<std::string> &args, std::string *output) const
{
    std::vector<std::string> argv = {wine_};
    argv.insert(argv.end(), args.begin(), args.end());
    return run(argv, output);
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
