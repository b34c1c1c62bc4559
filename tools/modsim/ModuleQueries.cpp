#include "ModuleQueries.h"

#include "SimModule.h"
#include "UeiHandler.h"

namespace modsim {

namespace {

constexpr uint8_t kInfoCommand = 0x49;
constexpr uint8_t kEchoCommand = 0x17;

}  // namespace

ModuleQueries::ModuleQueries(const UeiStore& store, SimModule& module) : store_(store), module_(module) {}

void ModuleQueries::attach() {
    module_.onCommand(kInfoCommand, [this](const Packet& packet) { query(packet); });
    module_.onCommand(kEchoCommand, [this](const Packet& packet) { echo(packet); });
}

void ModuleQueries::query(const Packet& packet) {
    const auto& data = packet.data;
    const uint8_t address = module_.identity().address;
    const uint8_t kind = data.size() > 1 ? data[1] : 0;
    if (kind == 0xFF && data.size() == 2) {
        std::vector<uint8_t> reply = bigEndian(module_.buildNumber(), 4);
        reply.insert(reply.begin(), {kInfoCommand, 0xFF});
        module_.answer(Packet{address, reply});
    } else if (kind == 0x01 && data.size() == 6) {
        module_.answer(Packet{
            address, {kInfoCommand, 0x01, data[2], data[3], data[4], hasValue(data[2], data[3], data[4], data[5])}});
    } else if (kind == 0x04 && data.size() == 3) {
        module_.answer(Packet{address, {kInfoCommand, 0x04, data[2], store_.entityCount(data[2])}});
    } else {
        module_.log().event("module query not answered");
    }
}

uint8_t ModuleQueries::hasValue(uint8_t command, uint8_t option, uint8_t index, uint8_t flags) const {
    if (!store_.hasEntity(command, index)) return kErrInvalidEntity;
    const UeiValue* value = store_.find(UeiKey{command, option, index, 0});
    if (!value) return kErrInvalidOption;
    const bool allowed = ((flags & 0x40) == 0 || value->readable) && ((flags & 0x80) == 0 || value->writable);
    return allowed ? 0 : kErrPermission;
}

void ModuleQueries::echo(const Packet& packet) {
    module_.answer(Packet{module_.identity().address, packet.data});
}

}  // namespace modsim
