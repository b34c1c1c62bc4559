#include "Simulator.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <poll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include "InterfaceGuard.h"
#include "Loader.h"
#include "UnixSocket.h"

namespace modsim {

namespace {

void writeAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += static_cast<std::size_t>(n);
    }
}

}  // namespace

Simulator::Simulator(const Options& options)
    : options_(options), link_(log_, [this](const Packet& packet) { writeHost(packet.wire()); }) {
    ModuleHost& host = *this;
    modules_.push_back(std::make_unique<SimModule>(options_.module, options_, log_, host));
    for (const auto& routed : options_.routedModules)
        modules_.push_back(std::make_unique<SimModule>(routed, options_, log_, host));
    for (auto& module : modules_) link_.add(*module);
    std::string ignored;
    if (!options_.randomReplies.empty() && random_.configure(options_.randomReplies, ignored)) inOrder_ = true;
    primary().setRandomReplies(&random_);
    if (!options_.routedModules.empty()) {
        i2c_ = std::make_unique<I2CBus>(primary(), link_.modules());
        i2c_->attach();
    }
    exchange_ = std::make_unique<ExchangeEntities>(primary());
    exchange_->attach(!i2c_);
    streams_ = std::make_unique<StreamSamples>(primary(), options_.streamMs, [this](const Packet& packet) {
        if (host_ >= 0) link_.transmit(packet);
    });
    streams_->attach();
    slots_ = std::make_unique<StoreSlots>(primary());
    slots_->attach();
    factory_ = std::make_unique<FactoryData>(primary());
    factory_->attach();
}

Simulator::~Simulator() {
    if (host_ >= 0) close(host_);
    for (auto& client : clients_)
        if (client->inFd > 0) close(client->inFd);
    if (controlListen_ >= 0) {
        close(controlListen_);
        unlink(options_.controlPath.c_str());
    }
    if (signals_ >= 0) close(signals_);
}

int Simulator::run() {
    std::string error;
    if (!setUp(error)) {
        writeAll(2, "modsim: " + error + "\n");
        return 1;
    }
    printReady();
    serve();
    log_.event("quit");
    return 0;
}

bool Simulator::setUp(std::string& error) {
    std::signal(SIGPIPE, SIG_IGN);
    if (!options_.logPath.empty() && !log_.open(options_.logPath)) {
        error = "cannot write log " + options_.logPath + ": " + std::strerror(errno);
        return false;
    }
    if (options_.discovery) {
        const auto foreign = foreignInterfaces();
        if (!foreign.empty()) {
            error = "refusing --discovery: network interface " + foreign.front() +
                    " is visible; run inside tools/netns/netns-run";
            return false;
        }
    }
    port_ = openHostPort(options_, error);
    if (!port_) return false;
    if (options_.port == PortKind::Pty) {
        host_ = port_->renew(error);
        if (host_ < 0) return false;
        log_.event("connect " + port_->where());
    }
    if (!options_.controlPath.empty()) {
        controlListen_ = listenUnixSocket(options_.controlPath, error);
        if (controlListen_ < 0) return false;
    }
    if (options_.discovery) {
        in_addr answerFrom{};
        answerFrom.s_addr = htonl(INADDR_ANY);
        if (options_.port == PortKind::Tcp) inet_pton(AF_INET, options_.tcpAddress.c_str(), &answerFrom);
        const uint16_t announced = options_.announcedPortGiven ? options_.announcedPort : port_->tcpPort();
        discovery_ = std::make_unique<DiscoveryResponder>(primary().identity(), announced, answerFrom, log_);
        if (!discovery_->open(error)) return false;
    }
    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGTERM);
    sigaddset(&mask, SIGINT);
    sigprocmask(SIG_BLOCK, &mask, nullptr);
    signals_ = signalfd(-1, &mask, SFD_CLOEXEC);
    auto standardInput = std::make_unique<ControlClient>();
    standardInput->inFd = 0;
    standardInput->outFd = 1;
    clients_.push_back(std::move(standardInput));
    return true;
}

void Simulator::printReady() {
    writeAll(1, "ready " + port_->where() + "\n");
}

