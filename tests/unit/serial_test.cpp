// Serial ports on POSIX: the COM name rule, and real pseudo-terminals reached
// through the port map (VELKOR_PORTS) standing in for serial ports.
#include "unit_helpers.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <functional>

namespace {

int fdOf(kva_handle h) { return (int)h; }

// Reads through the layer until `want` bytes came or the deadline passed.
std::string readCom(kva_handle h, size_t want)
{
    std::string got;
    e2e::waitUntil([&] {
        char b[512];
        int n = kva_read_com(h, b, sizeof b);
        if (n > 0) got.append(b, (size_t)n);
        return got.size() >= want;
    });
    return got;
}

TEST(ComName, Rule)
{
    unit::Ports ports;  // empty: every name that passes the rule fails to open
    const std::string forty = "COMPORT-WITH-A-VERY-LONG-NAME-0123456789";
    struct Case {
        std::string name;
        std::string err;
    };
    const std::string missing = ": not opened, does not exist (error " + std::to_string(ENOENT) + ")\n";
    const Case cases[] = {
        {"COM1", "COM1" + missing},
        {"COM12", "COM12" + missing},
        {"COM999", "COM999" + missing},
        {"COM", "COM" + missing},  // passes the rule, then has no place in the map
        {"COM1000", "Not a COM port name COM1000\n"},
        {"com1", "Not a COM port name com1\n"},
        {"LPT1", "Not a COM port name LPT1\n"},
        {"", "Not a COM port name \n"},
        {forty, "Not a COM port name " + forty.substr(0, 32) + "\n"},
    };
    for (const Case &k : cases) {
        unit::Capture c;
        kva_handle h = kva_open_com(k.name.c_str(), 9600);
        c.stop();
        EXPECT_EQ(h, INVALID_HANDLE_VALUE) << k.name;
        EXPECT_EQ(c.err, k.err) << k.name;
        EXPECT_EQ(c.out, "") << k.name;
    }
}

class SerialPty : public ::testing::Test {
protected:
    e2e::Pty pty;
    unit::Ports ports;
    void SetUp() override
    {
        ports.add(5, pty.slavePath());
    }
};

TEST_F(SerialPty, OpenReadWriteClose)
{
    unit::Capture c;
    kva_handle h = kva_open_com("COM5", 9600);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);

    char b[64];
    long long t0 = unit::nowMs();
    EXPECT_EQ(kva_read_com(h, b, sizeof b), 0);  // nothing there: at once
    EXPECT_LT(unit::nowMs() - t0, 100);

    ASSERT_TRUE(pty.master().send("hello"));
    EXPECT_EQ(readCom(h, 5), "hello");

    EXPECT_EQ(kva_write_com(h, "world", 0), 0);
    EXPECT_EQ(kva_write_com(h, "world", 5), 5);
    EXPECT_TRUE(pty.master().expect("world"));

    EXPECT_EQ(kva_close_com(h), 0);
    EXPECT_EQ(fcntl(fdOf(h), F_GETFD), -1);
    c.stop();
    EXPECT_EQ(c.out, "");
    EXPECT_EQ(c.err, "");
}

TEST_F(SerialPty, AllByteValuesPassUnchangedBothWays)
{
    kva_handle h = kva_open_com("COM5", 115200);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    const std::string all = e2e::allByteValues();
    // Twice over, so that every byte also follows every other kind of byte
    // the line discipline might react to (CR, LF, ^C, ^S, ^Q, ^V, DEL, 0xFF).
    const std::string data = all + all;

    ASSERT_TRUE(pty.master().send(data));
    EXPECT_EQ(readCom(h, data.size()), data);

    size_t done = 0;
    while (done < data.size()) {
        int n = kva_write_com(h, data.data() + done, (int)(data.size() - done));
        ASSERT_GE(n, 0);
        done += (size_t)n;
    }
    EXPECT_TRUE(pty.master().expect(data));
    kva_close_com(h);
}

