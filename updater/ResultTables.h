// The fixed console output of the tool: version and notice lines and the tables
// that print the results of the commands. All of it goes to standard output as
// information lines and is dropped while the display is muted.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "DeviceInfo.h"
#include "Fingerprint.h"
#include "UpdaterDisplayInterface.h"
#include "discover.h"

// Build text and version text, in the order the table shows them (newest version first).
using BuildRows = std::vector<std::pair<std::string, std::string>>;

void _display_app_version(UpdaterDisplayInterface& display);
void _display_notice(UpdaterDisplayInterface& display);
// `searched` names the transport in the title and picks the heading; each row's
// form follows the type of its own link specification.
void _display_device_list(UpdaterDisplayInterface& display, const std::vector<DeviceInfo>& devices,
                          linkType searched);
void _display_builds(UpdaterDisplayInterface& display, const BuildRows& builds, uint32_t serialNumber);
void _display_fingerprint(UpdaterDisplayInterface& display, const Fingerprint& fingerprint);
void _display_jwt(UpdaterDisplayInterface& display, const std::string& token);
