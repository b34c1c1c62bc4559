#include "UpdaterEntity.h"

#include <algorithm>

#include "Log.h"
#include "aError.h"
#include "aTime.h"

using Veltrane::Corvalith::Module;

namespace {

using LoaderProtocol::ADDRESS_BYTES;
using LoaderProtocol::REPLY_BYTES;

const uint32_t RECONNECT_ATTEMPTS = 5;
const uint32_t DEFAULT_SERIAL = 0xDEADDEADu;
// The spinner turns every 250 ms while the link is up; a drop ends the wait sooner,
// seen within one look.
const uint64_t REBOOT_POLL_MS = 250;
const uint64_t REBOOT_LOOK_MS = 5;
const char* const REBOOT_LABEL = "Verifying Update";

}  // namespace

void UpdaterEntity::init(Module* module_, uint8_t index, bool verifySum_, bool noLinkDropWait_) {
    module = module_;
    verifySum = verifySum_;
    noLinkDropWait = noLinkDropWait_;
    EntityClass::init(module_, cmdUPGRADE, index);
}

aErr UpdaterEntity::send(const uint8_t* bytes, uint8_t length) {
    if (module && module->getLink()) {
        const uint8_t command = cmdUPGRADE;
        module->getLink()->dropMatchingPackets(module->getModuleAddress(), &command, 1);
    }
    return sendPacket(cmdUPGRADE, length, bytes);
}

aErr UpdaterEntity::await(uint8_t option, uint8_t* reply, uint8_t& replyLength) {
    const uint8_t match[2] = {cmdUPGRADE, option};
    replyLength = sizeof match;
    return receivePacket(match, &replyLength, reply);
}

aErr UpdaterEntity::LoaderInit() {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader Initialization {cmdUPGRADE, val_UPGRADE_INIT}\n");
    const uint8_t request[] = {val_UPGRADE_INIT};
    aErr result = send(request, sizeof request);
    if (result != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_INIT (%d)\n", result);
        return result;
    }
    uint8_t reply[REPLY_BYTES] = {};
    uint8_t replyLength = 0;
    result = await(val_UPGRADE_INIT, reply, replyLength);
    if (result != aErrNone) return result;
    uint32_t loadBase = 0;
    if (!LoaderProtocol::parseInitReply(reply, replyLength, loadBase)) return aErrPacket;
    Log::log(DEBUG_Network_FIRM, "NETWORK: load base = %d [%08X]\n", static_cast<int>(loadBase), loadBase);
    return aErrNone;
}

aErr UpdaterEntity::TransferPrepare(const uint8_t* blockData, uint32_t length, uint8_t flags, uint16_t& pieceSize) {
    if (!blockData || length < ADDRESS_BYTES) {
        Log::log(0, "NETWORK: Block of %u bytes has no image to transfer\n", length);
        return aErrSize;
    }
    const uint32_t address = LoaderProtocol::blockAddress(blockData);
    Log::log(DEBUG_Network_FIRM, "NETWORK: TransferPrepare(..., %d, %02X, %d)\n", static_cast<int>(length), flags,
             pieceSize);
    Log::log(DEBUG_Network_FIRM,
             "NETWORK: TransferPrepare {cmdUPGRADE, val_UPGRADE_PREPARE, %02X, [%02X %02X %02X %02X]} \n", flags,
             blockData[0], blockData[1], blockData[2], blockData[3]);
    Log::log(DEBUG_Network_FIRM, "NETWORK: Address: %d\n", static_cast<int>(address));
    const auto request = LoaderProtocol::prepareRequest(flags, blockData);
    aErr result = send(request.data(), static_cast<uint8_t>(request.size()));
    if (result != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_PREPARE (%d)\n", result);
        return result;
    }
    uint8_t reply[REPLY_BYTES] = {};
    uint8_t replyLength = 0;
    result = await(val_UPGRADE_STATUS, reply, replyLength);
    if (result != aErrNone) return result;
    uint8_t status = 0;
    uint16_t askedSize = 0;
    if (!LoaderProtocol::parsePrepareReply(reply, replyLength, status, askedSize)) {
        Log::log(0, "NETWORK: Short reply to UPGRADE_PREPARE [%d bytes]\n", replyLength);
        return aErrPacket;
    }
    if (status != 0) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Invalid or error reply when initializing loader for firmware.\n");
        return aErrInvalidOption;
    }
    pieceSize = askedSize;
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated firmware init [%d block size]\n", pieceSize);
    return aErrNone;
}

