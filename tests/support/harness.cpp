#include "harness.h"

#include "target.h"

#include <arpa/inet.h>
#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

extern char **environ;

namespace e2e {

const char kGreeting[] = "velkor.example.org/velkor\r\n";
const char kIdentifier[] = "wobex";
const char kVersion[] = ":1.19\r\n.\r\n";

namespace {

// A peer that goes away must show up as a failed write, not kill the test.
struct IgnoreSigpipe {
    IgnoreSigpipe() { signal(SIGPIPE, SIG_IGN); }
} ignoreSigpipe;

double now()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

int millisUntil(double deadline)
{
    double left = deadline - now();
    return left <= 0 ? 0 : (int)(left * 1000) + 1;
}

void setCloexec(int fd) { fcntl(fd, F_SETFD, fcntl(fd, F_GETFD) | FD_CLOEXEC); }

// The socket address of a numeric IPv4 or IPv6 address and a port.
bool numericAddress(const std::string &address, int port, struct sockaddr_storage *out,
                    socklen_t *len)
{
    struct addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    struct addrinfo *found = nullptr;
    if (getaddrinfo(address.c_str(), std::to_string(port).c_str(), &hints, &found) != 0)
        return false;
    memcpy(out, found->ai_addr, found->ai_addrlen);
    *len = found->ai_addrlen;
    freeaddrinfo(found);
    return true;
}

int removeEntry(const char *path, const struct stat *, int, struct FTW *)
{
    remove(path);
    return 0;
}

// The stretch around offset `at`, escaped, for showing a difference.
std::string around(const std::string &bytes, size_t at)
{
    size_t from = at > 40 ? at - 40 : 0;
    return escapeBytes(bytes.substr(from, 120), 600);
}

}  // namespace

std::string escapeBytes(const std::string &bytes, size_t limit)
{
    std::string out;
    for (size_t i = 0; i < bytes.size(); i++) {
        if (out.size() >= limit) {
            out += "...(" + std::to_string(bytes.size()) + " bytes in all)";
            break;
        }
        unsigned char c = (unsigned char)bytes[i];
        switch (c) {
        case '\r': out += "\\r"; break;
        case '\n': out += "\\n"; break;
        case '\t': out += "\\t"; break;
        case '\\': out += "\\\\"; break;
        case '"': out += "\\\""; break;
        case 0: out += "\\0"; break;
        default:
            if (c >= 0x20 && c <= 0x7e) {
                out += (char)c;
            } else {
                char hex[8];
                snprintf(hex, sizeof hex, "\\x%02x", c);
                out += hex;
            }
        }
    }
    return out;
}

std::string allByteValues()
{
    std::string s;
    for (int i = 0; i < 256; i++) s += (char)i;
    return s;
}

std::string pattern(size_t n, unsigned seed)
{
    std::string s(n, 0);
    unsigned x = seed;
    for (size_t i = 0; i < n; i++) {
        x = x * 1103515245u + 12345u;
        s[i] = (char)(x >> 16);
    }
    return s;
}

size_t firstDifference(const std::string &got, const std::string &want)
{
    size_t at = 0;
    while (at < got.size() && at < want.size() && got[at] == want[at]) at++;
    return at;
}

bool waitUntil(const std::function<bool()> &done, double seconds)
{
    double deadline = now() + seconds;
    for (;;) {
        if (done()) return true;
        if (now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

std::string peerText(const Stream &client)
{
    struct sockaddr_storage a;
    socklen_t len = sizeof a;
    if (getsockname(client.fd(), (struct sockaddr *)&a, &len) != 0) return "";
    char text[INET6_ADDRSTRLEN];
    if (a.ss_family == AF_INET) {
        const struct sockaddr_in *v4 = (const struct sockaddr_in *)&a;
        inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
        return std::string(text) + ":" + std::to_string(ntohs(v4->sin_port));
    }
    const struct sockaddr_in6 *v6 = (const struct sockaddr_in6 *)&a;
    inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
    return "[" + std::string(text) + "]:" + std::to_string(ntohs(v6->sin6_port));
}

size_t countOf(const std::string &text, const std::string &needle)
{
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos;
         at = text.find(needle, at + needle.size()))
        n++;
    return n;
}

size_t countNumberedLines(const std::string &text, const std::string &before,
                          const std::string &after)
{
    size_t n = 0;
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end + 1;
        std::string line = text.substr(start, end - start);
        start = end;
        if (line.compare(0, before.size(), before) != 0) continue;
        size_t digits = before.size();
        while (digits < line.size() && isdigit((unsigned char)line[digits])) digits++;
        if (digits > before.size() && line.substr(digits) == after) n++;
    }
    return n;
}

int freePort()
{
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    socklen_t len = sizeof a;
    int port = 0;
    if (s >= 0 && bind(s, (struct sockaddr *)&a, sizeof a) == 0 &&
        getsockname(s, (struct sockaddr *)&a, &len) == 0)
        port = ntohs(a.sin_port);
    if (s >= 0) close(s);
    return port;
}

// ---- TempDir --------------------------------------------------------------------

TempDir::TempDir()
{
    const char *base = getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/velkor-e2e-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back(0);
    if (mkdtemp(name.data())) path_ = name.data();
    else ADD_FAILURE() << "mkdtemp: " << strerror(errno);
}

TempDir::~TempDir()
{
    if (!path_.empty()) nftw(path_.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
}

// ---- Stream ---------------------------------------------------------------------

Stream::Stream(int fd) : fd_(fd) {}

Stream::~Stream() { close(); }

Stream::Stream(Stream &&other) noexcept
    : fd_(other.fd_), ended_(other.ended_), pending_(std::move(other.pending_))
{
    other.fd_ = -1;
}

Stream &Stream::operator=(Stream &&other) noexcept
{
    if (this != &other) {
        close();
        fd_ = other.fd_;
        ended_ = other.ended_;
        pending_ = std::move(other.pending_);
        other.fd_ = -1;
    }
    return *this;
}

int Stream::release()
{
    int fd = fd_;
    fd_ = -1;
    return fd;
}

void Stream::close()
{
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool Stream::send(const std::string &bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        if (fd_ < 0) return false;
        ssize_t n = write(fd_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += (size_t)n;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            struct pollfd p = {fd_, POLLOUT, 0};
            poll(&p, 1, -1);
        } else if (n < 0 && errno != EINTR) {
            return false;
        }
    }
    return true;
}

bool Stream::fill(double deadline)
{
    if (fd_ < 0 || ended_) return false;
    for (;;) {
        struct pollfd p = {fd_, POLLIN, 0};
        int r = poll(&p, 1, millisUntil(deadline));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        char buf[65536];
        ssize_t n = ::read(fd_, buf, sizeof buf);
        if (n > 0) {
            pending_.append(buf, (size_t)n);
            return true;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) continue;
        ended_ = true;  // end of stream, a reset, or a pseudo-terminal hung up
        return false;
    }
}

std::string Stream::read(size_t n, double seconds)
{
    double deadline = now() + seconds;
    while (pending_.size() < n && !ended_ && now() < deadline) fill(deadline);
    size_t take = std::min(n, pending_.size());
    std::string out = pending_.substr(0, take);
    pending_.erase(0, take);
    return out;
}

std::string Stream::readThrough(const std::string &text, double seconds)
{
    double deadline = now() + seconds;
    size_t at;
    while ((at = pending_.find(text)) == std::string::npos && !ended_ && now() < deadline)
        fill(deadline);
    if (at == std::string::npos) {
        ADD_FAILURE() << "\"" << escapeBytes(text) << "\" never came; got \""
                      << escapeBytes(pending_) << "\"";
        return "";
    }
    std::string out = pending_.substr(0, at + text.size());
    pending_.erase(0, at + text.size());
    return out;
}

testing::AssertionResult Stream::expect(const std::string &want, double seconds)
{
    std::string got = read(want.size(), seconds);
    if (got == want) return testing::AssertionSuccess();
    size_t at = 0;
    while (at < got.size() && got[at] == want[at]) at++;
    testing::AssertionResult failure = testing::AssertionFailure();
    failure << "expected " << want.size() << " bytes, got " << got.size();
    if (got.size() < want.size())
        failure << (ended_ ? " before the stream closed" : " before the deadline");
    failure << "; first difference at offset " << at << "\n";
    if (want.size() <= 300 && got.size() <= 300) {
        failure << "  expected \"" << escapeBytes(want) << "\"\n"
                << "       got \"" << escapeBytes(got) << "\"";
    } else {
        failure << "  expected ...\"" << around(want, at) << "\"\n"
                << "       got ...\"" << around(got, at) << "\"";
    }
    return failure;
}

testing::AssertionResult Stream::ask(const std::string &line, const std::string &reply,
                                     double seconds)
{
    if (!send(line))
        return testing::AssertionFailure() << "could not send \"" << escapeBytes(line) << "\"";
    testing::AssertionResult r = expect(reply, seconds);
    if (!r) r << "\n  in reply to \"" << escapeBytes(line) << "\"";
    return r;
}

testing::AssertionResult relayed(Stream &from, Stream &to, const std::string &bytes)
{
    if (!from.send(bytes))
        return testing::AssertionFailure() << "could not send \"" << escapeBytes(bytes) << "\"";
    return to.expect(bytes);
}

testing::AssertionResult bridge(Stream &client, const std::string &command)
{
    return client.ask(command + "\n", ".\r\n");
}

testing::AssertionResult Stream::expectClosed(double seconds)
{
    double deadline = now() + seconds;
    while (!ended_ && now() < deadline) fill(deadline);
    if (!pending_.empty()) {
        std::string extra = pending_;
        pending_.clear();
        return testing::AssertionFailure()
               << "expected the stream to close, but got \"" << escapeBytes(extra) << "\"";
    }
    if (!ended_) return testing::AssertionFailure() << "the stream is still open";
    return testing::AssertionSuccess();
}

size_t pushUntilStalled(Stream &stream, const std::string &data, double quietSeconds)
{
    int fd = stream.fd();
    int small = 64 << 10;
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    size_t sent = 0;
    while (sent < data.size()) {
        ssize_t n = write(fd, data.data() + sent, std::min<size_t>(65536, data.size() - sent));
        if (n > 0) {
            sent += (size_t)n;
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) break;
        struct pollfd p = {fd, POLLOUT, 0};
        if (poll(&p, 1, (int)(quietSeconds * 1000)) == 0) break;
    }
    return sent;
}

Stream connectTo(int port, int receiveBuffer, const char *from)
{
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s >= 0 && receiveBuffer > 0)
        setsockopt(s, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    struct sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    if (s >= 0 && from &&
        (inet_pton(AF_INET, from, &a.sin_addr) != 1 ||
         bind(s, (struct sockaddr *)&a, sizeof a) != 0)) {
        ADD_FAILURE() << "bind to " << from << ": " << strerror(errno);
        close(s);
        return Stream();
    }
    a.sin_port = htons((unsigned short)port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (s < 0 || connect(s, (struct sockaddr *)&a, sizeof a) != 0) {
        ADD_FAILURE() << "connect to port " << port << ": " << strerror(errno);
        if (s >= 0) close(s);
        return Stream();
    }
    return Stream(s);
}

Stream connectToAddress(const std::string &address, int port, const std::string &from)
{
    struct sockaddr_storage to, mine;
    socklen_t toLen = 0, mineLen = 0;
    if (!numericAddress(address, port, &to, &toLen) ||
        (!from.empty() && !numericAddress(from, 0, &mine, &mineLen))) {
        ADD_FAILURE() << "no address: " << address << " " << from;
        return Stream();
    }
    int s = socket(to.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s >= 0 && !from.empty() && bind(s, (struct sockaddr *)&mine, mineLen) != 0) {
        ADD_FAILURE() << "bind to " << from << ": " << strerror(errno);
        close(s);
        return Stream();
    }
    if (s < 0 || connect(s, (struct sockaddr *)&to, toLen) != 0) {
        ADD_FAILURE() << "connect to " << address << " port " << port << ": " << strerror(errno);
        if (s >= 0) close(s);
        return Stream();
    }
    return Stream(s);
}

namespace {

// Runs a program to its end; whether it exited with status 0.  Its output
// goes to `output`.
bool runProgram(const std::vector<std::string> &args, std::string *output)
{
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return false;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        dup2(out[1], 2);
        std::vector<char *> argv;
        for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    ::close(out[1]);
    char buf[512];
    ssize_t n;
    while ((n = ::read(out[0], buf, sizeof buf)) > 0) output->append(buf, (size_t)n);
    ::close(out[0]);
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) return false;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The path of iproute2's ip, or "".
std::string ipCommand()
{
    for (const char *p : {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"})
        if (access(p, X_OK) == 0) return p;
    return "";
}

}  // namespace

std::string inOwnNetwork(const std::vector<std::string> &addresses,
                         const std::function<void()> &body)
{
    const std::string ip = ipCommand();
    if (ip.empty()) return "no ip command (iproute2) to set up a network namespace";
    std::string why;
    // A network namespace belongs to the thread that made it, and to the
    // processes it starts: the test's own threads stay where they are.
    std::thread inside([&] {
        if (unshare(CLONE_NEWNET) != 0) {
            why = std::string("no network namespace of its own: ") + strerror(errno);
            return;
        }
        std::vector<std::vector<std::string>> steps = {{ip, "link", "set", "lo", "up"}};
        for (const std::string &a : addresses)
            steps.push_back({ip, "-6", "address", "add", a, "dev", "lo", "nodad"});
        for (const std::vector<std::string> &step : steps) {
            std::string output;
            if (!runProgram(step, &output)) {
                why = "network namespace: " + step[1] + " " + step[2] + ": " + output;
                return;
            }
        }
        body();
    });
    inside.join();
    return why;
}

std::string ownHostsFileUnavailable()
{
    pid_t pid = fork();
    if (pid == 0) {
        bool ok = unshare(CLONE_NEWNS) == 0 &&
                  mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0)
        return "no mount namespace of its own for the server (needs root)";
    return "";
}

// ---- Pty ------------------------------------------------------------------------

Pty::Pty(bool lineEditing)
{
    int m = -1;
    char name[256];
    if (openpty(&m, &slave_, name, nullptr, nullptr) != 0) {
        ADD_FAILURE() << "openpty: " << strerror(errno);
        return;
    }
    setCloexec(m);
    setCloexec(slave_);
    struct termios t;
    tcgetattr(slave_, &t);
    if (lineEditing) t.c_oflag &= ~(tcflag_t)OPOST;
    else cfmakeraw(&t);
    tcsetattr(slave_, TCSANOW, &t);
    slavePath_ = name;
    master_ = Stream(m);
}

Pty::~Pty()
{
    if (slave_ >= 0) close(slave_);
}

// ---- Listener -------------------------------------------------------------------

Listener::Listener(int backlog) : Listener("127.0.0.1", 0, backlog) {}

Listener::Listener(const std::string &address, int port, int backlog)
{
    struct sockaddr_storage a;
    socklen_t len = 0;
    if (!numericAddress(address, port, &a, &len)) {
        ADD_FAILURE() << "test listener: " << address << " is no address";
        return;
    }
    fd_ = socket(a.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0 || bind(fd_, (struct sockaddr *)&a, len) != 0 || listen(fd_, backlog) != 0 ||
        getsockname(fd_, (struct sockaddr *)&a, &len) != 0) {
        ADD_FAILURE() << "test listener on " << address << ": " << strerror(errno);
        return;
    }
    port_ = ntohs(a.ss_family == AF_INET6 ? ((struct sockaddr_in6 *)&a)->sin6_port
                                          : ((struct sockaddr_in *)&a)->sin_port);
}

Listener::~Listener()
{
    if (fd_ >= 0) close(fd_);
}

Stream Listener::accept(double seconds)
{
    struct pollfd p = {fd_, POLLIN, 0};
    if (poll(&p, 1, (int)(seconds * 1000)) != 1) {
        ADD_FAILURE() << "nobody connected to the test listener on port " << port_;
        return Stream();
    }
    return Stream(accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC));
}

bool Listener::hasPending() const
{
    struct pollfd p = {fd_, POLLIN, 0};
    return poll(&p, 1, 0) == 1;
}

Stream bridgeToHost(Stream &client, Listener &host)
{
    EXPECT_TRUE(bridge(client, "c 127.0.0.1 " + std::to_string(host.port())));
    return host.accept();
}

// ---- Server ---------------------------------------------------------------------

Server::Server() = default;

Server::~Server() { stop(); }

std::string Server::addPort(int number, const std::string &device)
{
    return Target::get().addPort(ports_, number, device);
}

std::string Server::addPort(int number, const Pty &pty) { return addPort(number, pty.slavePath()); }

void Server::removePorts() { Target::get().removePorts(ports_); }

bool Server::start(const ServerOptions &options)
{
    // The port was free a moment ago; another program may take it before
    // the server binds it, which the server reports as a bind error.
    for (int attempt = 0; attempt < 5; attempt++) {
        port_ = freePort();
        std::vector<std::string> switches{"-p" + std::to_string(port_)};
        if (!options.console && !options.consoleAtEnd) switches.push_back("-b");
        switches.insert(switches.end(), options.switches.begin(), options.switches.end());
        if (!launch(switches, options)) return false;
        std::string first;
        if (options.console) {
            first = console().readThrough("\n");
        } else {
            waitLogs([&](const std::string &o, const std::string &) {
                return o.find('\n') != std::string::npos || logsEnded_;
            });
            std::string o = out();
            first = o.substr(0, o.find('\n') + 1);
        }
        int fd = -1, shown = -1;
        if (sscanf(first.c_str(), "server socket %d connected to tcpip port %d", &fd, &shown) ==
                2 &&
            shown == port_)
            return true;
        bool busy = first.find("bind error") != std::string::npos;
        int status = exitStatus();
        stop();
        if (!busy) {
            ADD_FAILURE() << "the server did not start: \"" << escapeBytes(first) << "\" "
                          << escapeBytes(err()) << " (wait status " << status << ")";
            return false;
        }
    }
    ADD_FAILURE() << "no free port for the server";
    return false;
}

bool Server::run(const std::vector<std::string> &switches, const ServerOptions &options)
{
    port_ = 0;
    return launch(switches, options);
}

bool Server::launch(const std::vector<std::string> &switches, const ServerOptions &options)
{
    const Target &target = Target::get();
    std::vector<std::string> argv = target.command(switches);
    std::string program = argv[0];
    if (!options.programName.empty()) argv[0] = options.programName;

    std::vector<std::string> env = target.environment(ports_);
    // A test whose ports could not be set up ends here, not at its first
    // reply that waits for them in vain.
    if (ports_.broken) {
        ADD_FAILURE() << "the server was not started: its serial ports could not be set up";
        return false;
    }
    env.insert(env.end(), options.environment.begin(), options.environment.end());
    if (options.measuresMemory) {
        std::string asan = "ASAN_OPTIONS=";
        if (const char *inherited = getenv("ASAN_OPTIONS")) asan += std::string(inherited) + ":";
        env.push_back(asan + "quarantine_size_mb=1");
    }
    for (char **e = environ; *e; e++) {
        std::string entry = *e;
        std::string name = entry.substr(0, entry.find('=') + 1);
        // An identifier in the tester's own environment would change the
        // word every test sends; a test that wants one sets it.
        if (name == "VELKOR_IDENTIFIER=") continue;
        bool replaced = std::any_of(env.begin(), env.end(), [&](const std::string &mine) {
            return mine.compare(0, name.size(), name) == 0;
        });
        if (!replaced) env.push_back(entry);
    }
    std::vector<char *> argvp, envp;
    for (std::string &a : argv) argvp.push_back(&a[0]);
    argvp.push_back(nullptr);
    for (std::string &e : env) envp.push_back(&e[0]);
    envp.push_back(nullptr);

    if (options.console) console_.reset(new Pty(true));
    int outPipe[2] = {-1, -1}, errPipe[2] = {-1, -1};
    if ((!options.console && pipe2(outPipe, O_CLOEXEC) != 0) || pipe2(errPipe, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe: " << strerror(errno);
        return false;
    }
    int devNull = open("/dev/null", O_RDONLY | O_CLOEXEC);

    out_.clear();
    err_.clear();
    logsEnded_ = false;
    reaped_ = false;
    exitExpected_ = false;
    pid_ = fork();
    if (pid_ == 0) {
        int in = options.console ? console_->slaveFd() : devNull;
        int outFd = options.console ? console_->slaveFd() : outPipe[1];
        dup2(in, 0);
        dup2(outFd, 1);
        dup2(errPipe[1], 2);
        // The console is the server's controlling terminal, as in a terminal
        // window: Ctrl-C typed on it is an interrupt.
        if (options.console && (setsid() < 0 || ioctl(0, TIOCSCTTY, 0) != 0))
            dprintf(2, "controlling terminal: %s\n", strerror(errno));
        // Its own /etc/hosts: a mount namespace whose changes stay in it.
        if (!options.hostsFile.empty() &&
            (unshare(CLONE_NEWNS) != 0 ||
             mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
             mount(options.hostsFile.c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr) != 0)) {
            dprintf(2, "hosts file %s: %s\n", options.hostsFile.c_str(), strerror(errno));
            _exit(126);
        }
        for (int fd = 3; fd < 1024; fd++) ::close(fd);
        execve(program.c_str(), argvp.data(), envp.data());
        dprintf(2, "exec %s: %s\n", program.c_str(), strerror(errno));
        _exit(127);
    }
    if (devNull >= 0) ::close(devNull);
    if (outPipe[1] >= 0) ::close(outPipe[1]);
    ::close(errPipe[1]);
    if (pid_ < 0) {
        ADD_FAILURE() << "fork: " << strerror(errno);
        if (outPipe[0] >= 0) ::close(outPipe[0]);
        ::close(errPipe[0]);
        return false;
    }
    reader_ = std::thread(&Server::readLogs, this, outPipe[0], errPipe[0]);
    return true;
}

void Server::readLogs(int outFd, int errFd)
{
    int fds[2] = {outFd, errFd};
    std::string *logs[2] = {&out_, &err_};
    while (fds[0] >= 0 || fds[1] >= 0) {
        struct pollfd p[2];
        for (int i = 0; i < 2; i++) p[i] = {fds[i], POLLIN, 0};
        if (poll(p, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int i = 0; i < 2; i++) {
            if (fds[i] < 0 || !p[i].revents) continue;
            char buf[4096];
            ssize_t n = ::read(fds[i], buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                ::close(fds[i]);
                fds[i] = -1;
                continue;
            }
            std::lock_guard<std::mutex> lock(mutex_);
            logs[i]->append(buf, (size_t)n);
            changed_.notify_all();
        }
    }
    for (int fd : fds)
        if (fd >= 0) ::close(fd);
    std::lock_guard<std::mutex> lock(mutex_);
    logsEnded_ = true;
    changed_.notify_all();
}

std::string Server::out()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return out_;
}

std::string Server::err()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return err_;
}

bool Server::waitLogs(const std::function<bool(const std::string &, const std::string &)> &done,
                      double seconds)
{
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::duration<double>(seconds),
                             [&] { return done(out_, err_); });
}

testing::AssertionResult Server::waitOut(const std::string &text, double seconds)
{
    if (waitLogs([&](const std::string &o, const std::string &) {
            return o.find(text) != std::string::npos;
        },
                 seconds))
        return testing::AssertionSuccess();
    return testing::AssertionFailure() << "standard output never showed \"" << escapeBytes(text)
                                       << "\"; it has \"" << escapeBytes(out()) << "\"";
}

testing::AssertionResult Server::waitErr(const std::string &text, double seconds)
{
    if (waitLogs([&](const std::string &, const std::string &e) {
            return e.find(text) != std::string::npos;
        },
                 seconds))
        return testing::AssertionSuccess();
    return testing::AssertionFailure() << "standard error never showed \"" << escapeBytes(text)
                                       << "\"; it has \"" << escapeBytes(err()) << "\"";
}

int Server::exitStatus(double seconds)
{
    exitExpected_ = true;
    if (!reaped_ && pid_ > 0) {
        int status = 0;
        if (waitUntil([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, seconds)) {
            status_ = status;
            reaped_ = true;
            // The process has ended, but its last lines may still be on the
            // way through the log pipes: let the reader take them all (a
            // Wine helper process may hold a pipe open, so only briefly).
            waitLogs([&](const std::string &, const std::string &) { return logsEnded_; }, 2.0);
        }
    }
    return reaped_ ? status_ : -1;
}

testing::AssertionResult Server::exitsWith(int code, double seconds)
{
    int status = exitStatus(seconds);
    if (status == -1) return testing::AssertionFailure() << "the server is still running";
    if (!WIFEXITED(status) || WEXITSTATUS(status) != code)
        return testing::AssertionFailure() << "the server ended with wait status " << status
                                           << ", not exit status " << code;
    return testing::AssertionSuccess();
}

long Server::memoryKb() { return Target::get().memoryKb(pid_); }

double Server::cpuSeconds()
{
    // Fields 14 and 15 of /proc/<pid>/stat, after the parenthesised name
    // (which may hold spaces): user and system time of every thread.  Under
    // Wine the process is the Windows program itself.
    FILE *f = fopen(("/proc/" + std::to_string(pid_) + "/stat").c_str(), "r");
    if (!f) return -1;
    char line[1024];
    bool read = fgets(line, sizeof line, f) != nullptr;
    fclose(f);
    const char *after = read ? strrchr(line, ')') : nullptr;
    unsigned long long user = 0, system = 0;
    if (!after || sscanf(after + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu",
                         &user, &system) != 2)
        return -1;
    return (double)(user + system) / (double)sysconf(_SC_CLK_TCK);
}

void Server::signal(int sig)
{
    if (pid_ > 0 && !reaped_) kill(pid_, sig);
}

Stream Server::connect(int receiveBuffer)
{
    Stream s = connectTo(port_, receiveBuffer);
    EXPECT_TRUE(s.expect(kGreeting)) << "the greeting of a new connection";
    return s;
}

Stream Server::login(int receiveBuffer)
{
    Stream s = connect(receiveBuffer);
    EXPECT_TRUE(s.ask(std::string(kIdentifier) + "\r\n", ".\r\n"));
    return s;
}

void Server::passTurn()
{
    Stream s = login();
    EXPECT_TRUE(s.ask("v\r\n", kVersion));
}

void Server::stop()
{
    if (pid_ > 0 && !reaped_) {
        if (waitpid(pid_, &status_, WNOHANG) == pid_) {
            if (!exitExpected_)
                ADD_FAILURE() << "the server ended by itself (wait status " << status_
                              << "); standard error: \"" << escapeBytes(err()) << "\"";
        } else {
            // Stopped as a user stops it, the server exits by itself, and a
            // sanitized build checks for leaks on the way out.  Under Wine
            // SIGTERM would end the Windows process from outside, and a
            // killed Wine process can take the wine server down with it.
            int sig = Target::get().stopsOnSignal(SIGTERM) ? SIGTERM : SIGINT;
            kill(pid_, sig);
            if (waitUntil([&] { return waitpid(pid_, &status_, WNOHANG) == pid_; })) {
                if (!WIFEXITED(status_) || WEXITSTATUS(status_) != 0)
                    ADD_FAILURE() << "the server did not stop cleanly on " << strsignal(sig)
                                  << " (wait status " << status_ << "); standard error: \""
                                  << escapeBytes(err()) << "\"";
            } else {
                ADD_FAILURE() << "the server did not stop on " << strsignal(sig);
                // A Wine process is ended from outside, never killed: that
                // can take the wine server down with it.
                kill(pid_, Target::get().isWine() ? SIGTERM : SIGKILL);
                waitUntil([&] { return waitpid(pid_, &status_, WNOHANG) == pid_; }, 10);
            }
        }
        reaped_ = true;
    }
    if (reader_.joinable()) reader_.join();
    std::string e = err();
    if (e.find("Sanitizer") != std::string::npos || e.find("runtime error") != std::string::npos)
        ADD_FAILURE() << "the server reported: " << e;
    pid_ = -1;
}

}  // namespace e2e
