// A USB link shared through a link server, and this process's own client link to it.
#include "aLinkServer.h"

#include "aLinkManagerInternal.h"
#include "aModuleCommands.h"
#include "aServer_ZeroMQ.h"
#include "aTime.h"
#include "aTrace.h"

namespace {

const uint32_t TRACE_CREATE = 0x1;
const uint32_t TRACE_SERVER = 0x4;
const int DEVICE_INFO_ATTEMPTS = 5;
const uint64_t DEVICE_INFO_RETRY_MS = 10;
const uint64_t REPLY_WAIT_MS = 1000;
const uint8_t SYSTEM_COMMAND = aCMD_SYSTEM;
const uint8_t MODEL_OPTION_GET = aCMD_OPTION_GET | aCMD_SYSTEM_MODEL;
const uint8_t SPECIFIER_REQUEST = aCMD_SPECIFIER_REQUEST;

uint8_t sAddressAnswer(const aPacket* packet, const void*) {
    return packet->dataSize == 0;
}

uint8_t sModelAnswer(const aPacket* packet, const void* ref) {
    return packet->address == *static_cast<const uint8_t*>(ref) && packet->dataSize >= 1 &&
           packet->data[0] == SYSTEM_COMMAND;
}

aErr sPut(aLinkRef link, uint8_t address, uint8_t length, const uint8_t* data) {
    aPacket* packet = aPacket_CreateWithData(address, length, data);
    if (!packet) return aErrMemory;
    const aErr result = aLink_PutPacket(link, packet);
    aPacket_Destroy(&packet);
    return result;
}

// The module's address and model, asked through the new client link.
aErr sGetDeviceInfo(aLinkRef clientId, aServerRef server) {
    const uint8_t none = 0;
    aErr result = sPut(clientId, aLINK_ADDRESS_SYNC, 0, &none);
    aPacket* reply = result == aErrNone ? aLink_AwaitFirst(clientId, sAddressAnswer, nullptr, REPLY_WAIT_MS) : nullptr;
    if (result == aErrNone && !reply) result = aErrTimeout;
    uint8_t address = 0;
    if (reply) {
        address = reply->address;
        if (address == 0) result = aErrIO;
        aPacket_Destroy(&reply);
    }
    if (result == aErrNone) {
        aTrace(TRACE_SERVER, "_getDeviceInfo: moduleAddress:%d\n", address);
        aServer_SetModuleAddress(server, address);
        const uint8_t query[] = {SYSTEM_COMMAND, MODEL_OPTION_GET, SPECIFIER_REQUEST};
        result = sPut(clientId, address, sizeof query, query);
    }
    if (result == aErrNone) {
        reply = aLink_AwaitFirst(clientId, sModelAnswer, &address, REPLY_WAIT_MS);
        if (!reply) {
            result = aErrTimeout;
        } else {
            if (reply->dataSize == 4) {
                aTrace(TRACE_SERVER, "_getDeviceInfo: model:%d\n", reply->data[3]);
                aServer_SetModel(server, reply->data[3]);
            } else {
                result = aErrIO;
            }
            aPacket_Destroy(&reply);
        }
    }
    if (result != aErrNone) {
        aTrace(TRACE_SERVER, "_getDeviceInfo: Flush FIFO\n");
        aServer_FlushFIFO(server);
    }
    return result;
}

// The registry runs this when the served link goes.
void sDestroyServer(void* server) {
    aServerRef doomed = static_cast<aServerRef>(server);
    aServer_Destroy(&doomed);
}

void sFail(const char* step) {
    aTrace(TRACE_CREATE, "FAIL: %s:\n", step);
}

}  // namespace

aLinkRef aLink_CreateServer(uint32_t serialNumber, uint16_t* port, uint32_t* networkInterface, uint8_t localOnly) {
    if (!port || !networkInterface) return 0;
    // A module whose link another user holds is not served: both would take each
    // other's replies.
    const aLinkRef servedId = aLinkManager_CreateServedUSB(serialNumber);
    if (!servedId) {
        sFail("aLink_CreateUSB");
        return 0;
    }
    aServerRef server = aServer_Create(servedId, *networkInterface, localOnly);
    aLinkRef usbId = servedId;  // this call's own use of the USB link, while it holds it
    aLinkRef clientId = 0;
    uint32_t bound = 0;
    bool ok = server != nullptr;
    if (!ok) sFail("aServer_Create");
    if (ok && !(ok = aServer_Start(server) == aErrNone)) sFail("aServer_Start");
    if (ok && !(ok = aServer_GetPort(server, port) == aErrNone)) sFail("aServer_GetPort");
    if (ok && !(ok = aServer_GetInterface(server, &bound) == aErrNone)) sFail("aServer_GetInterface");
    if (ok && !(ok = aLinkManager_SetTeardown(servedId, sDestroyServer, server))) sFail("sLookupEntryByID");
    if (ok && !(ok = (clientId = aLink_CreateClient(bound, *port, 0)) != 0)) sFail("aLink_CreateClient");
    // From here the client link holds this call's use of the USB link.
    if (ok && !(ok = aLinkManager_SetCompanion(clientId, servedId))) sFail("NULL != clientItem");
    if (ok) usbId = 0;
    for (int attempt = 0; ok; ++attempt) {
        if (sGetDeviceInfo(clientId, server) == aErrNone) break;
        if (attempt + 1 == DEVICE_INFO_ATTEMPTS) {
            sFail("NULL != _getDeviceInfo");
            ok = false;
        } else {
            aTrace(TRACE_CREATE, "FAIL: for _getDeviceInfo will try again. :\n");
            aTime_MSSleep(DEVICE_INFO_RETRY_MS);
        }
    }
    if (ok) {
        *networkInterface = bound;
        return clientId;
    }
    aTrace(TRACE_SERVER, "Failed to create server\n");
    // The server goes first, so a USB link that another user keeps is left as it was;
    // then this call's one use of it is given back, through the client link when that
    // holds it.
    if (server) {
        aLinkManager_SetTeardown(servedId, nullptr, nullptr);
        aServer_Destroy(&server);
    }
    if (clientId) aLink_Destroy(&clientId);
    if (usbId) aLink_Destroy(&usbId);
    return 0;
}
