// What the link-server tests stand on: a simulated module on the emulated USB bus
// (modsim bridged from the bed's device), and the independent ZeroMQ peer that plays
// the server's clients.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "aLink.h"
#include "aLinkServer.h"

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

// The module sends a heartbeat every 100 ms while this lives; batches of streamed
// samples leave the server at heartbeats.
class Heartbeats {
public:
    explicit Heartbeats(ModsimProcess& sim)
        : thread_([this, &sim] {
              while (!done_) {
                  sim.control("heartbeat");
                  std::this_thread::sleep_for(std::chrono::milliseconds(100));
              }
          }) {}
    ~Heartbeats() {
        done_ = true;
        thread_.join();
    }
    Heartbeats(const Heartbeats&) = delete;
    Heartbeats& operator=(const Heartbeats&) = delete;

private:
    std::atomic<bool> done_{false};
    std::thread thread_;
};

// A suite with one module on the bus, and a link server on it for each test.
class ServedModuleSuite : public ::testing::Test {
protected:
    static void startModule(const char* serialText, uint8_t model, uint8_t address,
                            const std::vector<std::string>& extra = {}) {
        module = new ModuleOnBus(serialText, model, address, extra);
        ASSERT_TRUE(module->ready());
        sim = &module->sim();
    }
    static void stopModule() {
        delete module;
        module = nullptr;
        sim = nullptr;
    }
    void serve(uint32_t serial) {
        id = aLink_CreateServer(serial, &port, &networkInterface, 1);
        ASSERT_NE(id, 0u);
    }
    void TearDown() override { aLink_Destroy(&id); }

    static inline ModuleOnBus* module = nullptr;
    static inline ModsimProcess* sim = nullptr;
    aLinkRef id = 0;
    uint16_t port = 0;
    uint32_t networkInterface = 0;
};

}  // namespace testsupport
