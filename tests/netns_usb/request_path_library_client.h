// A randomized client of the link server through the product's own client link (the C
// API of aLink.h): the same requests and checks as tests/peers/random_client.py, on
// packets instead of frames (the client stream hides frame boundaries). It runs on a
// thread of its own; a client told to vanish destroys its link in the middle of its work.
#pragma once

#include <algorithm>
#include <cstdlib>
#include <deque>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <thread>

#include "aLink.h"
#include "request_path_traffic.h"

namespace requestpath {

// Relative weights of the operations a client picks from.
struct Operations {
    double get = 30, set = 20, bytesSet = 8, bytesGet = 8, echo = 12, burst = 4, stream = 18;

    // "get=30,set=20,..."; names it does not know are refused.
    static bool parse(const std::string& spec, Operations& out) {
        Operations parsed{0, 0, 0, 0, 0, 0, 0};
        size_t start = 0;
        while (start < spec.size()) {
            size_t comma = spec.find(',', start);
            if (comma == std::string::npos) comma = spec.size();
            const std::string item = spec.substr(start, comma - start);
            const size_t equals = item.find('=');
            if (equals == std::string::npos) return false;
            const std::string name = item.substr(0, equals);
            const double weight = std::atof(item.c_str() + equals + 1);
            double* slot = name == "get"         ? &parsed.get
                           : name == "set"       ? &parsed.set
                           : name == "bytes-set" ? &parsed.bytesSet
                           : name == "bytes-get" ? &parsed.bytesGet
                           : name == "echo"      ? &parsed.echo
                           : name == "burst"     ? &parsed.burst
                           : name == "stream"    ? &parsed.stream
                                                 : nullptr;
            if (!slot) return false;
            *slot = weight;
            start = comma + 1;
        }
        out = parsed;
        return true;
    }
};

struct LibraryClientPlan {
    uint32_t serverAddress = 0;  // network order
    uint16_t port = 0;
    int tag = 0;
    uint64_t seed = 0;
    double seconds = 20;
    Operations operations;
    std::vector<uint8_t> streams;
    int bigBurst = 0;
    // Destroys its link this long after starting, leaving what it holds behind.
    std::optional<double> vanishAfter;
};

class LibraryClient {
public:
    LibraryClient(const LibraryClientPlan& plan, WantLog& wants)
        : plan_(plan), wants_(wants), random_(plan.seed), name_("library client " + std::to_string(plan.tag)) {
        report_.name = name_;
        report_.tag = plan.tag;
        report_.wellBehaved = !plan.vanishAfter;
        written_[1] = {0};
        written_[2] = {0};
        written_[3] = {0};
        writtenBytes_.insert(std::string());
        thread_ = std::thread([this] { run(); });
    }
    ~LibraryClient() { join(); }
    LibraryClient(const LibraryClient&) = delete;
    LibraryClient& operator=(const LibraryClient&) = delete;

    void join() {
        if (thread_.joinable()) thread_.join();
    }
    // After join.
    const ClientReport& report() const { return report_; }
    bool vanished() const { return vanishedAt_.has_value(); }

private:
    struct Outstanding {
        std::string kind;
        int option = -1;
        int echo = -1;
        double deadline = 0;
        long sequence = 0;
    };
    struct StreamOp {
        uint8_t option = 0;
        bool enable = true;
        std::optional<std::vector<uint8_t>> answer;
        std::set<int> fences;
        double fencedAt = 0;
        int count = 0;
        int silent = 0;          // fence waits in a row in which nothing ahead was answered
        long fenceSequence = 0;  // the last fence's sequence number
    };

    static constexpr double kReplyWait = 8.0;
    static constexpr double kFenceWait = 4.0;
    static constexpr int kSilentFenceWaits = 10;
    static constexpr size_t kMaxOutstanding = 12;
    static constexpr double kStall = 30.0;
    static constexpr size_t kMaxFailures = 40;
    static constexpr size_t kExpiredKept = 4096;

    static int width(int option) { return option == 1 ? 1 : option == 2 ? 2 : 4; }

