#include "SDPLoader.h"

#include "Log.h"
#include "SDPCommand.h"

namespace {

const unsigned STATUS_ATTEMPTS = 5;
// How long an answer of the ROM is awaited; transports return as soon as it is complete
// where they can tell, so this only bounds a ROM that stays silent.
const unsigned ANSWER_WAIT_MS = 300;

}  // namespace

SDPLoader::SDPLoader() : transport(nullptr) {}

SDPLoader::~SDPLoader() {
    delete transport;
}

bool SDPLoader::setLoader(SDPLoader_Interface* loader) {
    if (!loader || transport) return false;
    transport = loader;
    return true;
}

int SDPLoader::init() {
    if (!transport) return SDP_NO_TRANSPORT;
    return transport->init() ? SDP_OK : SDP_INIT_FAILED;
}

std::vector<uint8_t> SDPLoader::_createStatusPacket() {
    return sdpCommandReport(SDP_ERROR_STATUS);
}

std::vector<uint8_t> SDPLoader::_createWriteFilePacket(uint32_t address, uint32_t size) {
    return sdpCommandReport(SDP_WRITE_FILE, address, SDP_FORMAT_32BIT, size);
}

std::vector<uint8_t> SDPLoader::_createJumpPacket(uint32_t address) {
    return sdpCommandReport(SDP_JUMP_ADDRESS, address);
}

std::vector<uint8_t> SDPLoader::_create4ByteReadRegisterPacket(uint32_t address) {
    return sdpCommandReport(SDP_READ_REGISTER, address, SDP_FORMAT_32BIT, 4);
}

void SDPLoader::_printBuffer(const std::vector<uint8_t>& buffer) {
    for (uint8_t byte : buffer) Log::log(DEBUG_iMXSerial, "%X ", byte);
    Log::log(DEBUG_iMXSerial, "\n");
}

// Sends a command and reads its first answer word, tracing both; false without one.
bool SDPLoader::_askForWord(const std::vector<uint8_t>& command, uint32_t& word) {
    const int64_t written = transport->writeData(command);
    Log::log(DEBUG_iMXSerial, "bytesWritten: %zu\n", static_cast<size_t>(written < 0 ? 0 : written));
    _printBuffer(command);
    std::vector<uint8_t> reply;
    const int64_t got = transport->readData(reply, ANSWER_WAIT_MS);
    Log::log(DEBUG_iMXSerial, "Read Data: %zd\n", static_cast<ssize_t>(got));
    _printBuffer(reply);
    word = 0;
    return transport->getDataFromBuffer(reply, 0, word);
}

bool SDPLoader::_isConnectionAlive() {
    const std::vector<uint8_t> packet = _createStatusPacket();
    for (unsigned attempt = 0; attempt < STATUS_ATTEMPTS; ++attempt) {
        uint32_t word = 0;
        if (_askForWord(packet, word)) return true;
    }
    Log::log(DEBUG_iMXSerial, "Error: No ack from iMX device\n");
    return false;
}

bool SDPLoader::_expectSuccess(const std::vector<uint8_t>& reply) {
    uint32_t word = 0;
    return transport->getDataFromBuffer(reply, 0, word) && word == WRITE_COMPLETE;
}

int SDPLoader::writeLoader(std::vector<uint8_t> image, uint32_t address) {
    if (!transport) return SDP_NO_TRANSPORT;
    if (!_isConnectionAlive()) return SDP_NO_ANSWER;

    const std::vector<uint8_t> command = _createWriteFilePacket(address, static_cast<uint32_t>(image.size()));
    const int64_t res = transport->writeData(command);
    Log::log(DEBUG_iMXSerial, "Write Res: %zd\n", static_cast<ssize_t>(res));
    _printBuffer(command);

    std::vector<uint8_t> reply;
    int total = 0;
    int loop = 0;
    size_t offset = 0;
    while (offset < image.size()) {
        reply.clear();
        const int64_t got = transport->readData(reply, 0);
        Log::log(DEBUG_iMXSerial, "Read Data: %zd\n", static_cast<ssize_t>(got));
        _printBuffer(reply);
        if (!reply.empty()) {
            Log::log(DEBUG_iMXSerial, "Error while transfering loader. Aborting\n");
            return SDP_UNEXPECTED_INPUT;
        }
        const size_t count = image.size() - offset < MAX_WRITE_BYTES ? image.size() - offset : MAX_WRITE_BYTES;
        std::vector<uint8_t> data;
        data.reserve(count + 1);
        data.push_back(SDP_REPORT_DATA);
        data.insert(data.end(), image.begin() + static_cast<std::ptrdiff_t>(offset),
                    image.begin() + static_cast<std::ptrdiff_t>(offset + count));
        const int64_t written = transport->writeData(data);
        total += static_cast<int>(written);
        offset += count;
        Log::log(DEBUG_iMXSerial, "Write Res: %zd , Total: %d, Loop: %d, tell: %ld, size: %zd\n",
                 static_cast<ssize_t>(written), total, loop, static_cast<long>(offset),
                 static_cast<ssize_t>(data.size()));
        ++loop;
    }
    Log::log(DEBUG_iMXSerial, "Written Bytes: %d\n", total);
    reply.clear();
    transport->readData(reply, ANSWER_WAIT_MS);
    Log::log(DEBUG_iMXSerial, "Data Read: \n");
    _printBuffer(reply);
    if (_expectSuccess(reply)) {
        Log::log(DEBUG_iMXSerial, "Loader Transfer Successful\n");
        return SDP_OK;
    }
    Log::log(DEBUG_iMXSerial, "Loader Transfer Unsuccessful\n");
    return SDP_NOT_CONFIRMED;
}

void SDPLoader::startLoader(uint32_t address) {
    if (!transport) return;
    const std::vector<uint8_t> command = _createJumpPacket(address);
    const int64_t res = transport->writeData(command);
    Log::log(DEBUG_iMXSerial, "Write Res: %zd\n", static_cast<ssize_t>(res));
    _printBuffer(command);
    std::vector<uint8_t> reply;
    transport->readData(reply, ANSWER_WAIT_MS);
}

bool SDPLoader::_readRegister(uint32_t address, uint32_t& word) {
    return _askForWord(_create4ByteReadRegisterPacket(address), word);
}

int SDPLoader::getFingerprint(uint64_t& value) {
    if (!transport) return SDP_NO_TRANSPORT;
    if (!_isConnectionAlive()) return SDP_NO_ANSWER;
    uint32_t word = 0;
    if (!_readRegister(IMX1050::OCOTP_BASE_ADDRESS + IMX1050::CFG0_OFFSET, word)) return SDP_NO_REGISTER;
    value |= word;
    if (!_readRegister(IMX1050::OCOTP_BASE_ADDRESS + IMX1050::CFG1_OFFSET, word)) return SDP_NO_REGISTER;
    value |= static_cast<uint64_t>(word) << 32;
    return SDP_OK;
}
