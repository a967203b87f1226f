// What every program of the suite does when it starts, before and after it creates its
// application object.
#pragma once

#include <QString>

namespace common {

// Before the application object exists (`name` goes in front of every log line):
// - descriptors 0 to 2 are open (cron or a service manager may start us with one closed; a socket
//   that took its number would receive what is meant for stderr);
// - a peer that goes away in the middle of a write does not end the program (SIGPIPE);
// - the limit on open descriptors is raised to the hard limit (a relay needs two per client);
// - with no display, or when `headless`, Qt's offscreen platform, and an event loop that waits in
//   the sockets' own epoll set; with a display, Qt's own event dispatcher (the glib one costs
//   system calls on every wake-up).
void prepareProcess(const char *name, bool headless = false);

// After: the program's name (the windows take the desktop's font and fit their layout to it).
void prepareApplication(const QString &name);

// No display: nobody sees a window (a service, cron).
bool headless();

}  // namespace common
