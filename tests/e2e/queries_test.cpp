// The system queries end to end: "r" and "n" list the serial ports the
// server can open, "i" names the operating system.
#include "harness.h"

#include "target.h"

#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <memory>

using namespace e2e;

namespace {

const std::string kNul(1, '\0');

// A path of exactly `length` bytes that names a character device: a link to
// /dev/null at the end of a chain of directories in `dir`.
std::string deviceOfLength(const std::string &dir, size_t length)
{
    std::string path = dir;
    mkdir(path.c_str(), 0700);
    while (path.size() + 1 + 200 + 1 + 1 < length) {
        path += "/" + std::string(200, 'd');
        mkdir(path.c_str(), 0700);
    }
    path += "/" + std::string(length - path.size() - 1, 'n');
    if (symlink("/dev/null", path.c_str()) != 0) ADD_FAILURE() << "symlink " << path;
    return path;
}

// Devices that exist for as long as the test runs.
std::vector<std::unique_ptr<Pty>> devices;
TempDir *deviceDir()
{
    static TempDir dir;
    return &dir;
}
const Pty &newDevice()
{
    devices.emplace_back(new Pty());
    return *devices.back();
}

// The reply of "n" for these port numbers.
std::string nameListing(std::initializer_list<int> numbers)
{
    std::string s;
    for (int n : numbers) s += ":COM" + std::to_string(n) + kNul + "\r\n";
    return s + ".\r\n";
}

struct ListingCase {
    const char *name;
    // Sets up the server's ports; returns the replies of "r" and of "n".
    std::function<std::pair<std::string, std::string>(Server &)> setUp;
    // The replies list several ports in number order.
    bool byNumber = false;
    // Why the Windows build's listing cannot show the case, if it cannot.
    const char *notOnWindows = nullptr;
};

void PrintTo(const ListingCase &c, std::ostream *os) { *os << c.name; }

class PortListing : public testing::TestWithParam<ListingCase> {};

TEST_P(PortListing, RepliesExactly)
{
    if (GetParam().byNumber && !Target::get().listsPortsByNumber())
        GTEST_SKIP() << "the registry gives the ports in an order of its own";
    if (GetParam().notOnWindows && !Target::get().listsPortsByNumber())
        GTEST_SKIP() << GetParam().notOnWindows;
    Server s;
    std::pair<std::string, std::string> replies = GetParam().setUp(s);
    ASSERT_TRUE(s.start());
    Stream client = s.login();
    EXPECT_TRUE(client.ask("r\r\n", replies.first));
    EXPECT_TRUE(client.ask("n\r\n", replies.second));
}

INSTANTIATE_TEST_SUITE_P(
    Ports, PortListing,
    testing::Values(
        ListingCase{"NoPortList",
                    [](Server &s) {
                        s.removePorts();
                        return std::make_pair(std::string("! RegOpenKeyEx\r\n.\r\n"),
                                              std::string("! RegOpenKeyEx\r\n.\r\n"));
                    }},
        ListingCase{"NoPorts",
                    [](Server &) { return std::make_pair(std::string(".\r\n"), nameListing({})); }},
        // What is listed can be opened: a port whose device is missing is
        // left out.
        ListingCase{"OnlyPortsWhoseDeviceIsThere",
                    [](Server &s) {
                        std::string com4 = s.addPort(4, newDevice());
                        s.addPort(5, "/dev/velkor-no-such-device");
                        return std::make_pair(com4 + ".\r\n", nameListing({4}));
                    },
                    false, "the Windows build lists the registry's port map as it is"},
        ListingCase{"InNumberOrder",
                    [](Server &s) {
                        std::string com10 = s.addPort(10, newDevice());
                        std::string com2 = s.addPort(2, newDevice());
                        std::string com100 = s.addPort(100, newDevice());
                        return std::make_pair(com2 + com10 + com100 + ".\r\n",
                                              nameListing({2, 10, 100}));
                    },
                    true},
        // A device name that does not fit the name area ends the listing
        // there: that port and every one after it stay out, and the reply
        // still ends.
        ListingCase{"EndsAtADeviceNameTooLong",
                    [](Server &s) {
                        size_t longest = Target::get().longestDeviceName();
                        std::string dir = deviceDir()->path();
                        std::string fits = s.addPort(1, deviceOfLength(dir + "/fits", longest));
                        s.addPort(2, deviceOfLength(dir + "/long", longest + 1));
                        // Named to sort after the others: the registry keeps
                        // a key's values in the order of their names.
                        std::string third = dir + "/tty";
                        unlink(third.c_str());
                        if (symlink(newDevice().slavePath().c_str(), third.c_str()) != 0)
                            ADD_FAILURE() << "symlink " << third;
                        s.addPort(3, third);
                        return std::make_pair(fits + ".\r\n", nameListing({1}));
                    }}),
    [](const testing::TestParamInfo<ListingCase> &c) { return c.param.name; });

class PortListed : public ServerWithPort {};

TEST_F(PortListed, Opens)
{
    Stream client = s.login();
    EXPECT_TRUE(client.ask("r\r\n", portLine + ".\r\n"));
    EXPECT_TRUE(client.ask("n\r\n", nameListing({5})));
    EXPECT_TRUE(bridge(client, "p COM5 9600"));
    EXPECT_TRUE(relayed(client, pty.master(), "through"));
}

class SystemQuery : public LoggedInClient {};

TEST_F(SystemQuery, NamesTheOperatingSystem)
{
    EXPECT_TRUE(client.ask("i\r\n", Target::get().osReply()));
}

}  // namespace
