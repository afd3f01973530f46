#include "codecs/common/optimal_parse.h"

#include <memory>
#include <new>

namespace qrn {

OptimalWork* optimal_work()
{
    thread_local std::unique_ptr<OptimalWork> work(new (std::nothrow) OptimalWork);
    return work.get();
}

} // namespace qrn
