// The in-memory platform seam of the fuzz targets; see fake_plat.h.
#include "fake_plat.h"
#include "io/serial_control.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <memory>
#include <utility>

FakeOutcomes fakeOutcomes;

namespace {

// Descriptors and handles share one numbering that starts above the
// console's 1, so that no fake socket is mistaken for the console.
const int firstId = 16;
const int wouldBlock = 11;
const int brokenPipe = 32;

// Each device on its own: devices never move, so pointers the harness keeps
// stay valid.  (Not a deque of devices: its indexing, on every call of the
// seam, cost more than the code under test.)
std::vector<std::unique_ptr<FakeDevice>> devices;
FakeDevice console;
int lastError = 0;
int comError = 0;
std::string lastComPath;
long long fakeNowMs = 0;
int connectLooksLeft = 0;
int lastWaitUsec = -1;
// Connects to the addresses the last lookup gave refuse below this count.
int refusedBefore = 0;
int lastAcceptedFrom = -1;
// Threads started while lookups hang: each runs when they are finished.
std::vector<std::pair<void (*)(void *), void *>> waitingThreads;

FakeDevice *openDevice(intptr_t id)
{
    FakeDevice *d = fake_device(id);
    if (!d || !d->open) {
        fprintf(stderr, "fake: descriptor %ld used while not open\n", (long)id);
        abort();
    }
    return d;
}

intptr_t newDevice(bool isCom)
{
    devices.push_back(std::make_unique<FakeDevice>());
    devices.back()->open = true;
    devices.back()->isCom = isCom;
    return firstId + (intptr_t)devices.size() - 1;
}

void closeDevice(intptr_t id)
{
    FakeDevice *d = openDevice(id);
    d->open = false;
}

}  // namespace

bool fuzz_tracing()
{
    static const bool on = getenv("FUZZ_TRACE") != nullptr;
    return on;
}

void fuzz_buffer_discarded_stderr()
{
    // A buffer of its own: asked to find one, the C library keeps the one
    // byte an unbuffered stream already has.
    static char stderrBuffer[1 << 16];
    static bool looked = false;
    if (looked) return;
    looked = true;
    struct stat err, null;
    if (fstat(2, &err) == 0 && stat("/dev/null", &null) == 0 && S_ISCHR(err.st_mode) &&
        err.st_rdev == null.st_rdev)
        setvbuf(stderr, stderrBuffer, _IOFBF, sizeof stderrBuffer);
}

std::string fuzz_escaped(const std::string &bytes)
{
    std::string s;
    for (unsigned char c : bytes) {
        char hex[8];
        if (c == '\\' || c == '"') s += '\\', s += (char)c;
        else if (c >= 0x20 && c <= 0x7e) s += (char)c;
        else snprintf(hex, sizeof hex, "\\x%02x", c), s += hex;
    }
    return s;
}

int FakeDevice::take(char *buf, int len)
{
    FUZZ_CHECK(len > 0);  // a read is never asked for 0 bytes
    if (chunks.empty()) return 0;
    // The front chunk keeps its bytes until it is used up: erasing a read
    // from its front would move the rest on every read, which the console
    // (one byte a read) makes quadratic in the chunk's length.
    const std::string &front = chunks.front();
    const size_t left = front.size() - frontTaken;
    int n = left < (size_t)len ? (int)left : len;
    memcpy(buf, front.data() + frontTaken, (size_t)n);
    taken.append(front, frontTaken, (size_t)n);
    frontTaken += (size_t)n;
    if (frontTaken == front.size()) {
        chunks.pop_front();
        frontTaken = 0;
    }
    return n;
}

size_t FakeDevice::pending() const
{
    size_t n = 0;
    for (const std::string &c : chunks) n += c.size();
    return n - frontTaken;
}

int FakeDevice::accept(const char *buf, int len)
{
    FUZZ_CHECK(len >= 0);
    int n = writeCap >= 0 && writeCap < len ? writeCap : len;
    out.append(buf, (size_t)n);
    return n;
}

void fake_reset()
{
    // A thread still waiting holds memory of the layer's: it ends first.
    fake_finish_threads();
    // Swapped with fresh objects, which then take the old memory with them:
    // clearing would keep the room the last input grew.  The harness resets
    // after each input too, so that an input frees all it allocated, and
    // libFuzzer, which runs an input again whenever it freed less than it
    // allocated, looking for a leak, runs each input once.
    {
        std::vector<std::unique_ptr<FakeDevice>> none;
        devices.swap(none);
        FakeDevice fresh;
        std::swap(console, fresh);
        FakeOutcomes defaults;
        std::swap(fakeOutcomes, defaults);
        std::string empty;
        lastComPath.swap(empty);
    }
    console.open = true;
    lastError = 0;
    fakeNowMs = 0;
    connectLooksLeft = 0;
    comError = 0;
    lastWaitUsec = -1;
    refusedBefore = 0;
    lastAcceptedFrom = -1;
}

