// One program at a time on a serial port (or another device node), as serial tools keep
// it: the claim holds the node open with an exclusive lock on its descriptor (flock), which
// every program that claims the node respects, root too, and marks a terminal exclusive
// (TIOCEXCL), so that no other program but root's can open it at all while it is held. The
// kernel lets go of the lock when the holder ends, however it ends, and of a serial port's
// exclusive mark at its last close. A pseudo-terminal keeps the mark while its other side
// stays open: a holder killed before its release leaves it refusing users other than root
// until that side closes (the lock is gone, so root, or a run as root, may open it).
//
// Within the process that holds a claim, the streams that open the node share the claim's
// descriptor (aPortClaim_Open), so a command that claims a port for its whole run may open
// and close streams on it as often as it needs. Claims of one node in one process nest.
#pragma once

#include "aError.h"

typedef struct aPortClaim* aPortClaimRef;

// Claims the node at `path` without waiting. aErrNone with *claim set; aErrBusy when another
// program holds it; the open's own error (aErrNotFound, aErrPermission, aErrIO) when the node
// cannot be opened, *claim NULL. A node that takes no lock (or is no terminal) is claimed as
// far as it can be.
aErr aPortClaim_Take(const char* path, aPortClaimRef* claim);
// Lets go of a claim taken by aPortClaim_Take and clears the handle; NULL is a no-op.
void aPortClaim_Release(aPortClaimRef* claim);
// The process whose lock holds the node at `path`, as the system lists it; 0 when none is known.
int aPortClaim_HolderPid(const char* path);

// Opens the node read-write, never as the controlling terminal, non-blocking and
// close-on-exec: a new descriptor on this process's claim of the node when it holds one,
// else a plain open. -1 with errno set on failure (EBUSY: another program's claim). The
// caller closes the descriptor; the claim stays.
int aPortClaim_Open(const char* path);
