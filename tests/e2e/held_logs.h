// What the tests of held ports (-L) share: the log directory as the server
// names it, and a log file's text as the test reads it.
#ifndef VELKOR_E2E_HELD_LOGS_H
#define VELKOR_E2E_HELD_LOGS_H

#include "target.h"

#include <fstream>
#include <sstream>
#include <string>

namespace e2e {

// A directory of this machine as the server under test names it (under
// Wine, through the drive that maps the whole file system).
inline std::string serverPath(const std::string &path)
{
    return Target::get().isWine() ? "Z:" + path : path;
}

// The file's bytes; empty when it cannot be read.
inline std::string slurp(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream b;
    b << f.rdbuf();
    return b.str();
}

}  // namespace e2e

#endif
