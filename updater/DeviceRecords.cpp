#include "DeviceRecords.h"

#include "SystemClass.h"
#include "aByteOrder.h"
#include "aVersion.h"

namespace {

const uint8_t INFO_COMMAND = 0x49;
const uint8_t BUILD_NUMBER_QUERY = 0xFF;
const uint8_t BUILD_REPLY_LENGTH = 6;

}  // namespace

uint32_t _get_build_number(Veltrane::Corvalith::Module& module) {
    Veltrane::Corvalith::Link* link = module.getLink();
    if (!link) return 0;
    const uint8_t query = BUILD_NUMBER_QUERY;
    if (link->sendPacket(module.getModuleAddress(), INFO_COMMAND, 1, &query) != aErrNone) return 0;
    const uint8_t match[] = {INFO_COMMAND, BUILD_NUMBER_QUERY};
    uint8_t reply[aPACKET_MAX_DATA] = {};
    uint8_t length = sizeof match;
    if (link->receivePacket(module.getModuleAddress(), match, &length, reply) != aErrNone) return 0;
    if (length != BUILD_REPLY_LENGTH) return 0;
    return aByteOrder_ReadBE32(reply + 2);
}

aErr _get_version(Veltrane::Corvalith::Module& module, DeviceInfo& record) {
    Veltrane::Corvalith::SystemClass system;
    aErr result = system.init(&module, 0);
    if (result != aErrNone) return result;
    uint32_t version = 0;
    result = system.getVersion(&version);
    if (result != aErrNone) return result;
    record.versionMajor = aVersion_ParseMajor(version);
    record.versionMinor = aVersion_ParseMinor(version);
    record.versionPatch = aVersion_ParsePatch(version);
    uint8_t address = 0;
    result = system.getModule(&address);
    if (result != aErrNone) return result;
    record.spec.moduleAddress = address;
    result = system.getRouter(&address);
    if (result != aErrNone) return result;
    record.spec.routerAddress = address;
    return aErrNone;
}
