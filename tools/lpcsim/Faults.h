// Scripted misbehaviour of the simulated boot ROM.
#pragma once

#include <string>
#include <vector>

namespace lpcsim {

enum class FaultKind {
    Silent,          // no echo, no answer at all
    ReturnCode,      // answer with `code` and do nothing
    ChecksumResend,  // answer a data checksum with RESEND
    ChecksumWrong,   // answer a data checksum with a line that is neither OK nor RESEND
    ChecksumSilent,  // answer a data checksum with nothing
    ChecksumPass,    // answer a data checksum truthfully (orders the faults around it)
    Hold,            // carry the command out, keep its answer until released
};

struct Fault {
    FaultKind kind = FaultKind::Silent;
    char command = 0;  // ISP command letter, '?' for the sync handshake; unused for checksums
    int code = 0;
    int remaining = -1;  // times left to strike; -1 for ever
};

// Faults in force; each strike uses one of a fault's times.
class Faults {
public:
    // Rules: "silent:<letter|sync>[:N]", "rc:<letter>:<code>[:N]",
    // "checksum:resend|wrong|silent|pass[:N]", "hold:<letter>[:N]". Returns false with an
    // error text.
    bool add(const std::string& rule, std::string& error);
    void clear() { faults_.clear(); }
    // The fault of this kind (and command) to apply now, counted as used; null when none.
    const Fault* strike(FaultKind kind, char command = 0);
    // A checksum fault of any kind that applies now.
    const Fault* strikeChecksum();

private:
    std::vector<Fault> faults_;
    Fault struck_;
};

}  // namespace lpcsim
