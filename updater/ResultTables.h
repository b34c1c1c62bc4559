// The fixed console output of the tool: version and notice lines and the tables
// that print the results of the commands. All of it goes to standard output as
// information lines and is dropped while the display is muted.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "DeviceInfo.h"
#include "Fingerprint.h"
#include "UpdateServerRequest.h"
#include "UpdaterDisplayInterface.h"
#include "discover.h"

void _display_app_version(UpdaterDisplayInterface& display);
void _display_notice(UpdaterDisplayInterface& display);
// `searched` names the transport in the title and picks the heading; each row's
// form follows the type of its own linkSpec.
void _display_device_list(UpdaterDisplayInterface& display, const std::vector<DeviceInfo>& devices, linkType searched);
// Rows newest version first, as UpdateServerRequest::SortBuildsByVersion orders them.
void _display_builds(UpdaterDisplayInterface& display, const BuildMap& builds, uint32_t serialNumber);
void _display_fingerprint(UpdaterDisplayInterface& display, const Fingerprint& fingerprint);
void _display_jwt(UpdaterDisplayInterface& display, const std::string& token);
