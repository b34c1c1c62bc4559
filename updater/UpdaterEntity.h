// The host side of the on-module loader protocol (command 0x5F): a loader image goes to
// the running firmware, which restarts into it; the loader then takes the new firmware
// piece by piece, checks each piece by its byte sum, writes it, and reboots.
#pragma once

#include <cstdint>

#include "Entity.h"
#include "LoaderProtocol.h"
#include "UpdaterDisplayInterface.h"

class UpdaterEntity : public Veltrane::Corvalith::EntityClass {
public:
    // Image bytes per DATA message.
    static constexpr uint32_t CHUNK_BYTES = LoaderProtocol::CHUNK_BYTES;
    // Sends of one DATA chunk that the module may answer with a wrong count.
    static constexpr uint32_t CHUNK_SENDS = 10;
    // How long LoaderReboot waits for the rebooting module to drop its link.
    static constexpr uint64_t REBOOT_DROP_LIMIT_MS = 30000;

    UpdaterEntity() = default;

    void init(Veltrane::Corvalith::Module* module, uint8_t index, bool verifySum, bool noLinkDropWait);

    aErr LoaderInit();
    // blockData points at the block's load address word; length is the whole data length.
    aErr TransferPrepare(const uint8_t* blockData, uint32_t length, uint8_t flags, uint16_t& pieceSize);
    aErr LoaderTransfer(const uint8_t* blockData, uint32_t length);
    aErr LoaderStart();
    aErr FirmwareTransfer(const uint8_t* blockData, uint32_t length, uint16_t pieceSize,
                          UpdaterDisplayInterface& display);
    aErr FirmwareWrite(uint32_t pieceLength);
    aErr LoaderReboot(UpdaterDisplayInterface& display);
    aErr _reconnect(uint32_t delayMs);
    aErr _block_transfer(const uint8_t* bytes, uint32_t length, uint32_t& chunkCount);

private:
    // Every exchange starts clean: 0x5F replies still queued from an earlier exchange
    // (PREPARE, SUM and WRITE all answer with option 7) must not answer this one.
    aErr send(const uint8_t* bytes, uint8_t length);
    aErr await(uint8_t option, uint8_t* reply, uint8_t& replyLength);

    Veltrane::Corvalith::Module* module = nullptr;
    bool verifySum = true;
    bool noLinkDropWait = false;
};