void Simulator::serve() {
    while (running_) {
        std::vector<pollfd> fds;
        auto watch = [&fds](int fd) {
            fds.push_back(pollfd{fd, POLLIN, 0});
            return fds.size() - 1;
        };
        const std::size_t signalSlot = watch(signals_);
        const std::size_t listenSlot = watch(port_->listenFd());
        const std::size_t hostSlot = watch(host_);
        const std::size_t discoverySlot = watch(discovery_ ? discovery_->fd() : -1);
        const std::size_t controlSlot = watch(controlListen_);
        const std::size_t firstClient = fds.size();
        for (auto& client : clients_) watch(client->inFd);

        const int ready = poll(fds.data(), fds.size(), pollTimeoutMs());
        if (ready < 0 && errno != EINTR) return;
        auto readable = [&fds](std::size_t slot) {
            return fds[slot].fd >= 0 && (fds[slot].revents & (POLLIN | POLLHUP | POLLERR));
        };
        if (readable(signalSlot)) return;
        // Clients first: a line that drops the host must not race bytes read meanwhile.
        for (std::size_t i = 0; i < clients_.size() && running_; ++i) {
            if (readable(firstClient + i)) readControl(*clients_[i]);
        }
        clients_.erase(
            std::remove_if(clients_.begin(), clients_.end(), [](const auto& client) { return client->inFd < 0; }),
            clients_.end());
        if (!running_) return;
        if (readable(hostSlot) && fds[hostSlot].fd == host_) readHost();
        if (readable(listenSlot)) acceptHost();
        if (readable(discoverySlot)) discovery_->onReadable();
        if (readable(controlSlot)) acceptControl();
        sendDueReplies();
        streams_->sendDue(Clock::now());
        listenAgainWhenDue();
        finishWaits();
    }
}

void Simulator::acceptHost() {
    const int fd = port_->acceptHost();
    if (fd < 0) return;
    if (refuseConnections_) {
        // Logged first: the host may look at the log as soon as it sees the close.
        log_.event("connect refused (fault refuse)");
        close(fd);
        return;
    }
    // A reconnecting host may open its new connection before the old one is closed.
    if (host_ >= 0) dropHost("replaced");
    host_ = fd;
    ++connections_;
    assembler_.reset();
    log_.event("connect");
    link_.connected();
}

void Simulator::readHost() {
    uint8_t buffer[512];
    const ssize_t n = read(host_, buffer, sizeof buffer);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (n <= 0) {
        dropHost(n == 0 ? "host closed" : std::string("read error: ") + std::strerror(errno));
        return;
    }
    const unsigned connection = connections_;
    for (ssize_t i = 0; i < n && host_ >= 0 && connection == connections_; ++i) {
        switch (assembler_.feed(buffer[i])) {
        case PacketAssembler::Step::NeedMore:
            break;
        case PacketAssembler::Step::FramingError:
            log_.event("framing error at byte " + hexBytes({buffer[i]}));
            break;
        case PacketAssembler::Step::Complete:
            log_.received(assembler_.packet().wire());
            link_.receive(assembler_.packet());
            break;
        }
    }
}

void Simulator::writeHost(const std::vector<uint8_t>& bytes) {
    if (host_ < 0) {
        log_.event("not connected, not sent: " + hexBytes(bytes));
        return;
    }
    const ssize_t n = write(host_, bytes.data(), bytes.size());
    if (n < 0 && errno == EAGAIN) {
        log_.event("host not reading, not sent: " + hexBytes(bytes));
        return;
    }
    if (n < 0) {
        dropHost(std::string("write error: ") + std::strerror(errno));
        return;
    }
    log_.sent(std::vector<uint8_t>(bytes.begin(), bytes.begin() + n));
}