    void fail(const std::string& reason) {
        ++failureCount_;
        if (report_.failures.size() < kMaxFailures) report_.failures.push_back(name_ + ": " + reason);
    }
    static std::string hex(const std::vector<uint8_t>& bytes) {
        std::string text;
        char item[4];
        for (uint8_t byte : bytes) {
            std::snprintf(item, sizeof item, "%02x", byte);
            text += item;
        }
        return text;
    }
    int uniform(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }

    int wanting() const {
        int count = 0;
        for (const auto& entry : state_) count += entry.second.empty() ? 0 : 1;
        return count;
    }
    void setState(uint8_t option, const std::string& next, const char* why = "") {
        const std::string previous = state_[option];
        if (!previous.empty() && next.empty()) lastEnd_ = streamKey(option) + " " + why;
        if (!next.empty())
            refused_.erase(option);
        else if (std::string(why) == "refused")
            refused_.insert(option);
        if (previous.empty() && !next.empty()) wants_.begin(name_, streamKey(option), monotonicSeconds());
        if (!previous.empty() && next.empty()) wants_.end(name_, streamKey(option), monotonicSeconds());
        state_[option] = next;
    }

    bool put(const std::vector<uint8_t>& data) {
        aPacket* packet = aPacket_CreateWithData(kAddress, static_cast<uint8_t>(data.size()), data.data());
        const bool sent = packet && aLink_PutPacket(link_, packet) == aErrNone;
        if (packet) aPacket_Destroy(&packet);
        if (!sent) ++unsent_;
        return sent;
    }
    // Counts a request the server now holds; its sequence number.
    long sent() {
        if (inServer_.empty()) progressAt_ = monotonicSeconds();
        inServer_.push_back(nextSequence_);
        return nextSequence_++;
    }
    void retire(long sequence) {
        if (op_ && sequence < op_->fenceSequence) {
            // A request ahead of the fence was answered: the fence is not overdue while
            // the requests in front of it are still being worked through.
            op_->fencedAt = monotonicSeconds();
            op_->silent = 0;
        }
        while (!inServer_.empty() && inServer_.front() <= sequence) inServer_.pop_front();
        progressAt_ = monotonicSeconds();
    }
    // The server holds as many of its requests as it may queue; requests that no answer
    // has followed for a long while are no longer counted.
    bool busy() {
        if (!inServer_.empty() && monotonicSeconds() - progressAt_ > kStall) inServer_.clear();
        return inServer_.size() >= kMaxOutstanding;
    }
    void expect(const std::string& kind, int option, int echo = -1) {
        everSent_.insert(kind + "/" + std::to_string(option));
        outstanding_.push_back(Outstanding{kind, option, echo, monotonicSeconds() + kReplyWait, sent()});
    }

