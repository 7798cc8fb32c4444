// Serial ports on POSIX: the COM name rule, and real pseudo-terminals reached
// through the port map (VELKOR_PORTS) standing in for serial ports.
#include "fixtures.h"

#include <gtest/gtest.h>

namespace {

int fdOf(kva_handle h) { return (int)h; }

// Reads through the layer until `want` bytes came or the time-out ran out.
std::string readCom(kva_handle h, size_t want, int timeoutMs = 3000)
{
    std::string got;
    long long end = fx::nowMs() + timeoutMs;
    while (got.size() < want && fx::nowMs() < end) {
        char b[512];
        int n = kva_read_com(h, b, sizeof b);
        if (n > 0) got.append(b, (size_t)n);
        else usleep(1000);
    }
    return got;
}

TEST(ComName, Rule)
{
    fx::PortDir ports;  // empty: every name that passes the rule fails to open
    const std::string forty = "COMPORT-WITH-A-VERY-LONG-NAME-0123456789";
    ASSERT_EQ(forty.size(), 40u);
    struct Case {
        std::string name;
        std::string err;
    };
    const Case cases[] = {
        {"COM1", ""},
        {"COM12", ""},
        {"COM999", ""},
        {"COM", ""},  // passes the rule, then fails silently
        {"COM1000", "Not a COM port name COM1000\n"},
        {"com1", "Not a COM port name com1\n"},
        {"LPT1", "Not a COM port name LPT1\n"},
        {"", "Not a COM port name \n"},
        {forty, "Not a COM port name " + forty.substr(0, 32) + "\n"},
    };
    for (const Case &k : cases) {
        fx::Capture c;
        kva_handle h = kva_open_com(k.name.c_str(), 9600);
        c.stop();
        EXPECT_EQ(h, INVALID_HANDLE_VALUE) << k.name;
        EXPECT_EQ(c.err, k.err) << k.name;
        EXPECT_EQ(c.out, "") << k.name;
    }
}

class SerialPty : public ::testing::Test {
protected:
    fx::Pty pty;
    fx::PortDir ports;
    void SetUp() override
    {
        ports.link("COM5", pty.slave);
        idleSleepMs = 50;
    }
};

TEST_F(SerialPty, OpenReadWriteClose)
{
    fx::Capture c;
    kva_handle h = kva_open_com("COM5", 9600);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);

    char b[64];
    idleSleepMs = 7;
    long long t0 = fx::nowMs();
    EXPECT_EQ(kva_read_com(h, b, sizeof b), 0);  // nothing there: at once
    EXPECT_LT(fx::nowMs() - t0, 100);
    EXPECT_EQ(idleSleepMs, 7);

    ASSERT_EQ(write(pty.master, "hello", 5), 5);
    EXPECT_EQ(readCom(h, 5), "hello");
    EXPECT_EQ(idleSleepMs, 0);

    idleSleepMs = 7;
    EXPECT_EQ(kva_write_com(h, "world", 0), 0);
    EXPECT_EQ(idleSleepMs, 7);
    EXPECT_EQ(kva_write_com(h, "world", 5), 5);
    EXPECT_EQ(idleSleepMs, 0);
    EXPECT_EQ(fx::readSome(pty.master, 5), "world");

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
    const std::string all = fx::allBytes();
    // Twice over, so that every byte also follows every other kind of byte
    // the line discipline might react to (CR, LF, ^C, ^S, ^Q, ^V, DEL, 0xFF).
    const std::string data = all + all;

    ASSERT_EQ(write(pty.master, data.data(), data.size()), (ssize_t)data.size());
    EXPECT_EQ(readCom(h, data.size()), data);

    size_t done = 0;
    while (done < data.size()) {
        int n = kva_write_com(h, data.data() + done, (int)(data.size() - done));
        ASSERT_GE(n, 0);
        done += (size_t)n;
    }
    EXPECT_EQ(fx::readSome(pty.master, (int)data.size()), data);
    kva_close_com(h);
}

TEST_F(SerialPty, OpenIsExclusiveAlsoForRootAndAnotherProcess)
{
    kva_handle h = kva_open_com("COM5", 9600);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    fx::Capture c;
    EXPECT_EQ(kva_open_com("COM5", 9600), INVALID_HANDLE_VALUE);  // this server again
    c.stop();
    EXPECT_EQ(c.err, "");

    pid_t child = fork();
    if (child == 0) _exit(kva_open_com("COM5", 9600) == INVALID_HANDLE_VALUE ? 0 : 1);
    int st;
    waitpid(child, &st, 0);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << "another process opened the port";

    kva_close_com(h);
    kva_handle again = kva_open_com("COM5", 9600);  // free again once closed
    EXPECT_NE(again, INVALID_HANDLE_VALUE);
    kva_close_com(again);
}

