// The identifier from the environment (VELKOR_IDENTIFIER): taken when no -w
// is given, overruled by -w, and, unlike a -w word, never shown in the
// process list that every local user can read.
#include "harness.h"

#include <dirent.h>
#include <stdio.h>
#include <unistd.h>

using namespace e2e;

namespace {

const std::string kWrongIdentifier = "! wrong identifier\r\n";

// Words no other process on the machine carries: tests of other files, or
// of the other target, may run beside this one with words of their own.
std::string word(const char *stem) { return stem + std::to_string(getpid()); }

// The command line of every process as the process list shows it, one
// text each, its arguments joined by spaces.
std::vector<std::string> processCommandLines()
{
    std::vector<std::string> lines;
    DIR *proc = opendir("/proc");
    if (!proc) {
        ADD_FAILURE() << "cannot read /proc";
        return lines;
    }
    while (struct dirent *e = readdir(proc)) {
        if (e->d_name[0] < '1' || e->d_name[0] > '9') continue;
        FILE *f = fopen((std::string("/proc/") + e->d_name + "/cmdline").c_str(), "r");
        if (!f) continue;  // the process has just ended
        std::string line;
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, f)) > 0) line.append(buf, n);
        fclose(f);
        for (char &c : line)
            if (c == 0) c = ' ';
        lines.push_back(line);
    }
    closedir(proc);
    return lines;
}

size_t linesWith(const std::vector<std::string> &lines, const std::string &text)
{
    size_t n = 0;
    for (const std::string &line : lines)
        if (line.find(text) != std::string::npos) n++;
    return n;
}

struct EnvironmentCase {
    const char *name;
    std::string environment;  // VELKOR_IDENTIFIER's value
    std::vector<std::string> switches;
    std::string accepted;  // a line the server takes as the identifier ("" if none)
    std::vector<std::string> refused;
    std::string shown;  // a word the process list shows ("" if none)
};

void PrintTo(const EnvironmentCase &c, std::ostream *os) { *os << c.name; }

class IdentifierFromEnvironment : public testing::TestWithParam<EnvironmentCase> {};

TEST_P(IdentifierFromEnvironment, GatesTheCommands)
{
    const EnvironmentCase &c = GetParam();
    Server s;
    ServerOptions options;
    options.environment = {"VELKOR_IDENTIFIER=" + c.environment};
    options.switches = c.switches;
    ASSERT_TRUE(s.start(options));

    // The process list is read while the server runs: it is the server's
    // own line (found by its port switch), and the environment's word is in
    // no line at all.  The -w case shows the same check finds a word there.
    std::vector<std::string> lines = processCommandLines();
    EXPECT_GE(linesWith(lines, "-p" + std::to_string(s.port())), 1u)
        << "the server's command line is not in the process list";
    if (!c.environment.empty()) {
        EXPECT_EQ(linesWith(lines, c.environment), 0u) << "the process list shows the identifier";
    }
    if (!c.shown.empty()) {
        EXPECT_GE(linesWith(lines, c.shown), 1u) << "the process list does not show " << c.shown;
    }

    Stream client = s.connect();
    for (const std::string &wrong : c.refused)
        EXPECT_TRUE(client.ask(wrong + "\r\n", kWrongIdentifier)) << wrong;
    if (c.accepted.empty()) return;
    EXPECT_TRUE(client.ask(c.accepted + "\r\n", ".\r\n"));
    EXPECT_TRUE(client.ask("v\r\n", kVersion));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, IdentifierFromEnvironment,
    testing::Values(
        EnvironmentCase{"TakenWithoutSwitch", word("envword"), {}, word("envword"),
                        {kIdentifier, word("envword") + "x"}, ""},
        EnvironmentCase{"SwitchWins", word("envword"), {"-w" + word("switchword")},
                        word("switchword"), {word("envword"), kIdentifier}, word("switchword")},
        EnvironmentCase{"EmptySwitchStillWins", word("envword"), {"-w"}, "",
                        {word("envword"), kIdentifier}, ""},
        EnvironmentCase{"EmptyKeepsTheDefault", "", {}, kIdentifier, {}, ""}),
    [](const testing::TestParamInfo<EnvironmentCase> &c) { return c.param.name; });

}  // namespace
