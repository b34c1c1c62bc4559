// EntityClass: binding, raw packets, and the get, set and call exchanges of numbers.
#include "Entity.h"

#include "EntityImpl.h"

namespace Veltrane {
namespace Corvalith {

namespace {

bool resultCarriesValue(aErr result) {
    return result == aErrNone || result == aErrStreamStale;
}

// The reply's number in whatever width the module sent it.
uint32_t replyNumber(const uei& record) {
    switch (record.type) {
    case ueiBYTE:
        return record.value.byteVal;
    case ueiSHORT:
        return record.value.shortVal;
    case ueiINT:
        return record.value.intVal;
    default:
        return 0;
    }
}

uei numberRecord(uint32_t type) {
    uei record{};
    record.type = type;
    return record;
}

template <typename T>
aErr getNumber(EntityClass& entity, uint8_t option, const uint8_t* subindex, T* value) {
    if (!value) return aErrParam;
    uei record = numberRecord(subindex ? ueiBYTE : ueiVOID);
    if (subindex) record.value.byteVal = *subindex;
    const aErr result = entity.getUEI(option, &record);
    if (resultCarriesValue(result)) *value = static_cast<T>(replyNumber(record));
    return result;
}

}  // namespace

aErr EntityClass::impl::exchange(uint8_t requestOption, uint8_t replyOption, uei* record, const uint8_t* subindex) {
    Link* target = link();
    if (!target) return aErrResource;
    record->module = address();
    record->command = command;
    record->option = requestOption;
    record->specifier = static_cast<uint8_t>(index | ueiSPECIFIER_REQUEST);
    aErr result = subindex ? target->sendUEI(*record, *subindex) : target->sendUEI(*record);
    if (result != aErrNone) return result;
    record->option = replyOption;
    record->specifier = index;
    result = target->receiveUEI(record->module, command, replyOption, index, record);
    if (result != aErrNone) return result;
    if (record->specifier & ueiSPECIFIER_ERROR) return record->value.byteVal;
    return aErrNone;
}

EntityClass::EntityClass() : m_impl(new impl(this)) {}

EntityClass::~EntityClass() {
    delete m_impl;
}

aErr EntityClass::init(Module* module, uint8_t command, uint8_t index) {
    m_impl->module = module;
    m_impl->command = command;
    m_impl->index = index;
    return aErrNone;
}

uint8_t EntityClass::getIndex() const {
    return m_impl->index;
}

aErr EntityClass::sendPacket(uint8_t command, uint8_t length, const uint8_t* data) {
    Link* target = m_impl->link();
    if (!target) return aErrResource;
    return target->sendPacket(m_impl->address(), command, length, data);
}

aErr EntityClass::receivePacket(const uint8_t* match, uint8_t* length, uint8_t* buffer) {
    Link* target = m_impl->link();
    if (!target) return aErrResource;
    return target->receivePacket(m_impl->address(), match, length, buffer);
}

aErr EntityClass::getUEI(uint8_t option, uei* record) {
    if (!record) return aErrParam;
    Link* target = m_impl->link();
    if (!target) return aErrResource;
    const uint8_t subindex = record->type == ueiBYTE ? record->value.byteVal : 0;
    uint32_t cached = 0;
    const aErr cacheResult =
        target->getStreamValue(m_impl->address(), m_impl->command, option, m_impl->index, subindex, &cached);
    if (cacheResult != aErrNotFound) {
        // A cached value always reads as a 32-bit reply, whatever width the request had.
        record->type = ueiINT;
        record->value.intVal = cached;
        return cacheResult;
    }
    return m_impl->exchange(static_cast<uint8_t>(option | ueiOPTION_GET), option, record, nullptr);
}

aErr EntityClass::setUEI(uint8_t option, uei* record) {
    if (!record) return aErrParam;
    return m_impl->exchange(static_cast<uint8_t>(option | ueiOPTION_SET), static_cast<uint8_t>(option | ueiOPTION_ACK),
                            record, nullptr);
}

aErr EntityClass::setUEI(uint8_t option, uint8_t subindex, uei* record) {
    if (!record) return aErrParam;
    return m_impl->exchange(static_cast<uint8_t>(option | ueiOPTION_SET), static_cast<uint8_t>(option | ueiOPTION_ACK),
                            record, &subindex);
}

aErr EntityClass::callUEI(uint8_t option) {
    uei record = numberRecord(ueiVOID);
    return setUEI(option, &record);
}

aErr EntityClass::setUEI8(uint8_t option, uint8_t value) {
    uei record = numberRecord(ueiBYTE);
    record.value.byteVal = value;
    return setUEI(option, &record);
}

aErr EntityClass::setUEI8(uint8_t option, uint8_t subindex, uint8_t value) {
    uei record = numberRecord(ueiBYTE);
    record.value.byteVal = value;
    return setUEI(option, subindex, &record);
}

aErr EntityClass::setUEI16(uint8_t option, uint16_t value) {
    uei record = numberRecord(ueiSHORT);
    record.value.shortVal = value;
    return setUEI(option, &record);
}

aErr EntityClass::setUEI16(uint8_t option, uint8_t subindex, uint16_t value) {
    uei record = numberRecord(ueiSHORT);
    record.value.shortVal = value;
    return setUEI(option, subindex, &record);
}

aErr EntityClass::setUEI32(uint8_t option, uint32_t value) {
    uei record = numberRecord(ueiINT);
    record.value.intVal = value;
    return setUEI(option, &record);
}

aErr EntityClass::setUEI32(uint8_t option, uint8_t subindex, uint32_t value) {
    uei record = numberRecord(ueiINT);
    record.value.intVal = value;
    return setUEI(option, subindex, &record);
}

aErr EntityClass::getUEI8(uint8_t option, uint8_t* value) {
    return getNumber(*this, option, nullptr, value);
}

aErr EntityClass::getUEI8(uint8_t option, uint8_t subindex, uint8_t* value) {
    return getNumber(*this, option, &subindex, value);
}

aErr EntityClass::getUEI16(uint8_t option, uint16_t* value) {
    return getNumber(*this, option, nullptr, value);
}

aErr EntityClass::getUEI16(uint8_t option, uint8_t subindex, uint16_t* value) {
    return getNumber(*this, option, &subindex, value);
}

aErr EntityClass::getUEI32(uint8_t option, uint32_t* value) {
    return getNumber(*this, option, nullptr, value);
}

aErr EntityClass::getUEI32(uint8_t option, uint8_t subindex, uint32_t* value) {
    return getNumber(*this, option, &subindex, value);
}

}  // namespace Corvalith
}  // namespace Veltrane
