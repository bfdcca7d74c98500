#pragma once
#include <optional>
#include <string>
#include <vector>

namespace engine {

class CReg;

// The configured time servers in polling order, and which one runs.
class ServerList {
public:
    struct Candidate {
        std::string name;
        std::optional<int> order;  // the entry's `order`, when it has one
    };

    // Two entries with the same `order`: which goes where (or whether one is dropped) depends
    // on the order the store lists them in.
    struct SharedOrder {
        int order;
        std::string first;
        std::string second;
    };

    static constexpr int kNone = -1;
    static constexpr int kNext = -1;  // selectors of select()
    static constexpr int kTop = -2;

    ServerList() = default;
    // Places the entries in enumeration order: `order` picks the slot (bounded by the back
    // slot), a later entry overwrites an earlier one in the same slot, and entries without
    // `order` fill the list from the end. Slots left empty are dropped.
    explicit ServerList(const std::vector<Candidate>& candidates);
    // Reads the subkeys of "Server Details".
    static ServerList read(const CReg& serverDetails);

    int size() const { return static_cast<int>(slots_.size()); }
    const std::string& slot(int index) const { return slots_[static_cast<size_t>(index)]; }
    int current() const { return current_; }
    const std::vector<SharedOrder>& sharedOrders() const { return sharedOrders_; }

    // What start-source does with a selector (kNext, kTop or a slot index): the index to start,
    // or nothing when the list goes idle or the source at the top keeps running.
    struct Choice {
        bool startSomething = false;
        int index = kNone;
    };
    Choice select(int selector);
    void setCurrent(int index) { current_ = index; }

private:
    std::vector<std::string> slots_;
    std::vector<SharedOrder> sharedOrders_;
    int current_ = kNone;
};

}  // namespace engine