int fake_open_socket() { return (int)newDevice(false); }

kva_handle fake_open_com() { return newDevice(true); }

FakeDevice *fake_device(intptr_t id)
{
    if (id < firstId || id >= firstId + (intptr_t)devices.size()) return nullptr;
    return devices[(size_t)(id - firstId)].get();
}

FakeDevice &fake_console() { return console; }

int fake_open_count()
{
    int n = 0;
    for (const std::unique_ptr<FakeDevice> &d : devices) n += d->open ? 1 : 0;
    return n;
}

const std::string &fake_last_com_path() { return lastComPath; }

void fake_advance_ms(long long ms) { fakeNowMs += ms; }

void fake_finish_threads()
{
    std::vector<std::pair<void (*)(void *), void *>> run;
    run.swap(waitingThreads);
    for (const std::pair<void (*)(void *), void *> &t : run) t.first(t.second);
}

int fake_last_wait_usec() { return lastWaitUsec; }

int fake_last_accepted_from() { return lastAcceptedFrom; }

void kvp_process_start() {}

// ---- socket library ----------------------------------------------------------

int kvp_net_start(int *granted)
{
    *granted = 2;
    return fakeOutcomes.netStartOk ? 0 : 10091;  // WSASYSNOTREADY
}

void kvp_net_stop() {}

int kvp_last_error() { return lastError; }

int kvp_is_would_block(int err) { return err == wouldBlock; }

long kvp_fionbio_code() { return 0x8004667eL; }

long long kvp_now_ms() { return fakeNowMs; }

int kvp_wait_tells_input(int) { return 1; }

void kvp_file_path(const char *dir, const char *name, char *out, int size)
{
    snprintf(out, (size_t)size, "%s/%s", dir, name);
}

// Log files: none is ever opened here (no target holds ports for a log).
kva_handle kvp_file_open_append(const char *) { return -1; }
long long kvp_file_size(kva_handle) { return -1; }
int kvp_file_write(kva_handle, const char *, int) { return -1; }
void kvp_file_close(kva_handle) {}
void kvp_file_error(char *text, int size) { snprintf(text, (size_t)size, "no files here"); }

int kvp_wait(KvpWatch *watches, int n, int usec)
{
    // Input is ready where a device has some (or its end, or a failure);
    // nothing else is ever reported ready: the harnesses step the endpoints
    // themselves, as the loop does after every wait.
    lastWaitUsec = usec;
    int ready = 0;
    for (int i = 0; i < n; i++) {
        KvpWatch &w = watches[i];
        FakeDevice *d = w.kind == KVP_CONSOLE ? &console : fake_device(w.id);
        bool input = d && d->open && (d->hasInput() || d->eof || d->readError);
        w.ready = (w.events & KVP_IN) && input ? KVP_IN : 0;
        if (w.ready) ready++;
    }
    return ready;
}

int kvp_run(int (*serverMain)(int argc, char **argv), int argc, char **argv)
{
    return serverMain(argc, argv);
}

void kvp_stop_watch() {}

int kvp_stop_requested() { return 0; }

int kvp_reload_requested() { return 0; }

int kvp_family_code(int family) { return family == KVP_IPV6 ? 23 : 2; }

int kvp_socket(int family)
{
    if (!fakeOutcomes.socketOk || (family == KVP_IPV6 && !fakeOutcomes.ipv6)) return -1;
    int s = fake_open_socket();
    fake_device(s)->family = family;
    return s;
}

int kvp_set_v6only(int s, int on)
{
    openDevice(s);
    return on || fakeOutcomes.dualStack ? 0 : -1;
}

int kvp_bind_listener(int s, int family, unsigned short)
{
    openDevice(s);
    if (family != KVP_IPV6 || !fakeOutcomes.ipv6BindError) return 0;
    lastError = fakeOutcomes.ipv6BindError;
    return -1;
}

int kvp_is_address_in_use(int err) { return err == 98; }

int kvp_listen(int, int) { return 0; }

int kvp_bound_port(int) { return 9999; }

int kvp_accept(int s, KvpAddr *peer)
{
    lastAcceptedFrom = s;
    memset(peer, 0, sizeof *peer);
    peer->family = KVP_IPV4;
    const unsigned char loopback[4] = {127, 0, 0, 1};
    memcpy(peer->ip, loopback, 4);
    peer->port = 40000;
    return fake_open_socket();
}

int kvp_peer(int, KvpAddr *) { return -1; }

