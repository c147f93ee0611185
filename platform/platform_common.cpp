#include "platform/platform.h"

#include <atomic>

namespace platform {

namespace {
std::atomic<ReverseResolver> installedResolver{nullptr};
} // namespace

QString reverseLookup(quint32 address)
{
    const ReverseResolver resolver = installedResolver.load(std::memory_order_acquire);
    return resolver ? resolver(address) : systemReverseLookup(address);
}

void setReverseResolver(ReverseResolver resolver)
{
    installedResolver.store(resolver, std::memory_order_release);
}

} // namespace platform
