// The system entity of a module (entity class 3): identity, addressing on a router
// network, power and temperature readings, and module-wide actions.
#pragma once

#include <cstddef>
#include <cstdint>

#include "Entity.h"
#include "aModuleCommands.h"

namespace Veltrane {
namespace Corvalith {

// Option numbers of the system entity.
enum : uint8_t {
    systemModule = 1,
    systemRouter = 2,
    systemHBInterval = 3,
    systemLED = 4,
    systemBootSlot = 6,
    systemVersion = 7,
    systemModel = aCMD_SYSTEM_MODEL,
    systemSerialNumber = 9,
    systemSave = 10,
    systemReset = 11,
    systemInputVoltage = 12,
    systemModuleHardwareOffset = 13,
    systemModuleBaseAddress = 14,
    systemModuleSoftwareOffset = 15,
    systemRouterAddressSetting = 16,
    systemRouteToMe = 20,
    systemInputCurrent = 21,
    systemUptime = 22,
    systemMaximumTemperature = 23,
    systemLogEvents = 24,
    systemUnregulatedVoltage = 25,
    systemUnregulatedCurrent = 26,
    systemTemperature = 27,
    systemMinimumTemperature = 28,
    systemInputPowerSource = 29,
    systemInputPowerBehavior = 30,
    systemInputPowerBehaviorConfig = 31,
    systemName = 32,
    systemPowerLimit = 33,
    systemPowerLimitMax = 34,
    systemPowerLimitState = 35,
    systemResetEntityToFactoryDefaults = 36,
    systemResetDeviceToFactoryDefaults = 37,
    systemLinkInterface = 38,
    systemUniqueIdentifier = 39,
    systemHardwareVersion = 40,
    systemErrors = 41,
    systemLEDMaxBrightness = 42,
};

constexpr uint8_t SYSTEM_COMMAND = aCMD_SYSTEM;

class SystemClass : public EntityClass {
public:
    SystemClass() = default;
    ~SystemClass() override = default;

    aErr init(Module* module, uint8_t index);

    aErr getModule(uint8_t* value);
    aErr getRouter(uint8_t* value);
    aErr setRouter(uint8_t value);
    aErr getHBInterval(uint8_t* value);
    aErr setHBInterval(uint8_t value);
    aErr getLED(uint8_t* value);
    // Any non-zero argument switches the LED on (sends 1).
    aErr setLED(uint8_t value);
    aErr getBootSlot(uint8_t* value);
    aErr setBootSlot(uint8_t value);
    aErr getVersion(uint32_t* value);
    aErr getModel(uint8_t* value);
    aErr getSerialNumber(uint32_t* value);
    aErr save();
    aErr reset();
    aErr getInputVoltage(uint32_t* value);
    aErr getModuleHardwareOffset(uint8_t* value);
    aErr getModuleBaseAddress(uint8_t* value);
    aErr getModuleSoftwareOffset(uint8_t* value);
    aErr setModuleSoftwareOffset(uint8_t value);
    aErr getRouterAddressSetting(uint8_t* value);
    aErr routeToMe(uint8_t value);
    aErr getInputCurrent(uint32_t* value);
    aErr getUptime(uint32_t* value);
    aErr getMaximumTemperature(int32_t* value);
    aErr logEvents();
    aErr getUnregulatedVoltage(int32_t* value);
    aErr getUnregulatedCurrent(int32_t* value);
    aErr getTemperature(int32_t* value);
    aErr getMinimumTemperature(int32_t* value);
    aErr getInputPowerSource(uint8_t* value);
    aErr getInputPowerBehavior(uint8_t* value);
    aErr setInputPowerBehavior(uint8_t value);
    // The words travel as the bytes of the array in memory order; *received counts
    // words, or bytes when the module sent no whole number of words (aErrMemory).
    aErr getInputPowerBehaviorConfig(uint32_t* words, size_t count, size_t* received);
    aErr setInputPowerBehaviorConfig(const uint32_t* words, size_t count);
    aErr getName(uint8_t* buffer, size_t length, size_t* received);
    aErr setName(const uint8_t* data, size_t length);
    aErr getPowerLimit(uint32_t* value);
    aErr getPowerLimitMax(uint32_t* value);
    aErr setPowerLimitMax(uint32_t value);
    aErr getPowerLimitState(uint32_t* value);
    aErr resetEntityToFactoryDefaults();
    aErr resetDeviceToFactoryDefaults();
    aErr getLinkInterface(uint8_t* value);
    aErr setLinkInterface(uint8_t value);
    aErr getHardwareVersion(uint32_t* value);
    aErr getErrors(uint32_t* value);
    aErr getLEDMaxBrightness(uint8_t* value);
    aErr setLEDMaxBrightness(uint8_t value);

private:
    aErr getSigned(uint8_t option, int32_t* value);
};

}  // namespace Corvalith
}  // namespace Veltrane