    void get(int option) {
        if (!put({kScratch, static_cast<uint8_t>(0x40 | option), static_cast<uint8_t>(0x20 | plan_.tag)})) return;
        ++report_.sentScratch;
        expect("get", option);
    }
    void set(int option) {
        const uint32_t value =
            static_cast<uint32_t>(random_() & (width(option) == 4 ? 0xFFFFFFFFull : (1ull << (8 * width(option))) - 1));
        written_[option].insert(value);
        std::vector<uint8_t> data{kScratch, static_cast<uint8_t>(0x80 | option), static_cast<uint8_t>(0x20 | plan_.tag)};
        for (int shift = 8 * (width(option) - 1); shift >= 0; shift -= 8) data.push_back(static_cast<uint8_t>(value >> shift));
        if (!put(data)) return;
        ++report_.sentScratch;
        expect("set", option);
    }
    void bytesSet() {
        const int length = uniform(0, 2) == 0 ? uniform(1, 24) : uniform(25, 110);
        std::string text(static_cast<size_t>(length), '\0');
        for (int i = 0; i < length; ++i) text[static_cast<size_t>(i)] = static_cast<char>(i == 0 ? plan_.tag : uniform(0, 255));
        writtenBytes_.insert(text);
        const int chunks = (length + 23) / 24;
        bool whole = true;
        for (int chunk = 0; chunk < chunks && whole; ++chunk) {
            std::vector<uint8_t> data{kScratch, 0x85, static_cast<uint8_t>(0x20 | plan_.tag)};
            const int from = chunk * 24;
            const int to = std::min(length, from + 24);
            data.insert(data.end(), text.begin() + from, text.begin() + to);
            data.push_back(static_cast<uint8_t>(chunk | (chunk + 1 < chunks ? 0x80 : 0)));
            whole = put(data);
        }
        // A write cut short stays open at the server and is no request of this client.
        if (!whole) return;
        ++report_.sentScratch;
        expect("set", 5);
    }
    void bytesGet() {
        if (!put({kScratch, 0x45, static_cast<uint8_t>(0x20 | plan_.tag)})) return;
        ++report_.sentScratch;
        expect("bytes-get", 5);
    }
    int echo() {
        const int n = echoNext_++;
        if (!put({kEcho, kEchoMark, static_cast<uint8_t>(plan_.tag), static_cast<uint8_t>(n >> 8),
                  static_cast<uint8_t>(n)}))
            return -1;
        ++report_.sentEcho;
        echoesSent_.insert(n);
        expect("echo", -1, n);
        return n;
    }
    void streamRequest(uint8_t option, bool enable) {
        if (op_) return;
        if (!put({kStream, enable ? kEnable : kDisable, 0x20, kAddress, kSampled, option, 0})) return;
        everSent_.insert(std::string("stream/") + (enable ? "C1" : "C2"));
        sent();
        setState(option, enable ? "pending" : "releasing");
        op_ = StreamOp{option, enable, std::nullopt, {}, 0, 0, 0, 0};
        fence();
    }
    void fence() {
        const int n = echo();
        if (n < 0) return;
        op_->fences.insert(n);
        op_->fencedAt = monotonicSeconds();
        op_->fenceSequence = nextSequence_ - 1;
        ++op_->count;
    }

    // The oldest outstanding request this reply answers; older ones of its kind never
    // will be (the module answers in order).
    bool take(const std::string& kind, int option, int echoNumber = -1) {
        for (size_t n = 0; n < outstanding_.size(); ++n) {
            const Outstanding& request = outstanding_[n];
            if (request.kind != kind || request.option != option || request.echo != echoNumber) continue;
            retire(request.sequence);
            std::deque<Outstanding> kept;
            for (size_t m = 0; m < outstanding_.size(); ++m)
                if (m > n || outstanding_[m].kind != kind || outstanding_[m].option != option)
                    kept.push_back(outstanding_[m]);
            outstanding_.swap(kept);
            return true;
        }
        return false;
    }
    // A late answer to a request that timed out: the oldest such request it answers.
    bool takeExpired(const std::string& kind, int option, int echoNumber) {
        for (size_t n = 0; n < expired_.size(); ++n) {
            const Outstanding& request = expired_[n];
            if (request.kind != kind || request.option != option || request.echo != echoNumber) continue;
            retire(request.sequence);
            std::deque<Outstanding> kept;
            for (size_t m = 0; m < expired_.size(); ++m)
                if (m > n || expired_[m].kind != kind || expired_[m].option != option) kept.push_back(expired_[m]);
            expired_.swap(kept);
            return true;
        }
        return false;
    }
    void answered(const std::string& kind, int option, const std::vector<uint8_t>& data, int echoNumber = -1) {
        if (take(kind, option, echoNumber))
            ++replies_;
        else if (takeExpired(kind, option, echoNumber))
            ++ownLate_;
        else if (everSent_.count(kind + "/" + std::to_string(option)) || (kind == "echo" && echoesSent_.count(echoNumber)))
            ++ownLate_;
        else
            fail("a reply to nothing it asked: " + hex(data));
    }

