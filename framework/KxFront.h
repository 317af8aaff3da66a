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