aErr UpdaterEntity::_block_transfer(const uint8_t* bytes, uint32_t length, uint32_t& chunkCount) {
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: Block Transfer\n");
    uint32_t remaining = length;
    uint32_t sum = 0;
    aErr result = aErrNone;
    while (remaining > 0 && result == aErrNone) {
        const auto n = static_cast<uint8_t>(std::min(remaining, CHUNK_BYTES));
        Log::log(DEBUG_Network_FIRM, "\nNETWORK: Block Transfer {cmdUPGRADE, val_UPGRADE_DATA, %d} \n", n);
        uint8_t request[1 + CHUNK_BYTES] = {val_UPGRADE_DATA};
        std::copy(bytes, bytes + n, request + 1);
        bool accepted = false;
        for (uint32_t sends = 0; !accepted && result == aErrNone; ++sends) {
            if (sends == CHUNK_SENDS) {
                Log::log(0, "\nNETWORK: Chunk not accepted after %u sends.\n", CHUNK_SENDS);
                result = aErrPacket;
                break;
            }
            result = send(request, static_cast<uint8_t>(1 + n));
            if (result != aErrNone) {
                Log::log(DEBUG_Network_FIRM, "\nNETWORK: Error sending UPGRADE_DATA (%d)\n", result);
                return result;
            }
            uint8_t reply[REPLY_BYTES] = {};
            uint8_t replyLength = 0;
            if (await(val_UPGRADE_DATA, reply, replyLength) != aErrNone) {
                Log::log(DEBUG_Network_FIRM, "\nNETWORK(DATA): No reply when initializing upgrade.\n");
                result = aErrPacket;
                break;
            }
            // A reply without its count byte counts as a wrong count.
            const int count = LoaderProtocol::dataReplyCount(reply, replyLength);
            if (count != n) {
                Log::log(DEBUG_Network_FIRM, "\nNETWORK: Invalid upgrade transfer response [%d != %d].\n", count, n);
                continue;
            }
            accepted = true;
        }
        if (!accepted) break;
        for (uint8_t i = 0; i < n; ++i) sum += bytes[i];
        remaining -= n;
        bytes += n;
        chunkCount += 1;
        Log::log(DEBUG_Network_FIRM, "\nNETWORK: accepted %d more bytes (%d of %d remaining)\n", n,
                 static_cast<int>(remaining), static_cast<int>(length));
    }
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: transferred %d of %d bytes\n", static_cast<int>(length - remaining),
             static_cast<int>(length));
    if (result != aErrNone || !verifySum) return result;

    Log::log(DEBUG_Network_FIRM, "\nNETWORK: Block Transfer Validation {cmdUPGRADE, val_UPGRADE_SUM}\n");
    const uint8_t request[] = {val_UPGRADE_SUM};
    send(request, sizeof request);
    uint8_t reply[REPLY_BYTES] = {};
    uint8_t replyLength = 0;
    if (await(val_UPGRADE_STATUS, reply, replyLength) != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "\nNETWORK(STATUS): No reply when initializing upgrade.\n");
        return aErrPacket;
    }
    uint8_t status = 0;
    uint32_t moduleSum = 0;
    if (!LoaderProtocol::parseSumReply(reply, replyLength, status, moduleSum)) {
        Log::log(0, "\nNETWORK: Short reply to UPGRADE_SUM [%d bytes].\n", replyLength);
        return aErrPacket;
    }
    if (status == 0 && moduleSum == sum) {
        Log::log(DEBUG_Network_FIRM, "\nNETWORK: Validate transfer [%02X] [%08X == %08X][%d blocks].\n", status, sum,
                 moduleSum, static_cast<int>(chunkCount));
        return aErrNone;
    }
    Log::log(0, "\nNETWORK: Unable to validate transfer [%02X] [%08X != %08X].\n", status, sum, moduleSum);
    return aErrInvalidOption;
}

