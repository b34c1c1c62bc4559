#include "ModuleNetworkConfig.h"

aErr _disableWeave(Veltrane::Corvalith::Module& module, UpdaterDisplayInterface& display) {
    Veltrane::Corvalith::aWeaveConfig config;
    config.enabled = 0;
    config.fallback = 0;
    config.localOnly = 1;
    const aErr result = module.setConfig(config);
    if (result != aErrNone)
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Failed to SET network configuration");
    return result;
}
