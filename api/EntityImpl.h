// The private state of an EntityClass: the module it talks to, its command and index.
#pragma once

#include "Entity.h"

namespace Veltrane {
namespace Corvalith {

class EntityClass::impl {
public:
    explicit impl(EntityClass* ownerEntity) : owner(ownerEntity) {}

    // The Link of the bound module, or none: every exchange then answers aErrResource.
    Link* link() const { return module ? module->getLink() : nullptr; }
    uint8_t address() const { return module->getModuleAddress(); }
    // Sends the record as a request of the option with the given flag and waits for the
    // reply with the expected option byte; an error reply answers the module's code.
    aErr exchange(uint8_t requestOption, uint8_t replyOption, uei* record, const uint8_t* subindex);

    EntityClass* owner;
    Module* module = nullptr;
    uint8_t command = 0;
    uint8_t index = 0;
};

}  // namespace Corvalith
}  // namespace Veltrane
