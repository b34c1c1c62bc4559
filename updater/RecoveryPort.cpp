#include "RecoveryPort.h"

#include "HID_SDPLoader.h"
#include "RecoveryFailure.h"
#include "SDPLoader.h"

RecoveryPort::~RecoveryPort() {
    aPortClaim_Release(&claim_);
}

bool RecoveryPort::take(const std::string& port) {
    aPortClaim_Release(&claim_);
    const bool hid = port == "USB";
    const std::string node = hid ? HID_SDPLoader::NodeOf(IMX1050::VID, IMX1050::PID) : port;
    if (node.empty()) return true;
    if (aPortClaim_Take(node.c_str(), &claim_) != aErrBusy) return true;
    _record_recovery_failure(_busy_port_reason(hid ? "the i.MX boot ROM on USB (" + node + ")" : port,
                                               aPortClaim_HolderPid(node.c_str())));
    return false;
}
