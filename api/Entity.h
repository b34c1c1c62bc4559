// An entity of a module: a command byte (its entity class) and an index, bound to a
// Module, with the value exchanges and raw packets on them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>

#include "Module.h"
#include "Uei.h"

namespace Veltrane {
namespace Corvalith {

class EntityClass {
public:
    EntityClass();
    virtual ~EntityClass();
    EntityClass(const EntityClass&) = delete;
    EntityClass& operator=(const EntityClass&) = delete;

    // The module must outlive every exchange of the entity.
    aErr init(Module* module, uint8_t command, uint8_t index);
    uint8_t getIndex() const;

    aErr sendPacket(uint8_t command, uint8_t length, const uint8_t* data);
    aErr receivePacket(const uint8_t* match, uint8_t* length, uint8_t* buffer);

    aErr getUEI(uint8_t option, uei* record);
    aErr setUEI(uint8_t option, uei* record);
    aErr setUEI(uint8_t option, uint8_t subindex, uei* record);

    aErr callUEI(uint8_t option);
    aErr setUEI8(uint8_t option, uint8_t value);
    aErr setUEI8(uint8_t option, uint8_t subindex, uint8_t value);
    aErr setUEI16(uint8_t option, uint16_t value);
    aErr setUEI16(uint8_t option, uint8_t subindex, uint16_t value);
    aErr setUEI32(uint8_t option, uint32_t value);
    aErr setUEI32(uint8_t option, uint8_t subindex, uint32_t value);
    // At most 3072 bytes (128 chunks of 24).
    aErr setUEIBytes(uint8_t option, const uint8_t* data, size_t length);

    aErr getUEI8(uint8_t option, uint8_t* value);
    aErr getUEI8(uint8_t option, uint8_t subindex, uint8_t* value);
    aErr getUEI16(uint8_t option, uint16_t* value);
    aErr getUEI16(uint8_t option, uint8_t subindex, uint16_t* value);
    aErr getUEI32(uint8_t option, uint32_t* value);
    aErr getUEI32(uint8_t option, uint8_t subindex, uint32_t* value);
    // Collects the chunks of a byte-string value into buffer; *received counts the bytes.
    aErr getUEIBytes(uint8_t option, uint8_t* buffer, size_t length, size_t* received);
    // Turns a byte count into a count of units; aErrMemory when it is no multiple.
    aErr getUEIBytesCheck(size_t* count, size_t unit);

    // Waits for a 32-bit reply of the option without sending a request.
    aErr awaitUEI32Val(uint32_t option, uint32_t* value, uint32_t unused);
    // Drops queued replies of the option, so a late one is not taken for the next.
    aErr drainUEI(uint8_t option);

    static uint8_t sUEIBytesFilter(const aPacket* packet, const void* ref);
    static uint8_t getUEIBytesSequence(const aPacket* packet);
    static bool getUEIBytesContinue(const aPacket* packet);

    // Streams of this entity's command and index on its module's Link.
    aErr setStreamEnabled(uint8_t enable);
    aErr registerOptionCallback(uint8_t option, bool enable, std::function<aErr(aPacket const*, void*)> callback,
                                void* ref);
    aErr getStreamStatus(std::map<uint64_t, uint32_t>* values);

private:
    class impl;
    impl* m_impl;
};

}  // namespace Corvalith
}  // namespace Veltrane
