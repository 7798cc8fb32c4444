// The built-in port maps of POSIX builds (io/portmap_posix.h): the macOS
// rule over a directory standing in for /dev, and this system's numbered
// map, whose listing and opening must name the same devices.
#include "io/portmap_posix.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

namespace {

typedef std::vector<std::pair<int, std::string>> Listing;

void collect(void *ctx, int number, const char *device)
{
    ((Listing *)ctx)->push_back({number, device});
}

TEST(PortMap, MacosRuleNumbersTheSerialCallOutDevicesInNameOrder)
{
    char tmpl[] = "/tmp/velkor-dev-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string dir = tmpl;
    // What a Mac's /dev holds beside its adapters: the call-in (tty.)
    // twins, the Bluetooth ports and the debug consoles.
    const char *const entries[] = {
        "cu.usbserial-A10K", "cu.Bluetooth-Incoming-Port", "cu.debug-console",
        "cu.wlan-debug",     "tty.usbserial-A10K",         "cu.usbmodem1101",
        "cu.BLTH",           "cu.",                        "cu.SLAB_USBtoUART",
        "cuau0",             "console",
    };
    for (const char *e : entries) {
        int fd = open((dir + "/" + e).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0) << e;
        close(fd);
    }
    Listing got;
    portmap_callout_each(dir.c_str(), collect, &got);
    const Listing want = {{1, dir + "/cu.SLAB_USBtoUART"},
                          {2, dir + "/cu.usbmodem1101"},
                          {3, dir + "/cu.usbserial-A10K"}};
    EXPECT_EQ(got, want);

    for (const char *e : entries) unlink((dir + "/" + e).c_str());
    rmdir(dir.c_str());
    got.clear();
    portmap_callout_each(dir.c_str(), collect, &got);  // gone: no ports, no failure
    EXPECT_TRUE(got.empty());
}

TEST(PortMap, BuiltInListingAndOpeningNameTheSameDevices)
{
    unsetenv("VELKOR_PORTS");
    Listing listed;
    portmap_builtin_each(collect, &listed);
    int last = 0;
    for (const auto &p : listed) {
        EXPECT_GT(p.first, last) << "listed out of order: COM" << p.first;
        last = p.first;
        char path[1024];
        std::string name = "COM" + std::to_string(p.first);
        ASSERT_TRUE(portmap_device_path(name.c_str(), path, sizeof path)) << name;
        EXPECT_EQ(path, p.second) << name;
    }
#ifdef __linux__
    // The ends of each of Linux's ranges, and names beyond them.
    const std::pair<const char *, const char *> cases[] = {
        {"COM1", "/dev/ttyS0"},     {"COM99", "/dev/ttyS98"},    {"COM100", "/dev/ttyUSB0"},
        {"COM199", "/dev/ttyUSB99"}, {"COM200", "/dev/ttyACM0"}, {"COM299", "/dev/ttyACM99"},
        {"COM300", nullptr},        {"COM0", nullptr},           {"COM01", nullptr},
    };
    for (const auto &c : cases) {
        char path[64] = "";
        bool mapped = portmap_device_path(c.first, path, sizeof path);
        EXPECT_EQ(mapped, c.second != nullptr) << c.first;
        if (c.second) {
            EXPECT_STREQ(path, c.second) << c.first;
        }
    }
    EXPECT_EQ(listed.size(), 299u);
#endif
}

}  // namespace
