#include "HostPort.h"

namespace modsim {

std::unique_ptr<HostPort> openHostPort(const Options& options, std::string& error) {
    switch (options.port) {
    case PortKind::Tcp:
        return openTcpPort(options.tcpAddress, options.tcpPort, error);
    case PortKind::Unix:
        return openUnixPort(options.unixPath, error);
    case PortKind::Pty:
        return openPtyPort(error);
    case PortKind::None:
        break;
    }
    error = "no port given";
    return nullptr;
}

}  // namespace modsim
