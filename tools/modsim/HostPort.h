// Where the host reaches the simulated module: a listening TCP or Unix socket, or a pty.
// The simulator owns every connection fd these hand out.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "Options.h"

namespace modsim {

class HostPort {
public:
    virtual ~HostPort() = default;

    // Readable when a host is connecting; -1 for a port without a listener.
    virtual int listenFd() const { return -1; }
    // Takes a waiting host: a non-blocking connection fd, or -1.
    virtual int acceptHost() { return -1; }
    // Closes the listener for a while (connecting hosts are refused) and opens it again at
    // the same place. Ports without a listener ignore both.
    virtual void stopListening() {}
    virtual bool listenAgain(std::string&) { return true; }
    // A connection that needs no host to connect (a pty master, made afresh on each call);
    // -1 for ports that only accept, or with a message in `error` when it cannot be made.
    virtual int renew(std::string& error) { return -1; }
    // "tcp 127.0.0.2:40123", "unix /tmp/x.sock", "pty /dev/pts/4".
    virtual std::string where() const = 0;
    // The bound TCP port, 0 for other kinds.
    virtual uint16_t tcpPort() const { return 0; }
};

// Opens the port the options name; null with a message in `error` when that fails.
std::unique_ptr<HostPort> openHostPort(const Options& options, std::string& error);

std::unique_ptr<HostPort> openTcpPort(const std::string& address, uint16_t port, std::string& error);
std::unique_ptr<HostPort> openUnixPort(const std::string& path, std::string& error);
std::unique_ptr<HostPort> openPtyPort(std::string& error);

}  // namespace modsim
