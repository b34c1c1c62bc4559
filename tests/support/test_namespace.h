// Whether this process runs inside the private network namespace of tools/netns/netns-run,
// the only place where tests may send multicast.
#pragma once

#include <net/if.h>

#include <set>
#include <string>

namespace testsupport {

inline std::set<std::string> visibleInterfaces() {
    std::set<std::string> names;
    if (struct if_nameindex* list = if_nameindex()) {
        for (struct if_nameindex* entry = list; entry->if_index != 0; ++entry) names.insert(entry->if_name);
        if_freenameindex(list);
    }
    return names;
}

inline bool insideTestNamespace() {
    return visibleInterfaces() == std::set<std::string>{"lo", "nsrun0", "nsrun1"};
}

}  // namespace testsupport