    void receive(const aPacket* packet) {
        std::vector<uint8_t> data(packet->data, packet->data + packet->dataSize);
        if (packet->address != kAddress) return fail("a packet from address " + std::to_string(packet->address));
        if (data.size() > 4 && data[1] < 64 && (data[2] & 0x40)) return sample(data);
        if (data.size() < 3) return fail("a reply too short to name its request: " + hex(data));
        if (data[0] == kScratch) return scratch(data);
        if (data[0] == kEcho) {
            const int n = data.size() == 5 ? data[3] << 8 | data[4] : -1;
            if (data.size() != 5 || data[1] != kEchoMark || data[2] != plan_.tag || !echoesSent_.count(n))
                return fail("an echo it never sent: " + hex(data));
            answered("echo", -1, data, n);
            if (op_ && op_->fences.count(n)) resolve(op_->answer);
            return;
        }
        if (data[0] == kStream) return streamAnswer(data);
        fail("a reply to nothing it asked: " + hex(data));
    }
    void sample(const std::vector<uint8_t>& data) {
        ++samples_;
        if (!wanting()) {
            std::string refused;
            for (uint8_t option : refused_) refused += (refused.empty() ? "" : " ") + streamKey(option);
            fail("a streamed sample while it wants no stream value (the last it wanted: " +
                 (lastEnd_.empty() ? std::string("none") : lastEnd_) + "; refused: " +
                 (refused.empty() ? std::string("none") : refused) + "): " + hex(data));
        }
        if (data[0] != kSampled || data[2] != 0x40) fail("a sample of no value the module streams: " + hex(data));
    }
    void scratch(const std::vector<uint8_t>& data) {
        const int index = data[2] & 0x1F;
        if (index != plan_.tag) return fail("another client's reply (index " + std::to_string(index) + "): " + hex(data));
        const int option = data[1] & 0x3F;
        if (data[2] & 0x80) {
            ++report_.refusedScratch;
            for (const char* kind : {"get", "set", "bytes-get"})
                if (take(kind, option)) return;
            return;
        }
        if ((data[1] & 0xC0) == 0xC0) {
            if (data.size() != 3) fail("an acknowledgement of the wrong length: " + hex(data));
            return answered("set", option, data);
        }
        if (option == 5) return chunk(data);
        if (option < 1 || option > 3) return fail("a reply to nothing it asked: " + hex(data));
        if (data.size() != 3u + static_cast<size_t>(width(option))) return fail("a value of the wrong length: " + hex(data));
        uint32_t value = 0;
        for (size_t i = 3; i < data.size(); ++i) value = value << 8 | data[i];
        if (!written_[option].count(value)) fail("a value it never wrote: " + hex(data));
        answered("get", option, data);
    }
    void chunk(const std::vector<uint8_t>& data) {
        if (data.size() < 4) return fail("a byte-string chunk without its sequence byte: " + hex(data));
        const int sequence = data.back() & 0x7F;
        const bool more = data.back() & 0x80;
        if (sequence == 0) {
            if (assembly_) fail("a byte-string reply cut short after " + std::to_string(assemblySequence_ + 1) + " chunks");
            assembly_ = std::string();
        } else if (!assembly_ || sequence != assemblySequence_ + 1) {
            assembly_.reset();
            return fail("a byte-string chunk out of sequence: " + hex(data));
        }
        assemblySequence_ = sequence;
        assembly_->append(data.begin() + 3, data.end() - 1);
        if (more) return;
        if (!writtenBytes_.count(*assembly_)) fail("a byte string it never wrote");
        assembly_.reset();
        answered("bytes-get", 5, data);
    }
    void streamAnswer(const std::vector<uint8_t>& data) {
        if (op_ && data[1] == (op_->enable ? 0xC1 : 0xC2)) {
            // A stray late answer may come first; the last one before the fence is this one's.
            op_->answer = data;
        } else if (everSent_.count(std::string("stream/") + (data[1] == 0xC1 ? "C1" : "C2"))) {
            ++strayStreamAnswers_;
        } else {
            fail("a stream answer to nothing it asked: " + hex(data));
        }
    }
    void resolve(std::optional<std::vector<uint8_t>> answer) {
        const StreamOp op = *op_;
        op_.reset();
        const bool accepted = answer && answer->size() == 3 && (*answer)[2] == 0;
        if (op.enable) {
            if (!answer) {
                ++enablesUnanswered_;
                setState(op.option, "uncertain");
            } else if (accepted) {
                ++enablesHeld_;
                setState(op.option, "held");
            } else {
                ++enablesRefused_;
                setState(op.option, "", "refused");
            }
        } else {
            setState(op.option, accepted ? "" : "uncertain", "disabled");
        }
    }