// An address is anything made of digits and dots (read as 127.0.0.1), or
// holding a colon (read as ::1), and needs no lookup.  A name's addresses
// are 127.0.0.1, ::2, 127.0.0.3, ... (the last byte counts them), see
// FakeOutcomes; a lookup's thread runs at once, unless lookups hang.
int kvp_resolve(const char *host, int numericOnly, KvpAddr *out, int max)
{
    FUZZ_CHECK(host != nullptr && max > 0);
    const size_t len = strlen(host);
    const bool dotted = len > 0 && strspn(host, "0123456789.") == len;
    const bool numeric = dotted || strchr(host, ':') != nullptr;
    if (!numeric && (numericOnly || !fakeOutcomes.lookupOk)) return 0;
    int n = numeric ? 1 : fakeOutcomes.addressCount >= 0 ? fakeOutcomes.addressCount
                                                          : 1 + (int)(len % 3);
    if (n > max) n = max;
    for (int i = 0; i < n; i++) {
        memset(&out[i], 0, sizeof out[i]);
        const bool v6 = numeric ? !dotted : i % 2 == 1;
        out[i].family = v6 ? KVP_IPV6 : KVP_IPV4;
        if (!v6) out[i].ip[0] = 127;
        out[i].ip[v6 ? 15 : 3] = (unsigned char)(1 + i);
    }
    if (!numeric && fakeOutcomes.refusingAddresses < 0) refusedBefore = len % 2 ? n - 1 : 0;
    else refusedBefore = numeric ? 0 : fakeOutcomes.refusingAddresses;
    return n;
}

int kvp_thread_start(void (*fn)(void *arg), void *arg)
{
    if (fakeOutcomes.threadError) return fakeOutcomes.threadError;
    if (fakeOutcomes.lookupHangs) waitingThreads.push_back(std::make_pair(fn, arg));
    else fn(arg);
    return 0;
}

int kvp_connect_start(int s, const KvpAddr *to)
{
    openDevice(s);
    const int index = to->ip[to->family == KVP_IPV6 ? 15 : 3] - 1;
    if (!fakeOutcomes.connectOk || index < refusedBefore) {
        lastError = 111;
        return -1;
    }
    connectLooksLeft = fakeOutcomes.connectSteps;
    return connectLooksLeft > 0 ? 1 : 0;
}

int kvp_connect_result(int s)
{
    openDevice(s);
    if (connectLooksLeft > 0) {
        connectLooksLeft--;
        return 1;
    }
    fake_device(s)->push(fakeOutcomes.hostGreeting);
    return 0;
}

int kvp_timed_out_error() { return 110; }

void kvp_keepalive(int s, int, int, int) { openDevice(s); }

int kvp_set_nonblocking(int s)
{
    openDevice(s);
    return 0;
}

int kvp_recv(int s, char *buf, int len)
{
    FakeDevice *d = openDevice(s);
    if (d->readError) {
        lastError = 104;
        return -1;
    }
    if (!d->hasInput()) {
        if (d->eof) return 0;
        lastError = wouldBlock;
        return -1;
    }
    return d->take(buf, len);
}

int kvp_send(int s, const char *buf, int len)
{
    FakeDevice *d = openDevice(s);
    if (d->writeError) {
        lastError = brokenPipe;
        return -1;
    }
    int n = d->accept(buf, len);
    if (n == 0 && len > 0) {
        lastError = wouldBlock;
        return -1;
    }
    return n;
}

void kvp_close_socket(int s) { closeDevice(s); }

// ---- serial ports ---------------------------------------------------------------

kva_handle kvp_com_open(const char *path)
{
    lastComPath = path;
    if (!fakeOutcomes.comOpenOk) {
        comError = 2;
        return -1;
    }
    return fake_open_com();
}

int kvp_com_configure(kva_handle h, int)
{
    openDevice(h);
    return 1;
}

int kvp_com_frame_8n1(kva_handle h)
{
    openDevice(h);
    return 1;
}

int kvp_com_set_timeouts(kva_handle h, int forRead)
{
    openDevice(h);
    if (forRead || fakeOutcomes.comTimeoutsOk) return 1;
    comError = 87;
    return 0;
}

int kvp_com_read(kva_handle h, char *buf, int len, int *got)
{
    FakeDevice *d = openDevice(h);
    *got = 0;
    if (d->readError) {
        comError = 995;
        return 0;
    }
    if (d->hasInput()) *got = d->take(buf, len);
    else FUZZ_CHECK(len > 0);
    return 1;
}

int kvp_com_write(kva_handle h, const char *buf, int len, int *put)
{
    FakeDevice *d = openDevice(h);
    *put = 0;
    if (d->writeError) {
        comError = 995;
        return 0;
    }
    *put = d->accept(buf, len);
    return 1;
}