// An open port is its opener's alone until it is closed: a second open
// fails, with the reason logged, in this process and in another, with root
// rights or without.  Closing leaves no trace of the hold: the tty's exclusive flag
// goes with the handle (a pseudo-terminal would otherwise keep it for as
// long as its master side exists, and bar every program without root).
TEST_F(SerialPty, OpenIsExclusiveUntilClosed)
{
    auto opens = [] {
        kva_handle h = kva_open_com("COM5", 9600);
        if (h == INVALID_HANDLE_VALUE) return false;
        kva_close_com(h);
        return true;
    };
    struct Opener {
        const char *who;
        std::function<bool()> opens;
    };
    std::vector<Opener> openers = {
        {"this process", opens},
        {"another process", [&] { return unit::inChild([&] { return opens() ? 0 : 1; }) == 0; }},
    };
    if (geteuid() == 0) {
        chmod(pty.slavePath().c_str(), 0666);
        chmod(ports.dir().c_str(), 0755);
        openers.push_back({"a process without root rights", [&] {
                               return unit::inChild([&] {
                                          if (setgid(65534) != 0 || setuid(65534) != 0) return 2;
                                          return opens() ? 0 : 1;
                                      }) == 0;
                           }});
    }

    kva_handle h = kva_open_com("COM5", 9600);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    int excl = -1;
    ASSERT_EQ(ioctl(fdOf(h), TIOCGEXCL, &excl), 0);
    EXPECT_EQ(excl, 1);
    unit::Capture c;
    std::vector<std::string> openedWhileHeld;
    for (const Opener &o : openers)
        if (o.opens()) openedWhileHeld.push_back(o.who);
    c.stop();
    EXPECT_EQ(openedWhileHeld, std::vector<std::string>{}) << "opened the held port";
    EXPECT_EQ(e2e::countOf(c.err, "COM5: not opened, in use by another program (error "),
              openers.size())
        << c.err;
    EXPECT_EQ(e2e::countOf(c.err, "\n"), openers.size()) << c.err;

    kva_close_com(h);
    for (const Opener &o : openers) EXPECT_TRUE(o.opens()) << o.who << ", once it was closed";
    int probe = open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(probe, 0) << strerror(errno);
    excl = -1;
    ASSERT_EQ(ioctl(probe, TIOCGEXCL, &excl), 0);
    EXPECT_EQ(excl, 0);
    close(probe);
}

// A rate the port cannot be set to (0 would hang the line up) fails the
// open, and the line keeps the speed it had; any other is the line's rate.
TEST_F(SerialPty, RateTheDeviceCannotTakeFailsTheOpenAndLeavesTheSpeedAlone)
{
    struct Case {
        int baud;
        bool opens;
        speed_t expect;  // B0: the speed the port had before
    };
    // A rate without a Bxxx name is set as a number where the system can.
#ifdef VELKOR_NAMED_RATES_ONLY
    const bool unnamedOpens = false;
#else
    const bool unnamedOpens = true;
#endif
    const Case cases[] = {{9600, true, B9600},          {0, false, B0},
                          {115200, true, B115200},      {12345, unnamedOpens, B0},
                          {-9600, false, B0},           {2400, true, B2400}};
    const speed_t before = B38400;
    {
        struct termios t;
        tcgetattr(pty.slaveFd(), &t);
        cfsetospeed(&t, before);
        cfsetispeed(&t, before);
        tcsetattr(pty.slaveFd(), TCSANOW, &t);
    }
    for (const Case &k : cases) {
        SCOPED_TRACE(k.baud);
        kva_handle h = kva_open_com("COM5", k.baud);
        if (!k.opens) {
            EXPECT_EQ(h, INVALID_HANDLE_VALUE);
            struct termios t;
            ASSERT_EQ(tcgetattr(pty.slaveFd(), &t), 0);
            EXPECT_EQ(cfgetospeed(&t), before);
            continue;
        }
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        if (k.expect != B0) {
            struct termios t;
            ASSERT_EQ(tcgetattr(fdOf(h), &t), 0);
            EXPECT_EQ(cfgetospeed(&t), k.expect);
            EXPECT_EQ(cfgetispeed(&t), k.expect);
        }
        // The line was not hung up: bytes still pass.
        ASSERT_TRUE(pty.master().send("ok"));
        EXPECT_EQ(readCom(h, 2), "ok");
        EXPECT_EQ(kva_write_com(h, "up", 2), 2);
        EXPECT_TRUE(pty.master().expect("up"));
        kva_close_com(h);
    }
}

