#pragma once

#include <QObject>

#include <memory>

// Removes every connection between a QML-facing front and its shared
// implementation, in both directions, and drops the front's share of it.
template <typename Impl> void kxDetach(QObject* front, std::shared_ptr<Impl>& impl)
{
    if (!impl)
        return;
    QObject::disconnect(impl.get(), nullptr, front, nullptr);
    QObject::disconnect(front, nullptr, impl.get(), nullptr);
    impl.reset();
}

// Lets go of the front's implementation first (so that it may end before the
// next one is made), takes the one `acquire()` returns and, when there is
// one, hands it to `connectSignals` to wire it to the front.
template <typename Impl, typename Acquire, typename Connect>
void kxAttach(QObject* front, std::shared_ptr<Impl>& impl, Acquire acquire, Connect connectSignals)
{
    kxDetach(front, impl);
    impl = acquire();
    if (Impl* live = impl.get())
        connectSignals(live);
}

// Sets one key a front is attached by. When it changed: `attach()` re-attaches
// the front, then the key's own signal is emitted and after it `dependents`,
// in the order given (views read them in that order).
template <typename Front, typename Key, typename Attach, typename... Signals>
void kxSetKey(Front* front, Key& key, const Key& value, Attach attach, void (Front::*keyChanged)(),
              Signals... dependents)
{
    if (value == key)
        return;
    key = value;
    attach();
    (front->*keyChanged)();
    ((front->*dependents)(), ...);
}
