// The packet log of a Link: the link's ring, drained into a text file by a logger
// thread, one line per record.
#include "Link.h"

#include "LinkImpl.h"
#include "PacketLoggers.h"
#include "aFile.h"
#include "aPacketDebug.h"
#include "aTime.h"

namespace Veltrane {
namespace Corvalith {

namespace {

const uint32_t RECORD_CAPACITY = 64;
const uint64_t IDLE_PAUSE_MS = 5;
const uint8_t START_TEXT[] = "START";

// "<length> > " for a sent packet, "<" for anything else; packet bytes in hex,
// text records as characters.
void sWriteLine(aFileRef file, uint32_t direction, uint32_t length, const uint8_t* bytes) {
    aFile_Printf(file, "%d %s ", static_cast<int>(length), direction == aPACKETLOG_OUTGOING ? ">" : "<");
    for (uint32_t i = 0; i < length; ++i) {
        if (direction == aPACKETLOG_TEXT)
            aFile_Printf(file, "%c", bytes[i]);
        else
            aFile_Printf(file, "0x%X ", bytes[i]);
    }
    aFile_Printf(file, "\r\n");
}

}  // namespace

void Link::impl::readDebugBuffer(void* file, unsigned int linkID) {
    uint8_t buffer[RECORD_CAPACITY] = {};
    uint32_t direction = 0;
    uint32_t length = RECORD_CAPACITY;
    aErr result = aLink_PacketDebug_Read(linkID, &direction, &length, buffer);
    if (result == aErrOverrun) {
        // A caller's record longer than the buffer would block the ring for good;
        // records hold at most 255 bytes.
        uint8_t large[256];
        length = sizeof large;
        result = aLink_PacketDebug_Read(linkID, &direction, &length, large);
        if (result == aErrNone) sWriteLine(static_cast<aFileRef>(file), direction, length, large);
        return;
    }
    if (result == aErrNone) {
        sWriteLine(static_cast<aFileRef>(file), direction, length, buffer);
        return;
    }
    // Empty ring, or the ring or link is gone: never spin.
    aTime_MSSleep(IDLE_PAUSE_MS);
}

void Link::impl::stopPacketLog() {
    if (logger) packetLoggers_Stop(logger);
}

aErr Link::enablePacketLog(const char* path) {
    const aLinkRef linkRef = m_impl->linkRef;
    if (linkRef == 0) return aErrConfiguration;
    const aErr enabled = aLink_PacketDebug_Enable(linkRef);
    if (enabled != aErrNone) return enabled;
    // After a reconnect the old logger reads a link that is gone; bind anew.
    if (m_impl->logger && m_impl->logger->param != linkRef) packetLoggers_Destroy(&m_impl->logger);
    if (!m_impl->logger) m_impl->logger = packetLoggers_Create(linkRef, impl::readDebugBuffer, path);
    // A log file that cannot be opened is an error, not a log that silently goes nowhere.
    if (!m_impl->logger) return aErrIO;
    const aErr started = packetLoggers_Start(m_impl->logger);
    if (started != aErrNone) return started;
    aLink_PacketDebug_Write(linkRef, aPACKETLOG_TEXT, sizeof START_TEXT, START_TEXT);
    return aErrNone;
}

aErr Link::disablePacketLog() {
    if (m_impl->linkRef == 0) return aErrConfiguration;
    aLink_PacketDebug_Disable(m_impl->linkRef);
    if (!m_impl->logger) return aErrParam;
    return packetLoggers_Stop(m_impl->logger);
}

}  // namespace Corvalith
}  // namespace Veltrane
