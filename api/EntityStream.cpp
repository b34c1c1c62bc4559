// EntityClass shortcuts to the streams of its own command and index.
#include "Entity.h"
#include "EntityImpl.h"

namespace Veltrane {
namespace Corvalith {

namespace {

constexpr uint8_t ANY = 0xFF;

}  // namespace

aErr EntityClass::setStreamEnabled(uint8_t enable) {
    Link* target = m_impl->link();
    if (!target) return aErrResource;
    return target->enableStream(m_impl->address(), m_impl->command, ANY, m_impl->index, enable != 0);
}

aErr EntityClass::registerOptionCallback(uint8_t option, bool enable,
                                         std::function<aErr(aPacket const*, void*)> callback, void* ref) {
    Link* target = m_impl->link();
    if (!target) return aErrResource;
    return target->registerStreamCallback(m_impl->address(), m_impl->command, option, m_impl->index, enable,
                                          std::move(callback), ref);
}

aErr EntityClass::getStreamStatus(std::map<uint64_t, uint32_t>* values) {
    Link* target = m_impl->link();
    if (!target) return aErrResource;
    return target->getStreamStatus(m_impl->address(), m_impl->command, ANY, m_impl->index, ANY, values);
}

}  // namespace Corvalith
}  // namespace Veltrane
