// velkor.exe as a Windows service, under Wine's service manager: created
// with sc, started, serving a client over a serial bridge, stopped by the
// service manager (the port released, the client's connection closed, the
// service stopped without an error, its lines in the log file beside the
// program); and a service whose command line is wrong, which ends stopped
// with its error instead of vanishing.
#include "harness.h"

#include "target.h"

#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>

using namespace e2e;

namespace {

std::string readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// The program copied into a directory of the test's own, so that its log
// file (beside it) is the test's own too.
std::string copyProgram(const TempDir &dir)
{
    std::string to = dir.path() + "/velkor.exe";
    std::ofstream(to, std::ios::binary) << readFile(Target::get().windowsProgram());
    chmod(to.c_str(), 0755);
    return to;
}

// Wine's drive Z: is the root of the file system.
std::string windowsPath(const std::string &unixPath)
{
    std::string p = "Z:" + unixPath;
    for (char &c : p)
        if (c == '/') c = '\\';
    return p;
}

// Whether a process runs whose command line mentions `text`.
bool processRuns(const std::string &text)
{
    DIR *d = opendir("/proc");
    if (!d) return false;
    bool found = false;
    while (struct dirent *e = readdir(d)) {
        if (strspn(e->d_name, "0123456789") != strlen(e->d_name)) continue;
        std::string cmd = readFile(std::string("/proc/") + e->d_name + "/cmdline");
        for (char &c : cmd)
            if (c == 0) c = ' ';
        if (cmd.find(text) != std::string::npos) found = true;
    }
    closedir(d);
    return found;
}

// What `sc query` reports of a service.
struct ServiceState {
    int state = -1;  // 1 stopped, 2 start pending, 3 stop pending, 4 running
    long win32Exit = -1;
    long serviceExit = -1;
};

// The exit code of a service that has not run since it was made.
const long kNeverStarted = 1077;

// A service of the test's own under Wine's service manager, deleted when
// the object goes.
class WineService {
public:
    explicit WineService(const std::string &commandLine)
        : name_("velkortest" + std::to_string(getpid()))
    {
        std::string out;
        EXPECT_TRUE(sc({"create", name_, "binPath=", commandLine}, &out)) << out;
    }
    ~WineService()
    {
        if (query().state != 1) sc({"stop", name_});
        sc({"delete", name_});
    }

    bool sc(const std::vector<std::string> &args, std::string *out = nullptr) const
    {
        std::vector<std::string> argv = {"sc"};
        argv.insert(argv.end(), args.begin(), args.end());
        return Target::get().runWine(argv, out);
    }
    const std::string &name() const { return name_; }

    ServiceState query() const
    {
        std::string out;
        sc({"query", name_}, &out);
        ServiceState st;
        const char *fields[] = {"STATE", "WIN32_EXIT_CODE", "SERVICE_EXIT_CODE"};
        long *values[] = {nullptr, &st.win32Exit, &st.serviceExit};
        long state = -1;
        values[0] = &state;
        for (int i = 0; i < 3; i++) {
            size_t at = out.find(std::string(fields[i]) + " ");
            if (at != std::string::npos) {
                size_t colon = out.find(':', at);
                if (colon != std::string::npos) sscanf(out.c_str() + colon + 1, "%ld", values[i]);
            }
        }
        st.state = (int)state;
        return st;
    }

    // Starts the service.  A fresh prefix's service manager is busy for a
    // while starting its own services, and refuses (its database locked,
    // the service not found yet): asked again until it takes the start,
    // or until the service has run (one that ends at once may be reported
    // as failing to start).
    bool start(std::string *out, double seconds = 120)
    {
        return waitUntil([&] {
            if (sc({"start", name_}, out)) return true;
            ServiceState st = query();
            return st.state != 1 || st.win32Exit != kNeverStarted;
        },
                         seconds);
    }

