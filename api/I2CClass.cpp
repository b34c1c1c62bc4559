#include "I2CClass.h"

#include <algorithm>
#include <cstring>

namespace Veltrane {
namespace Corvalith {

namespace {

const uint8_t I2C_COMMAND = 8;
const uint8_t SPEED_MAX = 3;
const uint8_t TRANSFER_MAX = 23;
const uint8_t PULLUP_SELECTOR = 1;
const uint8_t READ_FLAG = 1;
const uint8_t STATUS_BYTE = 4;
const uint8_t READ_DATA_START = 5;
const uint8_t STATUS_ERROR = 0x80;
const uint8_t STATUS_CODE_MASK = 0x7F;

}  // namespace

aErr I2CClass::init(Module* module, uint8_t index) {
    speed = 0;
    return EntityClass::init(module, I2C_COMMAND, index);
}

aErr I2CClass::setSpeed(uint8_t newSpeed) {
    if (newSpeed > SPEED_MAX) return aErrParam;
    speed = newSpeed;
    return aErrNone;
}

aErr I2CClass::getSpeed(uint8_t* out) const {
    if (!out) return aErrParam;
    *out = speed;
    return aErrNone;
}

// The request's first byte is the command; sendPacket takes it apart from the rest.
// A status with the error flag always fails, also when it carries no code: a bus
// address that nothing acknowledges must never read as a device.
aErr I2CClass::transfer(const uint8_t* request, uint8_t requestLength, const uint8_t* match, uint8_t matchLength,
                        uint8_t* reply, uint8_t* replyLength) {
    aErr result = sendPacket(request[0], static_cast<uint8_t>(requestLength - 1), request + 1);
    if (result != aErrNone) return result;
    *replyLength = matchLength;
    result = receivePacket(match, replyLength, reply);
    if (result != aErrNone) return result;
    if (*replyLength <= STATUS_BYTE) return aErrPacket;
    const uint8_t status = reply[STATUS_BYTE];
    if (status & STATUS_ERROR) {
        const uint8_t code = status & STATUS_CODE_MASK;
        return code != 0 ? static_cast<aErr>(code) : static_cast<aErr>(aErrUnknown);
    }
    return aErrNone;
}

aErr I2CClass::read(uint8_t address, uint8_t length, uint8_t* buffer) {
    if (length > TRANSFER_MAX) return aErrSize;
    if (!buffer && length > 0) return aErrParam;
    const uint8_t command = I2C_COMMAND;
    const uint8_t index = getIndex();
    const uint8_t busAddress = static_cast<uint8_t>(address | READ_FLAG);
    const uint8_t request[] = {command, index, busAddress, length, speed};
    const uint8_t match[] = {command, index, busAddress};
    uint8_t reply[aPACKET_MAX_DATA] = {};
    uint8_t replyLength = 0;
    const aErr result = transfer(request, sizeof request, match, sizeof match, reply, &replyLength);
    if (result != aErrNone) return result;
    const uint8_t carried = static_cast<uint8_t>(replyLength - READ_DATA_START);
    const uint8_t count = std::min({reply[3], carried, length});
    if (count) memcpy(buffer, reply + READ_DATA_START, count);
    return aErrNone;
}

aErr I2CClass::write(uint8_t address, uint8_t length, const uint8_t* data) {
    if (length > TRANSFER_MAX) return aErrSize;
    if (!data && length > 0) return aErrParam;
    const uint8_t command = I2C_COMMAND;
    const uint8_t index = getIndex();
    uint8_t request[aPACKET_MAX_DATA] = {command, index, address, length, speed};
    if (length) memcpy(request + 5, data, length);
    const uint8_t match[] = {command, index, address, 0};
    uint8_t reply[aPACKET_MAX_DATA] = {};
    uint8_t replyLength = 0;
    return transfer(request, static_cast<uint8_t>(5 + length), match, sizeof match, reply, &replyLength);
}

aErr I2CClass::setPullup(bool on) {
    const uint8_t command = I2C_COMMAND;
    const uint8_t index = getIndex();
    const uint8_t request[] = {command, index, PULLUP_SELECTOR, static_cast<uint8_t>(on ? 1 : 0)};
    const uint8_t match[] = {command, index, PULLUP_SELECTOR};
    uint8_t reply[aPACKET_MAX_DATA] = {};
    uint8_t replyLength = 0;
    return transfer(request, sizeof request, match, sizeof match, reply, &replyLength);
}

}  // namespace Corvalith
}  // namespace Veltrane
