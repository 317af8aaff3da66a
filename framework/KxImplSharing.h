#pragma once

#include <map>
#include <memory>
#include <new>
#include <utility>

// The process-wide table through which fronts of one key share one
// implementation: a weak reference per key, so the implementation lives as
// long as the last front that holds it and the next front after that gets a
// fresh one. User-interface thread only.
template <typename Key, typename Impl> class KxImplSharing
{
public:
    // The live implementation under `key`, else the one `create` makes (null
    // when it cannot), remembered under `key` either way.
    template <typename Create> std::shared_ptr<Impl> acquire(const Key& key, Create create)
    {
        const auto found = m_table.find(key);
        if (found != m_table.end()) {
            if (std::shared_ptr<Impl> live = found->second.lock())
                return live;
        }
        std::shared_ptr<Impl> created = create();
        // Expired entries would otherwise pile up with every id ever shown.
        for (auto it = m_table.begin(); it != m_table.end();)
            it = it->second.expired() ? m_table.erase(it) : std::next(it);
        m_table[key] = created;
        return created;
    }

private:
    std::map<Key, std::weak_ptr<Impl>> m_table;
};

// A new Concrete(args...) as a shared Abstract, or null when it cannot be
// made: the framework factories never throw.
template <typename Abstract, typename Concrete, typename... Args>
std::shared_ptr<Abstract> kxMakeImpl(Args&&... args) noexcept
{
    try {
        Concrete* impl = new (std::nothrow) Concrete(std::forward<Args>(args)...);
        if (impl == nullptr)
            return nullptr;
        return std::shared_ptr<Abstract>(impl);
    } catch (...) {
        // A failed allocation inside the constructor, or the shared pointer's
        // own (which has deleted the object already).
        return nullptr;
    }
}