void Simulator::dropHost(const std::string& reason, bool reset) {
    if (host_ < 0) return;
    if (reset && options_.port == PortKind::Tcp) {
        const linger abort{1, 0};
        setsockopt(host_, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    }
    log_.event("disconnect " + reason);
    close(host_);
    host_ = -1;
    ++connections_;
    assembler_.reset();
    delayed_.clear();
    streams_->clear();
    link_.disconnected();
    if (options_.port == PortKind::Pty) renewPty();
}

void Simulator::renewPty() {
    std::string error;
    host_ = port_->renew(error);
    if (host_ < 0) {
        log_.event(error);
        writeAll(2, "modsim: " + error + "\n");
        running_ = false;
        return;
    }
    ++connections_;
    log_.event("connect " + port_->where());
    printReady();
}

void Simulator::send(const Packet& packet, unsigned delayMs) {
    if (inOrder_) {
        auto due = Clock::now() + std::chrono::milliseconds(delayMs);
        if (!delayed_.empty() && delayed_.back().due > due) due = delayed_.back().due;
        if (delayMs == 0 && delayed_.empty()) return link_.transmit(packet);
        delayed_.push_back(Delayed{due, packet});
        return;
    }
    if (delayMs == 0) return link_.transmit(packet);
    const auto due = Clock::now() + std::chrono::milliseconds(delayMs);
    // Later entries with the same due time keep their order.
    auto at = delayed_.begin();
    while (at != delayed_.end() && at->due <= due) ++at;
    delayed_.insert(at, Delayed{due, packet});
}

void Simulator::sendDueReplies() {
    const auto now = Clock::now();
    while (!delayed_.empty() && delayed_.front().due <= now) {
        const Packet packet = delayed_.front().packet;
        delayed_.pop_front();
        link_.transmit(packet);
    }
}

void Simulator::pauseListening(unsigned ms) {
    port_->stopListening();
    listenAgainAt_ = Clock::now() + std::chrono::milliseconds(ms);
    log_.event("listening stopped for " + std::to_string(ms) + " ms");
}

void Simulator::listenAgainWhenDue() {
    if (!listenAgainAt_ || Clock::now() < *listenAgainAt_) return;
    listenAgainAt_.reset();
    std::string error;
    if (!port_->listenAgain(error)) {
        log_.event(error);
        writeAll(2, "modsim: " + error + "\n");
        running_ = false;
        return;
    }
    log_.event("listening again");
}

void Simulator::restart(SimModule& module, Restart how) {
    const bool connected = &module == &primary();
    switch (how) {
    case Restart::LinkLost:
        dropHost("link lost", true);
        return;
    case Restart::IntoLoader:
        // A serial line has no connection to drop: the loader simply announces itself later.
        if (connectionPort()) dropHost("restart into loader", true);
        link_.afterNextProbe(Packet{module.identity().address, {kLoaderCommand, 0x02}});
        return;
    case Restart::IntoAnnouncingLoader:
        if (connectionPort()) dropHost("restart into loader", true);
        link_.announceUntilHeard(Packet{module.identity().address, {kLoaderCommand, 0x02}});
        return;
    case Restart::Reboot:
        if (!connected) return;
        // The listener closes first, so a host that sees the reset cannot reconnect at once.
        if (connectionPort()) pauseListening(options_.restartMs);
        dropHost("reboot", true);
        return;
    case Restart::Gone:
        if (!connected) {
            module.setAbsent(true);
            log_.event(module.name() + " gone");
            return;
        }
        listenAgainAt_.reset();
        port_->stopListening();
        log_.event("gone: listening stopped");
        if (connectionPort()) dropHost("gone", true);
        link_.setGone();
        return;
    }
}

void Simulator::acceptControl() {
    const int fd = accept4(controlListen_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return;
    auto client = std::make_unique<ControlClient>();
    client->inFd = fd;
    client->outFd = fd;
    clients_.push_back(std::move(client));
}

void Simulator::readControl(ControlClient& client) {
    char buffer[512];
    const ssize_t n = read(client.inFd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) return;
    if (n <= 0) {
        // End of standard input only ends that channel; the simulator serves on.
        if (client.inFd > 0) close(client.inFd);
        client.inFd = -1;
        return;
    }
    client.input.append(buffer, static_cast<std::size_t>(n));
    runLines(client);
}

void Simulator::runLines(ControlClient& client) {
    std::size_t newline;
    while (running_ && !client.waitUntil && (newline = client.input.find('\n')) != std::string::npos) {
        std::string line = client.input.substr(0, newline);
        client.input.erase(0, newline + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        execute(line, client);
    }
}

void Simulator::finishWaits() {
    const auto now = Clock::now();
    for (auto& client : clients_) {
        if (!client->waitUntil) continue;
        const auto& heartbeats = link_.heartbeats();
        if (heartbeats.pending() == 0) {
            reply(*client, "ok " + heartbeatCounts());
        } else if (now >= *client->waitUntil) {
            reply(*client, "error timeout " + heartbeatCounts());
        } else {
            continue;
        }
        client->waitUntil.reset();
        runLines(*client);
    }
}

int Simulator::pollTimeoutMs() const {
    std::optional<Clock::time_point> soonest;
    auto consider = [&soonest](const std::optional<Clock::time_point>& when) {
        if (when && (!soonest || *when < *soonest)) soonest = when;
    };
    for (const auto& client : clients_) consider(client->waitUntil);
    if (!delayed_.empty()) consider(delayed_.front().due);
    consider(listenAgainAt_);
    consider(streams_->nextDue());
    if (!soonest) return -1;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*soonest - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(left) + 1;
}

void Simulator::reply(const ControlClient& client, const std::string& text) {
    writeAll(client.outFd, text + "\n");
}

}  // namespace modsim
