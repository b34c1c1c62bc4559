#include "SystemEntity.h"

namespace modsim {

namespace {

UeiKey systemOption(uint8_t option, uint8_t subindex = 0) {
    return UeiKey{kSystemCommand, option, 0, subindex};
}

}  // namespace

void defineSystemEntity(UeiStore& store, const ModuleConfig& config) {
    const UeiValue call{UeiType::Call, false, true, {}};
    store.defineNumber(systemOption(1), UeiType::Byte, config.address);
    store.defineNumber(systemOption(2), UeiType::Byte, config.router, true);
    store.defineNumber(systemOption(3), UeiType::Byte, 0, true);
    store.defineNumber(systemOption(4), UeiType::Byte, 0, true);
    store.defineNumber(systemOption(kSystemVersionOption), UeiType::Int, config.version);
    store.defineNumber(systemOption(8), UeiType::Byte, config.model);
    store.defineNumber(systemOption(9), UeiType::Int, config.serial);
    store.define(systemOption(10), call);
    store.define(systemOption(kSystemResetOption), call);
    store.define(systemOption(20), UeiValue{UeiType::Byte, false, true, {0}});
    store.defineNumber(systemOption(22), UeiType::Int, 0);
    store.define(systemOption(32),
                 UeiValue{UeiType::Bytes, true, true, std::vector<uint8_t>(config.name.begin(), config.name.end())});
    for (uint8_t word = 0; word < 4; ++word)
        store.defineNumber(systemOption(39, word), UeiType::Int, config.chipId[word]);
    store.defineNumber(systemOption(40), UeiType::Int, config.hardwareVersion);
}

}  // namespace modsim