    void poll(double seconds) {
        const double end = monotonicSeconds() + seconds;
        for (int round = 0; round < 100000; ++round) {
            const double left = end - monotonicSeconds();
            aPacket* packet = aLink_AwaitPacket(link_, left > 0 ? static_cast<uint64_t>(left * 1000) : 0);
            if (packet) {
                receive(packet);
                aPacket_Destroy(&packet);
            }
            if (monotonicSeconds() >= end || aLink_GetStatus(link_) != LINK_RUNNING) break;
        }
        expire();
    }
    void expire() {
        const double now = monotonicSeconds();
        std::deque<Outstanding> kept;
        for (const Outstanding& request : outstanding_) {
            if (request.deadline <= now) {
                ++timeouts_;
                expired_.push_back(request);
                if (expired_.size() > kExpiredKept) expired_.pop_front();
            } else {
                kept.push_back(request);
            }
        }
        outstanding_.swap(kept);
        if (op_ && now - op_->fencedAt > kFenceWait) {
            if (++op_->silent >= kSilentFenceWaits) {
                long ahead = 0;
                for (long sequence : inServer_) ahead += sequence < op_->fenceSequence ? 1 : 0;
                fail("no echo of " + std::to_string(op_->count) +
                     " fences after a stream request, nothing ahead of them answered for " +
                     std::to_string(static_cast<int>(kSilentFenceWaits * kFenceWait)) + " s (" + std::to_string(ahead) +
                     " requests ahead)");
                resolve(std::nullopt);
            } else {
                fence();
            }
        }
    }

    void randomOperation() {
        const Operations& w = plan_.operations;
        std::discrete_distribution<int> pick({w.get, w.set, w.bytesSet, w.bytesGet, w.echo, w.burst, w.stream});
        switch (pick(random_)) {
        case 0:
            return get(uniform(1, 3));
        case 1:
            return set(uniform(1, 3));
        case 2:
            return bytesSet();
        case 3:
            return bytesGet();
        case 4:
            echo();
            return;
        case 5:
            for (int n = uniform(5, 40); n > 0; --n) get(uniform(1, 3));
            return;
        default:
            if (plan_.streams.empty()) return;
            const uint8_t option = plan_.streams[static_cast<size_t>(uniform(0, static_cast<int>(plan_.streams.size()) - 1))];
            streamRequest(option, state_[option].empty());
        }
    }

    void settle(double limit) {
        const double deadline = monotonicSeconds() + limit;
        while (op_ && monotonicSeconds() < deadline && aLink_GetStatus(link_) == LINK_RUNNING) poll(0.05);
    }
    bool echoPending(int n) const {
        return std::any_of(outstanding_.begin(), outstanding_.end(),
                           [n](const Outstanding& request) { return request.kind == "echo" && request.echo == n; });
    }
    // Gives back every stream value it may hold, then proves with a last echo that the
    // server ran all its requests.
    void drain() {
        settle(60);
        for (auto& entry : state_) {
            for (int attempt = 0; attempt < 8 && !state_[entry.first].empty(); ++attempt) {
                streamRequest(entry.first, false);
                settle(60);
            }
            if (!state_[entry.first].empty()) fail("stream value " + streamKey(entry.first) + " never given back");
        }
        bool proved = false;
        for (int attempt = 0; attempt < 8 && !proved; ++attempt) {
            const int n = echo();
            const double deadline = monotonicSeconds() + kFenceWait;
            while (n >= 0 && echoPending(n) && monotonicSeconds() < deadline) poll(0.05);
            proved = n >= 0 && !echoPending(n);
        }
        if (!proved) fail("its last echo was never answered");
        poll(0.3);
        report_.finished = true;
    }

