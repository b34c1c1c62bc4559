// The life of a link's registry entry as one state machine: its states, the moves
// between them, and what a call, a creator and a reset meet in each. The registry
// (aLinkManagerInternal.cpp) moves an entry only through aLinkState_CanMove, under the
// registry mutex; ARCHITECTURE.md draws the machine.
//
//   Starting --started--> Open --reset, exit--> Stopping --threads joined--> Remaking
//      |                   ^ |                                                  |
//      | failed            | `------------------ remade, or left stopped -------'
//      |                   |
//      |                  Open --last use dropped--> Closing --torn down--> Gone
//      `-------------------------------------------> Closing
#pragma once

#include <cstdint>

enum class aLinkState : uint8_t {
    // Its creator opens the stream and starts the link. No call finds the ID yet; other
    // creators of the same module wait for the outcome and are given a use with it.
    Starting,
    // Running, or stopped by a reset that could not reopen the stream: calls are served
    // and creators of the module share the link.
    Open,
    // A reset (or the exit teardown) stops the link's threads. A call made on any
    // link's reader or writer thread is served at once (such a call may be what the
    // stop waits for); a call from another thread waits until the link is open again.
    Stopping,
    // The threads are joined; the link's parts are freed and made again. Every call
    // waits; nothing done here waits on a link's thread or on a call.
    Remaking,
    // The last use is dropped and the link is torn down: calls find the ID unknown,
    // creators of a module that has a device to let go (USB, serial) wait for Gone.
    Closing,
    // Torn down and taken off the registry; the record lives while waiters keep it.
    Gone,
};

const char* aLinkState_Name(aLinkState state);

// The legal moves, all of them: Starting to Open or Closing, Open to Stopping or
// Closing, Stopping to Remaking, Remaking to Open, Closing to Gone.
bool aLinkState_CanMove(aLinkState from, aLinkState to);

// What a call on the link's ID meets: served now, a wait until the state changes, or
// an ID the registry does not hold.
enum class aLinkCallAccess { Served, Waits, Unknown };
aLinkCallAccess aLinkState_CallAccess(aLinkState state, bool onALinkThread);

// What a creator of the module's link does on meeting the module's entry.
enum class aLinkCreatorStep {
    // Takes one more use of it.
    Share,
    // Waits for its creator's start and reads the outcome from the entry.
    AwaitStart,
    // Waits until it is gone (it still holds the module's device), then looks again.
    AwaitGone,
    // Leaves it to its teardown and makes a link of its own.
    MakeAnother,
};
aLinkCreatorStep aLinkState_CreatorStep(aLinkState state, bool holdsADevice);

// A reset, or the exit's stop, begins only on an open link (one at a time).
bool aLinkState_CanBeginReset(aLinkState state);

// Whether the last destroy may tear the link down now, or waits for a reset to end.
bool aLinkState_CanClose(aLinkState state);
