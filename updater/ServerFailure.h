// Why the last update-server request failed, in words a user can act on: the connection
// refused, the host unknown, the page not found (with its HTTP status), and so on.
#pragma once

#include <string>

#include "UpdaterDisplayInterface.h"

// Records the reason of a failed request (any thread); an empty reason clears it.
void _record_server_failure(const std::string& reason);
// The reason of the last failed request, empty when the last request succeeded.
std::string _last_server_failure();
// Prints "Reason: ..." as an error when there is a reason.
void _report_server_failure(UpdaterDisplayInterface& display);