// Closing a port puts back the settings it had when it was opened, so the
// next program that opens it does not inherit a transparent line at
// another speed.
TEST_F(SerialPty, ClosingPutsTheSettingsBack)
{
    int fd = pty.slaveFd();
    struct termios before;
    tcgetattr(fd, &before);
    before.c_lflag |= ECHO | ICANON;
    before.c_iflag |= ICRNL;
    before.c_oflag |= OPOST;
    cfsetospeed(&before, B9600);
    cfsetispeed(&before, B9600);
    tcsetattr(fd, TCSANOW, &before);
    tcgetattr(fd, &before);

    kva_handle h = kva_open_com("COM5", 115200);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    struct termios during;
    tcgetattr(fd, &during);
    EXPECT_EQ(cfgetospeed(&during), (speed_t)B115200);
    EXPECT_EQ(during.c_lflag & (ECHO | ICANON), 0u);
    kva_close_com(h);

    struct termios after;
    tcgetattr(fd, &after);
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_EQ(after.c_oflag, before.c_oflag);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(after.c_cflag, before.c_cflag);
    EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before));
    EXPECT_EQ(memcmp(after.c_cc, before.c_cc, sizeof after.c_cc), 0);
}

TEST_F(SerialPty, TheLineIsTransparentAndKeepsCharacterFormat)
{
    // Whatever character format the device holds (a pty keeps only some of
    // these bits) is left as it is; only the line discipline changes.
    const tcflag_t format = CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS;
    int fd = pty.slaveFd();
    struct termios t;
    tcgetattr(fd, &t);
    t.c_cflag = (t.c_cflag & ~(tcflag_t)CSIZE) | CS7 | PARENB | CSTOPB | CRTSCTS;
    tcsetattr(fd, TCSANOW, &t);
    tcgetattr(fd, &t);
    tcflag_t before = t.c_cflag & format;

    kva_handle h = kva_open_com("COM5", 9600);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    ASSERT_EQ(tcgetattr(fdOf(h), &t), 0);
    EXPECT_EQ(t.c_cflag & format, before);
    EXPECT_EQ(t.c_lflag & (ECHO | ICANON | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.c_iflag & (ICRNL | INLCR | IGNCR | IXON | IXOFF | ISTRIP), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    kva_close_com(h);
}

TEST_F(SerialPty, TransfersAfterTheOtherSideFailedReportAndFail)
{
    kva_handle h = kva_open_com("COM5", 9600);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    pty.master().close();  // the line is gone (a pty hangs up its slave)
    char b[16];
    unit::Capture c;
    int r1 = kva_read_com(h, b, sizeof b);
    int r2 = kva_read_com(h, b, sizeof b);
    int w = kva_write_com(h, "x", 1);
    c.stop();
    EXPECT_EQ(r1, -1);
    EXPECT_EQ(r2, -1);
    EXPECT_EQ(w, -1);
    char ptr[32];
    snprintf(ptr, sizeof ptr, "%p", (void *)h);
    // Of the failed reads in a row only the first is logged, with the port.
    EXPECT_EQ(c.err, "COM5: ReadFile error 5\nWriteFile error " + std::string(ptr) + " 5\n");
    EXPECT_EQ(c.out, "");
    EXPECT_NE(fcntl(fdOf(h), F_GETFD), -1);  // closing the port is the endpoint's choice
    kva_close_com(h);
}

}  // namespace

namespace {

// A serial endpoint whose writes keep failing: a hundred failures in a row
// are absorbed (each logged by the layer), the next gives the port up, and
// nothing more is logged for it: the write-failure line of sockets and the
// console is not a serial port's.  The null line discipline makes every
// transfer of the tty fail while the far side stays.
TEST_F(SerialPty, AnEndpointWhoseWritesKeepFailingIsGivenUpQuietly)
{
    OutFifo *f = openComFifo("COM5", 9600);
    ASSERT_NE(f, nullptr);
    char *p = f->alloc(5);
    memcpy(p, "hello", 5);
    f->commit(p, 5);
    int nullDiscipline = 27;  // N_NULL
    if (ioctl(pty.slaveFd(), TIOCSETD, &nullDiscipline) != 0) {
        delete f;
        GTEST_SKIP() << "this kernel has no null line discipline: " << strerror(errno);
    }
    unit::Capture c;
    int calls = 0;
    while (calls < 200 && f->process() == 0) calls++;
    c.stop();
    int terminal = 0;  // N_TTY
    ioctl(pty.slaveFd(), TIOCSETD, &terminal);
    EXPECT_EQ(calls, 100);
    EXPECT_FALSE(f->isOpen());
    EXPECT_NE(c.err.find("WriteFile error"), std::string::npos) << c.err;
    EXPECT_EQ(c.err.find("OutFifo::process"), std::string::npos) << c.err;
    delete f;
}

}  // namespace
