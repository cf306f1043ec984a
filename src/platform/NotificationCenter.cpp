#include "NotificationCenter.h"

#include <vector>

namespace platform {

NotificationCenter& NotificationCenter::defaultCenter() {
    static NotificationCenter center;
    return center;
}

NotificationCenter::Token NotificationCenter::addObserver(const std::string& name, Block block) {
    std::lock_guard lock(mutex_);
    const Token token = next_++;
    observers_.emplace(token, Entry{name, std::move(block)});
    return token;
}

void NotificationCenter::removeObserver(Token token) {
    std::lock_guard lock(mutex_);
    observers_.erase(token);
}

void NotificationCenter::post(const std::string& name) {
    // Observers run outside the lock so that they may post or (un)register themselves.
    std::vector<Block> targets;
    {
        std::lock_guard lock(mutex_);
        for (const auto& [token, entry] : observers_)
            if (entry.name == name)
                targets.push_back(entry.block);
    }
    for (const auto& block : targets)
        block(name);
}

} // namespace platform
