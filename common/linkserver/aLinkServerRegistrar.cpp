// Lends the link server, its client stream and its discovery to the layers below, which
// reach them only through what is installed here. The build links this file into every
// program that links the link-server library (it asks the linker for
// aLinkServer_Registrar), so the object API shares modules there as it always has.
#include "aDiscoveryLinkServers.h"
#include "aLinkServer.h"
#include "aLinkSharing.h"
#include "aStream_ZeroMQClient.h"
#include "aWeaveDiscovery.h"

namespace {

const aLinkSharingProcs sSharing = {aStream_CreateClient, aLink_CreateServer};

struct Registrar {
    Registrar() {
        aLinkSharing_Install(&sSharing);
        aDiscovery_InstallServerSearch(aDiscovery_Enumerate_aWeaveModules);
    }
};

const Registrar sRegistrar;

}  // namespace

extern "C" {
extern const int aLinkServer_Registrar;
const int aLinkServer_Registrar = 1;
}