// A port that was opened and closed again carries no trace of the open: the
// tty's exclusive flag goes with the handle, so a program without root
// rights can open it afterwards (for a pseudo-terminal the flag would
// otherwise outlive the open for as long as the master side exists).
TEST_F(SerialPty, ClosingReleasesTheExclusiveFlag)
{
    kva_handle h = kva_open_com("COM5", 9600);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    int excl = -1;
    ASSERT_EQ(ioctl(fdOf(h), TIOCGEXCL, &excl), 0);
    EXPECT_EQ(excl, 1);
    kva_close_com(h);

    int probe = open(pty.slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(probe, 0) << strerror(errno);
    excl = -1;
    ASSERT_EQ(ioctl(probe, TIOCGEXCL, &excl), 0);
    EXPECT_EQ(excl, 0);
    close(probe);

    if (geteuid() == 0) {
        chmod(pty.slave.c_str(), 0666);
        chmod(ports.dir.c_str(), 0755);
        pid_t child = fork();
        if (child == 0) {
            if (setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
            kva_handle x = kva_open_com("COM5", 9600);
            _exit(x == INVALID_HANDLE_VALUE ? 1 : 0);
        }
        int st;
        waitpid(child, &st, 0);
        EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << "status " << st;
    }
}

TEST_F(SerialPty, BaudRatesTheDeviceHasNoSpeedForLeaveTheSpeedAlone)
{
    struct Case {
        int baud;
        speed_t expect;  // B0: the speed the port had before
    };
    const Case cases[] = {{9600, B9600},   {0, B0},       {115200, B115200},
                          {12345, B0},     {-9600, B0},   {2400, B2400}};
    const speed_t before = B38400;
    {
        struct termios t;
        int fd = open(pty.slave.c_str(), O_RDWR | O_NOCTTY);
        tcgetattr(fd, &t);
        cfsetospeed(&t, before);
        cfsetispeed(&t, before);
        tcsetattr(fd, TCSANOW, &t);
        close(fd);
    }
    for (const Case &k : cases) {
        kva_handle h = kva_open_com("COM5", k.baud);
        ASSERT_NE(h, INVALID_HANDLE_VALUE) << k.baud;
        struct termios t;
        ASSERT_EQ(tcgetattr(fdOf(h), &t), 0);
        speed_t want = k.expect == B0 ? before : k.expect;
        EXPECT_EQ(cfgetospeed(&t), want) << k.baud;
        EXPECT_EQ(cfgetispeed(&t), want) << k.baud;
        // The line was not hung up: bytes still pass.
        ASSERT_EQ(write(pty.master, "ok", 2), 2);
        EXPECT_EQ(readCom(h, 2), "ok") << k.baud;
        EXPECT_EQ(kva_write_com(h, "up", 2), 2) << k.baud;
        EXPECT_EQ(fx::readSome(pty.master, 2), "up") << k.baud;
        kva_close_com(h);
    }
}

// Closing a port puts back the settings it had when it was opened, so the
// next program that opens it does not inherit a transparent line at
// another speed.
TEST_F(SerialPty, ClosingPutsTheSettingsBack)
{
    int fd = open(pty.slave.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
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
    close(fd);
}

TEST_F(SerialPty, TheLineIsTransparentAndKeepsCharacterFormat)
{
    // Whatever character format the device holds (a pty keeps only some of
    // these bits) is left as it is; only the line discipline changes.
    const tcflag_t format = CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS;
    int fd = open(pty.slave.c_str(), O_RDWR | O_NOCTTY);
    struct termios t;
    tcgetattr(fd, &t);
    t.c_cflag = (t.c_cflag & ~(tcflag_t)CSIZE) | CS7 | PARENB | CSTOPB | CRTSCTS;
    tcsetattr(fd, TCSANOW, &t);
    tcgetattr(fd, &t);
    tcflag_t before = t.c_cflag & format;
    close(fd);

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
    close(pty.master);  // the line is gone (a pty hangs up its slave)
    pty.master = -1;
    char b[16];
    fx::Capture c;
    int r1 = kva_read_com(h, b, sizeof b);
    int r2 = kva_read_com(h, b, sizeof b);
    int w = kva_write_com(h, "x", 1);
    c.stop();
    EXPECT_EQ(r1, -1);
    EXPECT_EQ(r2, -1);
    EXPECT_EQ(w, -1);
    char ptr[32];
    snprintf(ptr, sizeof ptr, "%p", (void *)h);
    EXPECT_EQ(c.err, "ReadFile error 5\nReadFile error 5\nWriteFile error " + std::string(ptr) +
                         " 5\n");
    EXPECT_EQ(c.out, "");
    EXPECT_NE(fcntl(fdOf(h), F_GETFD), -1);  // closing the port is the endpoint's choice
    kva_close_com(h);
}

}  // namespace
