#pragma once

#include <memory>

class KxSystemAbstractImpl;

// The one system implementation of the process, made by KxSystemImplFactory
// and shared while any KxSystem front holds it. User-interface thread only.
class KxSystemService
{
public:
    KxSystemService() = delete;
    static std::shared_ptr<KxSystemAbstractImpl> implementation();
};
