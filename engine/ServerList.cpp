#include "engine/ServerList.h"

#include <map>

#include "engine/CReg.h"

namespace engine {

ServerList::ServerList(const std::vector<Candidate>& candidates) : slots_(candidates.size()) {
    const int n = static_cast<int>(candidates.size());
    int back = n - 1;
    std::map<int, const std::string*> firstWithOrder;
    for (const Candidate& c : candidates) {
        if (c.order) {
            const auto [first, added] = firstWithOrder.emplace(*c.order, &c.name);
            if (!added) {
                sharedOrders_.push_back({*c.order, *first->second, c.name});
            }
        }
        const int order = c.order.value_or(back);
        const int slot = order < back ? order : back;
        if (slot >= 0 && slot < n) {
            slots_[static_cast<size_t>(slot)] = c.name;
        }
        if (order >= back) {
            --back;
        }
    }
    // Orders counted from 1, or repeated, leave slots empty: the entries that did get a slot
    // close up in their order, so no nameless entry is ever started.
    std::erase_if(slots_, [](const std::string& name) { return name.empty(); });
}

ServerList ServerList::read(const CReg& serverDetails) {
    std::vector<Candidate> candidates;
    const uint32_t count = serverDetails.subkeyCount();
    std::string name;
    for (uint32_t i = 0; i < count && serverDetails.subkeyName(i, name); ++i) {
        const CReg entry(std::string(serverDetails.path()) + "\\" + name, serverDetails.root(),
                         true);
        Candidate c{name, std::nullopt};
        constexpr uint32_t kMissing = 0xFFFFFFFFu;
        const uint32_t order = entry.readDword("order", kMissing);
        if (order != kMissing) {
            c.order = static_cast<int>(order);
        }
        candidates.push_back(std::move(c));
    }
    return ServerList(candidates);
}

ServerList::Choice ServerList::select(int selector) {
    const int n = size();
    if (selector == kNext) {
        int index = current_ + 1;
        if (index >= n) {
            current_ = kNone;
            return {};
        }
        if (slots_[static_cast<size_t>(index)].empty()) {
            index = 0;
        }
        return {true, index};
    }
    if (selector == kTop) {
        if (current_ == 0) {
            return {};
        }
        if (n < 1) {
            current_ = kNone;
            return {};
        }
        return {true, 0};
    }
    if (selector < 0 || selector >= n) {
        return {};
    }
    return {true, selector};
}

}  // namespace engine
