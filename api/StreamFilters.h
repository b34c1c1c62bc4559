// Several Links may hold one link (a router's modules share the router's link), but a
// link has a single user-filter slot. This keeps, per link, the stream tables whose
// filters are installed, and installs one filter that offers each packet to all of them,
// so that a Link installs and removes only its own filter.
#pragma once

#include "aLink.h"

namespace Veltrane {
namespace Corvalith {

class StreamTable;

// Both may be called again with the same pair; they take the link's user-filter mutex
// and must not be called with a table's streamLock held.
aErr streamFilters_Add(aLinkRef linkRef, StreamTable* table);
// When this returns, the reader thread no longer calls the table's filter.
aErr streamFilters_Remove(aLinkRef linkRef, StreamTable* table);

}  // namespace Corvalith
}  // namespace Veltrane
