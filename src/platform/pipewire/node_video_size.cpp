#include "platform/pipewire/node_video_size.hpp"

#include <fcntl.h>
#include <spa/param/video/format-utils.h>

#include <chrono>
#include <cstring>
#include <memory>

#include "platform/pipewire/pipewire_handles.hpp"

namespace skylark {
namespace {

using namespace pipewire;

struct MainLoopDeleter {
    void operator()(pw_main_loop* l) const { pw_main_loop_destroy(l); }
};
struct ProxyDeleter {
    void operator()(pw_proxy* p) const { pw_proxy_destroy(p); }
};

struct Probe {
    std::uint32_t nodeId = 0;
    pw_core* core = nullptr;
    pw_registry* registry = nullptr;
    std::unique_ptr<pw_proxy, ProxyDeleter> node;
    spa_hook coreHook{}, registryHook{}, nodeHook{};
    int lastSync = -1;
    bool done = false;
    std::optional<PixelSize> size;
};

// The size of a format: fixed, or the preferred one of a choice.
std::optional<PixelSize> sizeOf(const spa_pod* format) {
    const spa_pod_prop* prop = spa_pod_find_prop(format, nullptr, SPA_FORMAT_VIDEO_size);
    std::uint32_t count = 0, choice = 0;
    spa_rectangle size{};
    if (prop == nullptr ||
        spa_pod_get_rectangle(spa_pod_get_values(&prop->value, &count, &choice), &size) < 0 ||
        count == 0 || size.width == 0 || size.height == 0) {
        return std::nullopt;
    }
    return PixelSize{int(size.width), int(size.height)};
}

void onParam(void* data, int, std::uint32_t, std::uint32_t, std::uint32_t, const spa_pod* param) {
    auto* probe = static_cast<Probe*>(data);
    if (param != nullptr && !probe->size) {
        probe->size = sizeOf(param);
    }
}
constexpr pw_node_events kNodeEvents = [] {
    pw_node_events events{};
    events.version = PW_VERSION_NODE_EVENTS;
    events.param = onParam;
    return events;
}();

void onGlobal(void* data, std::uint32_t id, std::uint32_t, const char* type, std::uint32_t,
              const spa_dict*) {
    auto* probe = static_cast<Probe*>(data);
    if (id != probe->nodeId || std::strcmp(type, PW_TYPE_INTERFACE_Node) != 0 || probe->node) {
        return;
    }
    probe->node.reset(static_cast<pw_proxy*>(
        pw_registry_bind(probe->registry, id, PW_TYPE_INTERFACE_Node, PW_VERSION_NODE, 0)));
    if (!probe->node) {
        return;
    }
    auto* node = reinterpret_cast<pw_node*>(probe->node.get());
    pw_node_add_listener(node, &probe->nodeHook, &kNodeEvents, probe);
    pw_node_enum_params(node, 0, SPA_PARAM_EnumFormat, 0, UINT32_MAX, nullptr);
    // Its formats arrive before the answer to this.
    probe->lastSync = pw_core_sync(probe->core, PW_ID_CORE, 0);
}
constexpr pw_registry_events kRegistryEvents = [] {
    pw_registry_events events{};
    events.version = PW_VERSION_REGISTRY_EVENTS;
    events.global = onGlobal;
    return events;
}();

void onDone(void* data, std::uint32_t id, int seq) {
    auto* probe = static_cast<Probe*>(data);
    probe->done = probe->done || (id == PW_ID_CORE && seq == probe->lastSync);
}
void onError(void* data, std::uint32_t, int, int, const char*) {
    static_cast<Probe*>(data)->done = true;
}
constexpr pw_core_events kCoreEvents = [] {
    pw_core_events events{};
    events.version = PW_VERSION_CORE_EVENTS;
    events.done = onDone;
    events.error = onError;
    return events;
}();

}  // namespace

std::optional<PixelSize> nodeVideoSize(int remoteFd, std::uint32_t nodeId, int timeout_ms) {
    initialiseOnce();
    std::unique_ptr<pw_main_loop, MainLoopDeleter> loop(pw_main_loop_new(nullptr));
    if (!loop) {
        return std::nullopt;
    }
    pw_loop* events = pw_main_loop_get_loop(loop.get());
    std::unique_ptr<pw_context, ContextDeleter> context(pw_context_new(events, nullptr, 0));
    const int fd = remoteFd >= 0 ? ::fcntl(remoteFd, F_DUPFD_CLOEXEC, 0) : -1;
    std::unique_ptr<pw_core, CoreDeleter> core(
        !context  ? nullptr
        : fd >= 0 ? pw_context_connect_fd(context.get(), fd, nullptr, 0)
                  : pw_context_connect(context.get(), nullptr, 0));
    if (!core) {
        return std::nullopt;
    }
    Probe probe;
    probe.nodeId = nodeId;
    probe.core = core.get();
    std::unique_ptr<pw_registry, RegistryDeleter> registry(
        pw_core_get_registry(core.get(), PW_VERSION_REGISTRY, 0));
    if (!registry) {
        return std::nullopt;
    }
    probe.registry = registry.get();
    pw_core_add_listener(core.get(), &probe.coreHook, &kCoreEvents, &probe);
    pw_registry_add_listener(registry.get(), &probe.registryHook, &kRegistryEvents, &probe);
    // Every node there is announced before the answer to this; a later one from the node's own.
    probe.lastSync = pw_core_sync(core.get(), PW_ID_CORE, 0);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    pw_loop_enter(events);
    while (!probe.done && std::chrono::steady_clock::now() < deadline) {
        pw_loop_iterate(events, 50);
    }
    pw_loop_leave(events);
    probe.node.reset();
    return probe.size;
}

}  // namespace skylark
