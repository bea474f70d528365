// Live counts of the kernel resources held by this module's owners.
#include "platform/mapped_view.h"
#include "platform/unique_handle.h"

#include <atomic>

namespace veltrano::platform {
namespace {
std::atomic<long> g_live_handles{0};
std::atomic<long> g_live_views{0};
}  // namespace

long LiveHandleCount() noexcept { return g_live_handles.load(); }
long LiveViewCount() noexcept { return g_live_views.load(); }

namespace detail {
void CountHandles(long delta) noexcept { g_live_handles.fetch_add(delta); }
void CountViews(long delta) noexcept { g_live_views.fetch_add(delta); }
}  // namespace detail

}  // namespace veltrano::platform
