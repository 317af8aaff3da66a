#include "KxSystemService.h"

#include "KxImplSharing.h"
#include "KxSystemImpl.h"

std::shared_ptr<KxSystemAbstractImpl> KxSystemService::implementation()
{
    static KxImplSharing<int, KxSystemAbstractImpl> table;
    return table.acquire(0, [] { return KxSystemImplFactory::createKxImpl(); });
}
