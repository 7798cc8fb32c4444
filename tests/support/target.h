// The platform the server under test runs on.  The tests are the same for
// every target; everything they expect that depends on the platform is asked
// of this one object, chosen once from the environment:
//
//   VELKOR_E2E_TARGET=native (the default)  the server built here
//                                            (VELKOR_BINARY), serial ports
//                                            through a VELKOR_PORTS directory
//   VELKOR_E2E_TARGET=wine                   the Windows build cross-built
//                                            beside it (VELKOR_WINDOWS_EXE)
//                                            run by wine in the prefix
//                                            VELKOR_WINE_PREFIX, which must
//                                            be up with its wine server and
//                                            its held session
//                                            (support/wine-prefix.sh up);
//                                            ports are links in the prefix's
//                                            dosdevices and values in its
//                                            registry, set by winetool.exe
//                                            (VELKOR_WINE_TOOL_EXE)
//
// Where the Windows build cannot behave as on Windows because Wine itself
// differs, a capability below says so and the test skips with the reason.
#ifndef VELKOR_E2E_TARGET_H
#define VELKOR_E2E_TARGET_H

#include <sys/types.h>

#include <string>
#include <vector>

namespace e2e {

struct PortList;

class Target {
public:
    enum Kind { Native, Wine };

    // The target of this run (from VELKOR_E2E_TARGET).
    static const Target &get();

    // The argument vector that starts the server with these switches.
    std::vector<std::string> command(const std::vector<std::string> &switches) const;

    // The environment entries ("NAME=value") a server needs to find the
    // ports of `ports`; they replace inherited ones of the same name.
    std::vector<std::string> environment(PortList &ports) const;

    // Makes COM<number> stand for `device` (a pseudo-terminal's slave path,
    // or any text where only the listing matters).  Returns the exact line
    // "r" then lists for the port.
    std::string addPort(PortList &ports, int number, const std::string &device) const;

    // Takes the port list away entirely: "r" and "n" find no key to open.
    void removePorts(PortList &ports) const;

    // The longest device name "r" lists whole (longer ends the listing).
    size_t longestDeviceName() const;

    // The exact reply to "i".
    std::string osReply() const;

    // Resident memory of the server process in KiB, or -1.
    long memoryKb(pid_t pid) const;

    // Keys typed on the server's terminal reach the console client.
    bool hasConsoleKeys() const { return kind_ == Native; }
    // A serial port open in one bridge cannot be opened a second time.
    bool hasExclusivePorts() const { return kind_ == Native; }
    // "r" and "n" list the ports by number (the Windows build lists them in
    // the registry's order).
    bool listsPortsByNumber() const { return kind_ == Native; }
    // A serial port's tty flags are put back exactly as they were.  Under
    // Wine a Windows program has only the DCB, and Wine sets IGNBRK and
    // NOFLSH in the tty from any DCB it is given, even the unchanged one:
    // only the speed comes back.
    bool restoresTtyFlags() const { return kind_ == Native; }
    // The signal reaches the server as a stop request.  Under Wine SIGINT
    // becomes the console's Ctrl-C, while SIGTERM ends the Windows
    // program's process from outside.
    bool stopsOnSignal(int sig) const;
    // The error code a connect that ran out of time is logged with.
    int timedOutError() const { return kind_ == Native ? 110 : 10060; }

    bool isWine() const { return kind_ == Wine; }
    // Wine: the Windows build, and a run of a Windows program in the prefix
    // (wine <args>) to its end: whether it exited with status 0; what it
    // printed goes to `output`.
    const std::string &windowsProgram() const { return exe_; }
    bool runWine(const std::vector<std::string> &args, std::string *output = nullptr) const;

private:
    explicit Target(Kind kind) : kind_(kind) {}
    // Wine, once per list: checks that the prefix's session is held, and
    // takes away the dosdevices links an earlier list left.  False (with a
    // test failure, `ports` broken) if the ports cannot be set up.
    bool claimPorts(PortList &ports) const;
    // Wine: makes the registry's port map exactly the ports of `ports`.
    bool writePorts(PortList &ports) const;
    // Wine: runs winetool.exe with `args`; on failure fails the test with
    // what it printed and marks `ports` broken.
    bool runTool(PortList &ports, const std::vector<std::string> &args) const;

    Kind kind_;
    std::string exe_;     // wine: velkor.exe
    std::string tool_;    // wine: winetool.exe
    std::string wine_;    // wine: the wine program
    std::string prefix_;  // wine: WINEPREFIX
};

}  // namespace e2e

#endif
