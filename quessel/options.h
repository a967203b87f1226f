// The command line of quessel.
#pragma once

#include <string>
#include <vector>

#include "common/result.h"

namespace quessel {

struct Options {
    int port = 110;          // where mail clients connect
    int serverPort = 110;    // every server connection goes to this port, whatever the client says
    std::string bind;        // listen address; empty means every interface
    int serverTimeout = 30;  // seconds a server has to send its greeting
    bool help = false;
};

// What --help prints.
extern const char *const kUsage;

// Parses the arguments after the program name; a bad argument fails with one line saying what is
// wrong.
common::Result<Options> parseOptions(const std::vector<std::string> &args);

}  // namespace quessel
