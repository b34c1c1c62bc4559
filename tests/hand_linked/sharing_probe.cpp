// A program of the object API that a packager might link by hand from the static
// libraries. It asks for the two things that need the link-server library: a USB link
// shared through a link server of its own, and a client link to a link server. Given
// "missing" it expects both refused as not available (the library or its registrar was
// left out); given "present" it expects neither refused so (the link server is there;
// no module answers to the serial number, and the client link to a port nothing listens
// on may well come up, since a ZeroMQ connection is made when a server appears).
#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Link.h"
#include "aError.h"
#include "discover.h"

namespace {

using Veltrane::Corvalith::Link;

aErr sConnect(const linkSpec& spec, const char* name) {
    Link link(spec, name);
    const aErr result = link.connect();
    printf("%s: %s (%d)\n", name, aError_GetErrorText(result), static_cast<int>(result));
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3 || (strcmp(argv[1], "missing") != 0 && strcmp(argv[1], "present") != 0)) {
        fprintf(stderr, "usage: %s missing|present <closed TCP port on 127.0.0.1>\n", argv[0]);
        return 2;
    }
    const bool missing = strcmp(argv[1], "missing") == 0;
    linkSpec usb = {};
    usb.type = USB;
    usb.serialNumber = 0x0BADF00Du;
    usb.ipAddress = usb.serialNumber;
    linkSpec client = {};
    client.type = AWEAVE;
    client.ipAddress = htonl(INADDR_LOOPBACK);
    client.port = static_cast<uint32_t>(atoi(argv[2]));
    const aErr shared = sConnect(usb, "shared USB link");
    const aErr reached = sConnect(client, "client link");
    const bool refused = shared == aErrUnimplemented && reached == aErrUnimplemented;
    const bool served = shared != aErrUnimplemented && reached != aErrUnimplemented;
    return (missing ? refused : served) ? 0 : 1;
}
