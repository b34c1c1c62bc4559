// The per-link list of stream tables behind the link's single user filter.
#include "StreamFilters.h"

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "StreamTable.h"

namespace Veltrane {
namespace Corvalith {

namespace {

struct Subscribers {
    // Held by the reader thread while it offers a packet, so a table leaves the list
    // only between two packets.
    std::mutex lock;
    std::vector<StreamTable*> tables;
};

// Taken only by callers, never by a reader thread: it may be held while a link's
// user-filter mutex is taken.
std::mutex& registryLock() {
    static std::mutex lock;
    return lock;
}

std::map<aLinkRef, std::unique_ptr<Subscribers>>& registry() {
    static std::map<aLinkRef, std::unique_ptr<Subscribers>> links;
    return links;
}

uint8_t dispatchStreamPacket(const aPacket* packet, const void* ref) {
    auto* subscribers = static_cast<Subscribers*>(const_cast<void*>(ref));
    std::lock_guard<std::mutex> guard(subscribers->lock);
    uint8_t consumed = 0;
    for (StreamTable* table : subscribers->tables)
        if (table->filter(packet) != 0) consumed = 1;
    return consumed;
}

}  // namespace

aErr streamFilters_Add(aLinkRef linkRef, StreamTable* table) {
    std::lock_guard<std::mutex> guard(registryLock());
    auto& slot = registry()[linkRef];
    if (!slot) slot = std::make_unique<Subscribers>();
    Subscribers* subscribers = slot.get();
    bool added = false;
    {
        std::lock_guard<std::mutex> listGuard(subscribers->lock);
        auto& tables = subscribers->tables;
        if (std::find(tables.begin(), tables.end(), table) == tables.end()) {
            tables.push_back(table);
            added = true;
        }
    }
    // Installed again on every call: a reset of the link removes the filter.
    const aErr result = aLink_InstallUserPacketFilter(linkRef, dispatchStreamPacket, subscribers);
    if (result != aErrNone && added) {
        std::lock_guard<std::mutex> listGuard(subscribers->lock);
        auto& tables = subscribers->tables;
        tables.erase(std::remove(tables.begin(), tables.end(), table), tables.end());
        if (tables.empty()) registry().erase(linkRef);
    }
    return result;
}

aErr streamFilters_Remove(aLinkRef linkRef, StreamTable* table) {
    std::lock_guard<std::mutex> guard(registryLock());
    auto found = registry().find(linkRef);
    if (found == registry().end()) return aErrNone;
    Subscribers* subscribers = found->second.get();
    bool empty = false;
    {
        std::lock_guard<std::mutex> listGuard(subscribers->lock);
        auto& tables = subscribers->tables;
        tables.erase(std::remove(tables.begin(), tables.end(), table), tables.end());
        empty = tables.empty();
    }
    if (!empty) return aErrNone;
    // Returns once the filter is no longer running, so the list may go.
    const aErr result = aLink_InstallUserPacketFilter(linkRef, nullptr, nullptr);
    registry().erase(found);
    return result;
}

}  // namespace Corvalith
}  // namespace Veltrane
