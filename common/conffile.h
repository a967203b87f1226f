// A program's configuration file, as daemons' files are written by hand under /etc:
//   # the listen port
//   plistenport = 8080
//   allowclients = 192.168.10.0/24, 10.1.0.0/16   # the office
// One `name = value` a line; blanks around both go; `#` at the start of a line, or after a blank,
// begins a comment; a value in double quotes keeps its blanks and any `#`. The names are those of
// the values stored under the shared key, matched without regard to case. Pure code: the caller
// reads the file.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace common {

struct ConfigValue {
    std::string name;  // lower case
    std::string value;
    int line = 0;
};

struct ConfigText {
    std::string file;  // as the problems name it
    std::vector<ConfigValue> values;
    // One line each, naming the file and the line: "/etc/tessaruno/halvex.conf:4: unknown
    // setting plistnport".
    std::vector<std::string> problems;

    // The value's text; empty when not given.
    std::string value(std::string_view name) const;
    const ConfigValue *find(std::string_view name) const;
    // "FILE:LINE: name" for a value given, else "FILE: name": where a failure points.
    std::string where(std::string_view name) const;
};

// `known`: the names the program reads; an empty list takes every name.
ConfigText parseConfigText(std::string_view text, std::string file,
                           const std::vector<std::string> &known);

}  // namespace common
