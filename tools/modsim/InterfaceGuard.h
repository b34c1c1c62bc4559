// Multicast may only leave this program inside the test network namespace that
// tools/netns/netns-run builds: loopback plus its own veth pair.
#pragma once

#include <string>
#include <vector>

namespace modsim {

// Names of the visible network interfaces that are neither "lo" nor the harness's veth pair.
std::vector<std::string> foreignInterfaces();

}  // namespace modsim
