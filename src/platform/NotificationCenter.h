#pragma once

// The process-wide notification centre. Delivery is synchronous: post() runs every observer of
// the name on the posting thread before it returns, as the model's setters rely on.

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>

namespace platform {

/// Posted by every edit that changes what the preview shows.
inline constexpr const char* RequiresPreviewRegeneration = "RequiresPreviewRegeneration";

class NotificationCenter {
  public:
    using Block = std::function<void(const std::string& name)>;
    using Token = uint64_t;

    /// The one centre of the application.
    static NotificationCenter& defaultCenter();

    /// Runs `block` for every later post of `name`; keep the token to stop observing.
    Token addObserver(const std::string& name, Block block);
    void removeObserver(Token token);
    /// Delivers to the observers registered at the moment of the call, in registration order.
    void post(const std::string& name);

  private:
    struct Entry {
        std::string name;
        Block block;
    };
    std::mutex mutex_;
    std::map<Token, Entry> observers_;
    Token next_ = 1;
};

/// Observes a name for the lifetime of this object (handy for tests and short-lived listeners).
class ScopedObserver {
  public:
    ScopedObserver(const std::string& name, NotificationCenter::Block block,
                   NotificationCenter& center = NotificationCenter::defaultCenter())
        : center_(center), token_(center.addObserver(name, std::move(block))) {}
    ~ScopedObserver() { center_.removeObserver(token_); }
    ScopedObserver(const ScopedObserver&) = delete;
    ScopedObserver& operator=(const ScopedObserver&) = delete;

  private:
    NotificationCenter& center_;
    NotificationCenter::Token token_;
};

} // namespace platform