    void run() {
        link_ = aLink_CreateClient(plan_.serverAddress, plan_.port, 0);
        if (!link_) {
            fail("no client link to the server");
            return;
        }
        const double start = monotonicSeconds();
        const double end = start + plan_.seconds;
        std::optional<double> burstAt;
        if (plan_.bigBurst > 0) burstAt = start + std::uniform_real_distribution<double>(0.1, 0.5)(random_) * plan_.seconds;
        for (long round = 0; round < 10000000 && monotonicSeconds() < end; ++round) {
            if (plan_.vanishAfter && monotonicSeconds() >= start + *plan_.vanishAfter) {
                vanishedAt_ = monotonicSeconds();
                wants_.vanished(name_, *vanishedAt_);
                aLink_Destroy(&link_);
                summarize();
                return;
            }
            if (burstAt && monotonicSeconds() >= *burstAt) {
                burstAt.reset();
                for (int n = 0; n < plan_.bigBurst; ++n) get(uniform(1, 3));
            } else if (outstanding_.size() < kMaxOutstanding && !busy()) {
                randomOperation();
            }
            poll(std::uniform_real_distribution<double>(0, 0.03)(random_));
        }
        drain();
        aLink_Destroy(&link_);
        summarize();
    }
    void summarize() {
        report_.statistics = "sent-scratch " + std::to_string(report_.sentScratch) + ", sent-echo " +
                             std::to_string(report_.sentEcho) + ", refused-scratch " +
                             std::to_string(report_.refusedScratch) + ", replies " + std::to_string(replies_) +
                             ", samples " + std::to_string(samples_) + ", timeouts " + std::to_string(timeouts_) +
                             ", own-late " + std::to_string(ownLate_) + ", stray-stream-answers " +
                             std::to_string(strayStreamAnswers_) + ", enables-held " + std::to_string(enablesHeld_) +
                             ", enables-refused " + std::to_string(enablesRefused_) + ", enables-unanswered " +
                             std::to_string(enablesUnanswered_) + ", unsent " + std::to_string(unsent_) + ", fails " +
                             std::to_string(failureCount_);
    }

    const LibraryClientPlan plan_;
    WantLog& wants_;
    std::mt19937_64 random_;
    const std::string name_;
    ClientReport report_;
    aLinkRef link_ = 0;
    std::optional<double> vanishedAt_;
    std::deque<Outstanding> outstanding_;
    std::deque<Outstanding> expired_;  // timed out, a late answer still places them
    // Sequence numbers of the requests the server may still hold, oldest first: the
    // server runs one client's requests in order, so an answer to one means every
    // earlier one has run. Pacing by these keeps the module's work bounded however late
    // its replies are; waiting for replies alone would let the server's queue grow.
    std::deque<long> inServer_;
    long nextSequence_ = 0;
    double progressAt_ = 0;
    std::map<int, std::set<uint32_t>> written_;
    std::set<std::string> writtenBytes_;
    std::set<std::string> everSent_;
    std::set<int> echoesSent_;
    int echoNext_ = 0;
    std::optional<std::string> assembly_;
    int assemblySequence_ = 0;
    std::map<uint8_t, std::string> state_;  // "", pending, held, uncertain, releasing
    std::optional<StreamOp> op_;
    std::string lastEnd_;  // the stream value it last stopped wanting, and why
    std::set<uint8_t> refused_;  // stream values whose enable was refused, not wanted since
    long replies_ = 0, samples_ = 0, timeouts_ = 0, ownLate_ = 0, strayStreamAnswers_ = 0, unsent_ = 0;
    long enablesHeld_ = 0, enablesRefused_ = 0, enablesUnanswered_ = 0;
    size_t failureCount_ = 0;
    std::thread thread_;
};

}  // namespace requestpath