long kvp_com_close_begin(kva_handle h, long *baud)
{
    *baud = openDevice(h)->baud;
    return kvp_com_output_left(h);
}

long kvp_com_output_left(kva_handle h) { return openDevice(h)->outputHeld; }

void kvp_com_flush_output(kva_handle h)
{
    FakeDevice *d = openDevice(h);
    d->flushed += d->outputHeld;
    d->outputHeld = 0;
}

void kvp_com_close(kva_handle h) { closeDevice(h); }

void kvp_sleep_ms(int ms) { fakeNowMs += ms; }

int kvp_com_last_error() { return comError; }

const char *kvp_com_error_text(int) { return "error"; }

// ---- console ------------------------------------------------------------------------

void kvp_console_open() {}

void kvp_console_keys_raw(int) {}

int kvp_kbhit() { return console.hasInput() ? 1 : 0; }

int kvp_getch()
{
    char c = 0;
    if (console.hasInput()) console.take(&c, 1);
    return (unsigned char)c;
}

int kvp_write_stdout(const char *p, int n)
{
    if (console.writeError) return -1;
    return console.accept(p, n);
}

// ---- registry ------------------------------------------------------------------------

namespace {

enum FakeKey { serialCommKey = 1, productKey = 2 };
const long fileNotFound = 2;

}  // namespace

long kvp_reg_open(const char *path, kvp_key *key)
{
    if (strcmp(path, "HARDWARE\\DEVICEMAP\\SERIALCOMM") == 0 && fakeOutcomes.serialCommOk) {
        *key = serialCommKey;
        return 0;
    }
    if (strcmp(path, "SYSTEM\\CurrentControlSet\\Control\\ProductOptions") == 0 &&
        fakeOutcomes.productOk) {
        *key = productKey;
        return 0;
    }
    return fileNotFound;
}

long kvp_reg_enum(kvp_key key, unsigned long index, char *name, unsigned long *nameLen,
                  unsigned char *data, unsigned long *dataLen)
{
    FUZZ_CHECK(key == serialCommKey);
    if (index >= fakeOutcomes.ports.size()) return KVP_ERROR_NO_MORE_ITEMS;
    const std::string &n = fakeOutcomes.ports[index].first;
    const std::string &v = fakeOutcomes.ports[index].second;
    // As the registry does: the name's capacity counts its NUL, a name or
    // data that does not fit gives "more data".
    if (n.size() + 1 > *nameLen || v.size() > *dataLen) return KVP_ERROR_MORE_DATA;
    memcpy(name, n.c_str(), n.size() + 1);
    *nameLen = n.size();
    memcpy(data, v.data(), v.size());
    *dataLen = v.size();
    return 0;
}

long kvp_reg_query(kvp_key key, const char *value, unsigned char *data, unsigned long *dataLen)
{
    FUZZ_CHECK(key == productKey);
    if (!fakeOutcomes.productTypeOk || strcmp(value, "ProductType") != 0) return fileNotFound;
    const std::string &v = fakeOutcomes.productType;
    if (v.size() > *dataLen) {
        *dataLen = v.size();
        return KVP_ERROR_MORE_DATA;
    }
    memcpy(data, v.data(), v.size());
    *dataLen = v.size();
    return 0;
}

void kvp_reg_close(kvp_key key) { FUZZ_CHECK(key == serialCommKey || key == productKey); }

// ---- serial line control ------------------------------------------------
//
// A fake port's line: whatever is set is in force, and it has no modem
// lines and counts nothing.  The COM-PORT option's own target drives the
// option over a recorded line of its own (fuzz_telnet.cpp).

namespace {
KvsLine fakeLine = {9600, 8, KvsParityNone, KvsStopOne, KvsFlowNone};
}

int kvs_get_line(kva_handle, KvsLine *line)
{
    *line = fakeLine;
    return 1;
}

int kvs_set_line(kva_handle, const KvsLine *line)
{
    fakeLine = *line;
    return 1;
}

int kvs_set_dtr(kva_handle, int) { return 1; }

int kvs_set_rts(kva_handle, int) { return 1; }

int kvs_set_break(kva_handle, int) { return 1; }

int kvs_modem_lines(kva_handle, int *lines)
{
    *lines = 0;
    return 1;
}

int kvs_line_counts(kva_handle, KvsLineCounts *counts)
{
    *counts = KvsLineCounts{0, 0, 0, 0};
    return 1;
}

int kvs_purge(kva_handle, int, int) { return 1; }

long kvs_output_held(kva_handle) { return 0; }

int kvs_last_error() { return 0; }

// No password is typed and no salt drawn in a fuzzed session.
int kvp_random(void *, int) { return -1; }

int kvp_read_secret(const char *, char *, int) { return -1; }
