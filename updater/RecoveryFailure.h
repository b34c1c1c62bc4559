// Why the chip's boot ROM could not be reached, in words a user can act on: the port
// missing, refused, not a serial line, or opened with no ROM answering; the same for the
// i.MX ROM on USB. Printed after the fingerprint and recovery errors as "Reason: ...".
#pragma once

#include <string>

#include "UpdaterDisplayInterface.h"

// Records the reason of the last failed attempt to reach a boot ROM; empty clears it.
void _record_recovery_failure(const std::string& reason);
std::string _last_recovery_failure();
// Prints "Reason: ..." as an error when there is a reason.
void _report_recovery_failure(UpdaterDisplayInterface& display);

// What keeps `port` from serving as the line to a boot ROM, from the system's own answer
// to opening it; empty when it opens as a terminal.
std::string _serial_port_problem(const std::string& port);
// The reason for a port that opened as a terminal where no boot ROM answered.
std::string _silent_rom_reason(const std::string& port);
// Why the i.MX boot ROM cannot be opened over USB HID; empty when its node opens.
std::string _usb_rom_problem();
// The reason for a port that another program holds: `what` names the port, `holder` the
// process that holds it (0 when the system does not tell).
std::string _busy_port_reason(const std::string& what, int holder);
