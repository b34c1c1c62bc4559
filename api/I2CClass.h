// The I2C buses of a module (entity class 8): raw reads and writes of bus devices and
// the pull-up resistors.
#pragma once

#include <cstdint>

#include "Entity.h"

namespace Veltrane {
namespace Corvalith {

class I2CClass : public EntityClass {
public:
    I2CClass() = default;
    ~I2CClass() override = default;

    aErr init(Module* module, uint8_t index);
    // Bus speed setting 0 to 3, carried by every read and write.
    aErr setSpeed(uint8_t speed);
    aErr getSpeed(uint8_t* speed) const;
    // address is the 8-bit bus address; a read sets its bit 0. At most 23 bytes.
    aErr read(uint8_t address, uint8_t length, uint8_t* buffer);
    aErr write(uint8_t address, uint8_t length, const uint8_t* data);
    aErr setPullup(bool on);

private:
    // Sends the request and waits for the reply that starts with match; answers the
    // module's status and leaves the reply in reply/replyLength.
    aErr transfer(const uint8_t* request, uint8_t requestLength, const uint8_t* match, uint8_t matchLength,
                  uint8_t* reply, uint8_t* replyLength);

    uint8_t speed = 0;
};

}  // namespace Corvalith
}  // namespace Veltrane
