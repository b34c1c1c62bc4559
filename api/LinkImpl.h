// The private state of a Link: the one use of a link-core link it holds, its
// configuration, name and link specifier.
#pragma once

#include <memory>

#include "Link.h"
#include "aLogger.h"
#include "StreamTable.h"

namespace Veltrane {
namespace Corvalith {

class Link::impl {
public:
    impl(Link* owner, const char* name);
    ~impl();
    impl(const impl&) = delete;
    impl& operator=(const impl&) = delete;

    aErr setSpecifier(const linkSpec& newSpec);
    aErr getSpecifier(linkSpec* out) const;
    const char* getName() const { return name; }
    aErr discoveryAndConnectHelper(linkType type, uint32_t serialNumber, uint8_t model, Link* link);
    // shared: a link of a router Link that an AWEAVE specifier takes one more use of.
    aErr connectHelper(aLinkRef shared = 0);
    aErr linkCreateHelper(const linkSpec& target, aLinkRef shared);
    aErr waitForLink(uint16_t count);
    // The logger procedure: writes the link's oldest packet-log record as a line.
    static void readDebugBuffer(void* file, unsigned int linkID);
    // Stops the logger thread before the link it reads goes away.
    void stopPacketLog();
    // Ends the callbacks and the packet log, then drops this Link's use of its link.
    void giveUpLink();

    Link* owner;
    // Only ever an ID that a create call returned to this Link: one use it owns.
    aLinkRef linkRef = 0;
    aWeaveConfig config;
    char* name = nullptr;
    linkSpec* spec = nullptr;
    // Bound to the link ID it was created with.
    aLoggerRef logger = nullptr;
    // Stream registrations, cached samples and the callback thread.
    std::unique_ptr<StreamTable> streams = std::make_unique<StreamTable>();
};

}  // namespace Corvalith
}  // namespace Veltrane
