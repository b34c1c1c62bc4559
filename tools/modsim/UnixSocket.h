// A listening Unix-domain stream socket, used for the host port and the control channel.
#pragma once

#include <string>

namespace modsim {

// Binds and listens on `path` (non-blocking). A stale socket left at the path is replaced;
// any other file there is an error. Returns the fd, or -1 with a message in `error`.
int listenUnixSocket(const std::string& path, std::string& error);

}  // namespace modsim