    // Waits until the service is stopped; its state then.
    ServiceState stopped(double seconds = 60)
    {
        ServiceState st;
        waitUntil([&] { return (st = query()).state == 1; }, seconds);
        return st;
    }

private:
    std::string name_;
};

// The processes of the prefix (WINEPREFIX in their environment) whose
// command line holds `program`, with their start times (clock ticks after
// boot).
std::vector<unsigned long long> prefixProcesses(const std::string &program)
{
    const char *prefix = getenv("WINEPREFIX");
    const std::string mine = std::string("WINEPREFIX=") + (prefix ? prefix : "") + '\0';
    std::vector<unsigned long long> starts;
    DIR *d = opendir("/proc");
    if (!d) return starts;
    while (struct dirent *e = readdir(d)) {
        if (strspn(e->d_name, "0123456789") != strlen(e->d_name)) continue;
        std::string dir = std::string("/proc/") + e->d_name;
        if (readFile(dir + "/cmdline").find(program) == std::string::npos) continue;
        if (('\0' + readFile(dir + "/environ")).find('\0' + mine) == std::string::npos) continue;
        std::string stat = readFile(dir + "/stat");
        size_t close = stat.rfind(')');
        unsigned long long start = 0;
        if (close != std::string::npos &&
            sscanf(stat.c_str() + close + 2,
                   "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %*u %*u %*d %*d %*d %*d %*d %*d %llu",
                   &start) == 1)
            starts.push_back(start);
    }
    closedir(d);
    return starts;
}

// The service managers (services.exe) of the prefix's current wine server.
// A wine server that was stopped may leave one behind that serves nothing;
// those started before the current server are not counted.
int serviceManagers()
{
    std::vector<unsigned long long> servers = prefixProcesses("wineserver");
    if (servers.empty()) return 0;
    unsigned long long since = *std::max_element(servers.begin(), servers.end());
    int n = 0;
    for (unsigned long long start : prefixProcesses("services.exe"))
        if (start >= since) n++;
    return n;
}

class Service : public testing::Test {
protected:
    void SetUp() override
    {
        if (!Target::get().isWine())
            GTEST_SKIP() << "the service manager is Windows's (run as wine.Service.*)";
        // Two service managers in one prefix would each keep a service
        // database of their own (wine-prefix.sh makes the prefix with one).
        ASSERT_TRUE(waitUntil([] { return serviceManagers() == 1; }))
            << serviceManagers() << " service managers run in the prefix";
    }
};

TEST_F(Service, StartsServesAndStopsCleanly)
{
    TempDir dir;
    std::string exe = copyProgram(dir);
    std::string log = dir.path() + "/velkor.log";
    PortList ports;
    Pty pty;
    Target::get().addPort(ports, 5, pty.slavePath());
    struct termios before;
    ASSERT_EQ(tcgetattr(pty.slaveFd(), &before), 0);
    int port = freePort();

    WineService svc(windowsPath(exe) + " -b -p" + std::to_string(port));
    std::string out;
    ASSERT_TRUE(svc.start(&out)) << out;
    const std::string listening = "connected to tcpip port " + std::to_string(port) + "\n";
    ASSERT_TRUE(waitUntil([&] { return readFile(log).find(listening) != std::string::npos; }, 60))
        << "log: " << readFile(log);
    EXPECT_TRUE(waitUntil([&] { return svc.query().state == 4; })) << "never reported running";

    Stream client = connectTo(port);
    ASSERT_TRUE(client.expect(kGreeting));
    ASSERT_TRUE(client.ask(std::string(kIdentifier) + "\r\n", ".\r\n"));
    EXPECT_TRUE(client.ask("v\r\n", kVersion));
    ASSERT_TRUE(bridge(client, "p COM5 57600"));
    EXPECT_TRUE(relayed(client, pty.master(), "to the port"));
    EXPECT_TRUE(relayed(pty.master(), client, "to the client"));

    ASSERT_TRUE(svc.sc({"stop", svc.name()}, &out)) << out;
    ServiceState st = svc.stopped();
    EXPECT_EQ(st.state, 1) << "not stopped";
    EXPECT_EQ(st.win32Exit, 0) << "the service ended with an error";
    EXPECT_TRUE(client.expectClosed());
    // Its command line holds the directory's name, as a Windows path.
    std::string dirName = dir.path().substr(dir.path().rfind('/') + 1);
    EXPECT_TRUE(waitUntil([&] { return !processRuns(dirName); })) << "the process lives on";

    struct termios after;
    ASSERT_EQ(tcgetattr(pty.slaveFd(), &after), 0);
    EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before)) << "the port's settings stayed changed";
    std::string text = readFile(log);
    EXPECT_NE(text.find("kva_close: "), std::string::npos) << "log: " << text;
}

// A switch the server does not know: it prints its usage into the log and
// ends, and the service manager learns of the end and of its code.
TEST_F(Service, WithAWrongCommandLineEndsStoppedWithItsError)
{
    TempDir dir;
    std::string exe = copyProgram(dir);
    WineService svc(windowsPath(exe) + " -b -x");
    std::string out;
    EXPECT_TRUE(svc.start(&out)) << out;
    ServiceState st = svc.stopped();
    EXPECT_EQ(st.state, 1) << "not stopped";
    EXPECT_EQ(st.win32Exit, 1066) << "not a service-specific error";
    EXPECT_EQ(st.serviceExit, 1);
    std::string text = readFile(dir.path() + "/velkor.log");
    EXPECT_NE(text.find("Unknown switch -x\n"), std::string::npos) << "log: " << text;
    EXPECT_NE(text.find("usage "), std::string::npos) << "log: " << text;
}

}  // namespace
