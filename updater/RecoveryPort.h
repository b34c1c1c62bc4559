// One recovery per port: a fingerprint or a recovery claims the port it talks to (the serial
// port, or for "USB" the i.MX boot ROM's HID node) for its whole run, so a second run on the
// same port is refused before it sends a byte instead of wrecking the first one's write.
#pragma once

#include <string>

#include "aPortClaim.h"

class RecoveryPort {
public:
    RecoveryPort() = default;
    ~RecoveryPort();
    RecoveryPort(const RecoveryPort&) = delete;
    RecoveryPort& operator=(const RecoveryPort&) = delete;

    // Claims the port; false, with the reason recorded for "Reason: ...", when another
    // program holds it. A port that cannot be opened at all is left to the steps that follow,
    // which say why.
    bool take(const std::string& port);

private:
    aPortClaimRef claim_ = nullptr;
};
