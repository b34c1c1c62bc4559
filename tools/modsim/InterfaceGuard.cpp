#include "InterfaceGuard.h"

#include <net/if.h>

namespace modsim {

std::vector<std::string> foreignInterfaces() {
    std::vector<std::string> foreign;
    struct if_nameindex* list = if_nameindex();
    if (!list) return {"(interfaces cannot be listed)"};
    for (struct if_nameindex* entry = list; entry->if_index != 0; ++entry) {
        const std::string name = entry->if_name;
        if (name != "lo" && name != "nsrun0" && name != "nsrun1") foreign.push_back(name);
    }
    if_freenameindex(list);
    return foreign;
}

}  // namespace modsim
