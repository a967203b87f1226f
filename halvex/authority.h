// halvex --make-ca DIR: a certificate authority of the office's own for HTTPS inspection, and
// what the admin does next to have the office's browsers trust it.
#pragma once

#include <string>

namespace halvex {

// Makes the authority in dir (made, readable by its owner only, when it is not there), prints
// where it is and how to trust it on stdout, or one line on stderr; the exit status.
int makeAuthority(const std::string &dir);

}  // namespace halvex
