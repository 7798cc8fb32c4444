// The system queries end to end: "r" and "n" list the serial ports the
// server can open, "i" names the operating system.
#include "harness.h"

#include "target.h"

#include <functional>

using namespace e2e;

namespace {

const std::string kNul(1, '\0');

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
};

void PrintTo(const ListingCase &c, std::ostream *os) { *os << c.name; }

class PortListing : public testing::TestWithParam<ListingCase> {};

TEST_P(PortListing, RepliesExactly)
{
    if (GetParam().byNumber && !Target::get().listsPortsByNumber())
        GTEST_SKIP() << "the registry gives the ports in an order of its own";
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
        ListingCase{"InNumberOrder",
                    [](Server &s) {
                        std::string com10 = s.addPort(10, "/dev/velkor-test-b");
                        std::string com2 = s.addPort(2, "/dev/velkor-test-c");
                        std::string com100 = s.addPort(100, "/dev/velkor-test-a");
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
                        std::string fits = s.addPort(1, "/" + std::string(longest - 1, 'd'));
                        s.addPort(2, "/" + std::string(longest, 'd'));
                        s.addPort(3, "/dev/velkor-test-short");
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
