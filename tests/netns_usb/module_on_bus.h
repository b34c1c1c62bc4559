// What the link-server tests stand on: a simulated module on the emulated USB bus
// (modsim bridged from the bed's device), and the independent ZeroMQ peer that plays
// the server's clients.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "modsim_process.h"
#include "process.h"
#include "tempdir.h"
#include "../usb/usb_bed.h"

namespace testsupport {

inline ProcessResult runZmqPeer(const std::vector<std::string>& args, std::chrono::milliseconds limit) {
    std::vector<std::string> argv = {"/usr/bin/python3", requiredEnv("SOURCE_DIR") + "/tests/peers/zmq_peer.py"};
    argv.insert(argv.end(), args.begin(), args.end());
    return runProcess(argv, limit);
}

// modsim playing module `serialText` (with `extra` options of its own), listed on the
// bed until this goes.
class ModuleOnBus {
public:
    ModuleOnBus(const char* serialText, uint8_t model, uint8_t address, const std::vector<std::string>& extra = {})
        : sim_(dir_.path(), arguments(serialText, model, address, extra), "module") {
        if (!sim_.ready()) return;
        device_ = std::make_unique<usbtest::BedDevice>(UsbBedDeviceSpec{serialText, model, 0, 0, USBBED_LAYOUT_MODULE},
                                                       false);
        listed_ = usbbed_device_bridge_unix(device_->get(), dir_.file("module.sock").c_str()) == 0 && device_->ready();
    }

    bool ready() const { return listed_; }
    ModsimProcess& sim() { return sim_; }

private:
    std::vector<std::string> arguments(const char* serialText, uint8_t model, uint8_t address,
                                       const std::vector<std::string>& extra) {
        std::vector<std::string> args = {"--unix",  dir_.file("module.sock"), "--serial",  serialText,
                                         "--model", std::to_string(model),    "--address", std::to_string(address)};
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    }

    TempDir dir_;
    ModsimProcess sim_;
    std::unique_ptr<usbtest::BedDevice> device_;
    bool listed_ = false;
};

}  // namespace testsupport