aErr UpdaterEntity::LoaderTransfer(const uint8_t* blockData, uint32_t length) {
    if (!blockData || length < ADDRESS_BYTES) {
        Log::log(0, "NETWORK: Block of %u bytes has no image to transfer\n", length);
        return aErrSize;
    }
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader Transfer (addr=%08X, len=%d)\n",
             LoaderProtocol::blockAddress(blockData), static_cast<int>(length - ADDRESS_BYTES));
    uint32_t count = 0;
    return _block_transfer(blockData + ADDRESS_BYTES, length - ADDRESS_BYTES, count);
}

aErr UpdaterEntity::FirmwareTransfer(const uint8_t* blockData, uint32_t length, uint16_t pieceSize,
                                     UpdaterDisplayInterface& display) {
    if (!blockData || length < ADDRESS_BYTES) {
        Log::log(0, "NETWORK: Block of %u bytes has no image to transfer\n", length);
        return aErrSize;
    }
    if (pieceSize == 0) {
        Log::log(0, "NETWORK: Loader asked for firmware pieces of 0 bytes\n");
        return aErrInvalidOption;
    }
    Log::log(DEBUG_Network_FIRM, "NETWORK: Firmware Transfer (addr=%08X, len=%d)\n",
             LoaderProtocol::blockAddress(blockData), static_cast<int>(length - ADDRESS_BYTES));
    uint32_t remaining = length - ADDRESS_BYTES;
    const uint8_t* position = blockData + ADDRESS_BYTES;
    uint32_t count = 0;
    aErr result = aErrNone;
    display.display_progress(true);
    while (remaining > 0 && result == aErrNone) {
        const uint32_t piece = std::min<uint32_t>(remaining, pieceSize);
        result = _block_transfer(position, piece, count);
        if (result == aErrNone) {
            remaining -= piece;
            position += piece;
            count += 1;
            display.update_progress(static_cast<double>(length - remaining) / length, nullptr);
            Log::log(DEBUG_Network_FIRM, "\nNETWORK: accepted %d more bytes (%d of %d remaining)\n",
                     static_cast<int>(piece), static_cast<int>(remaining), static_cast<int>(length));
            result = FirmwareWrite(piece);
        }
    }
    display.display_progress(false);
    Log::log(DEBUG_Network_FIRM, "NETWORK: transferred %d of %d bytes\n", static_cast<int>(length - remaining),
             static_cast<int>(length));
    if (result != aErrNone) Log::log(0, "NETWORK: Failed to transfer firmware\n");
    return result;
}

aErr UpdaterEntity::FirmwareWrite(uint32_t pieceLength) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Firmware Write {cmdUPGRADE, val_UPGRADE_WRITE, %d}\n\n",
             static_cast<int>(pieceLength));
    const auto request = LoaderProtocol::writeRequest(pieceLength);
    const aErr result = send(request.data(), static_cast<uint8_t>(request.size()));
    if (result != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_WRITE (%d, %s)\n", result,
                 aError_GetErrorText(result));
        return result;
    }
    uint8_t reply[REPLY_BYTES] = {};
    uint8_t replyLength = 0;
    uint8_t status = 0;
    if (await(val_UPGRADE_STATUS, reply, replyLength) != aErrNone ||
        !LoaderProtocol::parseStatusReply(reply, replyLength, status) || status != 0) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: invalid or error reply when loader writing firmware.\n\n");
        return aErrInvalidOption;
    }
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated write\n\n");
    return aErrNone;
}

