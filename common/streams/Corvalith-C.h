// The one libusb context of the process, created on first use and kept until the
// process ends, with the thread that handles its events (transfer completions).
#pragma once

#include <libusb.h>

// The context, or NULL before Corvalith_libusb_init succeeded.
libusb_context* Corvalith_libusb_context();
// Creates the context unless it exists; the libusb_init result (0 when it exists).
int Corvalith_libusb_init();
// The context, created first when it does not exist yet; NULL when libusb cannot start.
// Every user of the bus takes the context through this.
libusb_context* Corvalith_libusb_acquire();
// True while the context's event thread runs.
bool Corvalith_libusb_events_running();
// Ends the event thread and the context; nothing in the system calls it.
void Corvalith_libusb_exit();
