// The platform the server under test runs on.  The tests are the same for
// every target; everything they expect that depends on the platform is asked
// of this one object, chosen once from the environment:
//
//   VELKOR_E2E_TARGET=native (the default)  the server built here
//                                            (VELKOR_BINARY), serial ports
//                                            through a VELKOR_PORTS directory
//
// Another target (the Windows build run under an emulation layer, say) is one
// more Kind and one more case in each function below: how it is started, how
// a port is made to stand for a pseudo-terminal and what "r" then lists, and
// what the system queries answer.
#ifndef VELKOR_E2E_TARGET_H
#define VELKOR_E2E_TARGET_H

#include <sys/types.h>

#include <string>
#include <vector>

namespace e2e {

struct PortList;

class Target {
public:
    enum Kind { Native };

    // The target of this run (from VELKOR_E2E_TARGET).
    static const Target &get();

    // The argument vector that starts the server with these switches.
    std::vector<std::string> command(const std::vector<std::string> &switches) const;

    // The environment entries ("NAME=value") a server needs to find the
    // ports of `ports`; they replace inherited ones of the same name.
    std::vector<std::string> environment(const PortList &ports) const;

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

private:
    explicit Target(Kind kind) : kind_(kind) {}
    Kind kind_;
};

}  // namespace e2e

#endif