aErr UpdaterEntity::LoaderStart() {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader Start {cmdUPGRADE, val_UPGRADE_LOAD}\n");
    const uint8_t request[] = {val_UPGRADE_LOAD};
    aErr result = send(request, sizeof request);
    if (result != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_LOAD (%d)\n", result);
        return result;
    }
    uint8_t reply[REPLY_BYTES] = {};
    uint8_t replyLength = 0;
    if (await(val_UPGRADE_LOAD, reply, replyLength) == aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated start\n");
        return aErrNone;
    }
    // The module usually drops its link as it restarts into the loader.
    result = _reconnect(500);
    if (result != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Invalid or reply when starting loader. [%d, %s]\n", result,
                 aError_GetErrorText(result));
        return aErrTimeout;
    }
    result = await(val_UPGRADE_LOAD, reply, replyLength);
    if (result != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Invalid or reply when starting loader (Reconnect). [%d, %s]\n", result,
                 aError_GetErrorText(result));
        return aErrTimeout;
    }
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated start (Reconnect)\n");
    return aErrNone;
}

aErr UpdaterEntity::_reconnect(uint32_t delayMs) {
    if (!module) return aErrResource;
    aErr result = aErrConnection;
    for (uint32_t attempt = 1; attempt <= RECONNECT_ATTEMPTS; ++attempt) {
        Log::log(DEBUG_Network2, "NETWORK: Attempting to reconnect. Attempt: %d of %d\n", static_cast<int>(attempt),
                 static_cast<int>(RECONNECT_ATTEMPTS));
        // A failed attempt can leave a link that never ran; reconnecting needs it gone.
        module->disconnect();
        result = module->reconnect();
        if (result == aErrNone) {
            Log::log(DEBUG_Network2, "NETWORK: Reconnected to device\n");
            return aErrNone;
        }
        Log::log(DEBUG_Network2, "NETWORK: Couldn't reconnect to device delaying: %d ms\n", static_cast<int>(delayMs));
        aTime_MSSleep(delayMs);
    }
    for (uint32_t attempt = 1; attempt <= RECONNECT_ATTEMPTS; ++attempt) {
        Log::log(DEBUG_Network2, "NETWORK: Attempting to reconnect DEFAULT sn. Attempt: %d of %d\n",
                 static_cast<int>(attempt), static_cast<int>(RECONNECT_ATTEMPTS));
        module->disconnect();
        result = module->connect(USB, DEFAULT_SERIAL);
        if (result == aErrNone) {
            Log::log(DEBUG_Network2, "NETWORK: Reconnected to device\n");
            return aErrNone;
        }
        Log::log(DEBUG_Network2, "NETWORK: Couldn't reconnect to device delaying: %d ms\n", static_cast<int>(delayMs));
        aTime_MSSleep(delayMs);
    }
    return result;
}

aErr UpdaterEntity::LoaderReboot(UpdaterDisplayInterface& display) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: LoaderReboot {cmdUPGRADE, val_UPGRADE_REBOOT}\n");
    const uint8_t request[] = {val_UPGRADE_REBOOT};
    const aErr result = send(request, sizeof request);
    if (result != aErrNone) Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending Loader REBOOT\n");
    const uint64_t deadline = aTime_GetMonotonicMS() + REBOOT_DROP_LIMIT_MS;
    while (module && module->isConnected()) {
        const uint64_t passEnd = aTime_GetMonotonicMS() + REBOOT_POLL_MS;
        while (aTime_GetMonotonicMS() < passEnd && (noLinkDropWait || module->isConnected()))
            aTime_MSSleep(REBOOT_LOOK_MS);
        display.update_spinner(true, REBOOT_LABEL);
        Log::log(DEBUG_Network_FIRM, "Waiting for link to drop.\n");
        Log::log(DEBUG_Network_FIRM, "Rebooting Device\n");
        if (noLinkDropWait) break;
        if (aTime_GetMonotonicMS() >= deadline) {
            display.update_spinner(false, REBOOT_LABEL);
            display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                            "Device did not restart: its link was still up after %u seconds",
                            static_cast<unsigned>(REBOOT_DROP_LIMIT_MS / 1000));
            return aErrTimeout;
        }
    }
    display.update_spinner(false, REBOOT_LABEL);
    return result;
}
