// Runs a simulated bus on a terminal in real time.
#pragma once

#include "sim/bus.h"
#include "tools/zevasim/host_port.h"

namespace zeva::zevasim {

// Serves until `stopFd` becomes readable (0) or the terminal fails (1):
// bytes read from the terminal go onto the line at the moment they are read,
// bytes that reach the host side are written back, and the wait between
// reads lasts until the line's next event. When the line is unplugged the
// terminal is closed (the client sees a hang-up) and the bus runs on.
int Serve(sim::Bus& bus, HostPort& port, int stopFd);

}  // namespace zeva::zevasim
