#include "PipeWire.h"
#include "PipeWireRoad.h"
#include "SpaFormats.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <string_view>
#include <tuple>

namespace platform::pipewire {

namespace {

// A search with a daemon costs a few round trips; one that does not answer
// in this time (stopped, or overloaded) is taken as absent.
constexpr auto kSearchBound = std::chrono::milliseconds(250);

struct Node {
    std::string serial;
    std::string name;
    std::string objectPath;
    std::string v4l2Path;
    int priority = 0;
    bool readable = false;
    pw_proxy* proxy = nullptr;
    spa_hook listener{};
};

// N from "/dev/videoN", or -1.
int deviceNumber(std::string_view path)
{
    constexpr std::string_view prefix = "/dev/video";
    if (path.substr(0, prefix.size()) != prefix)
        return -1;
    path.remove_prefix(prefix.size());
    int number = -1;
    const auto [end, ec] = std::from_chars(path.data(), path.data() + path.size(), number);
    return ec == std::errc{} && end == path.data() + path.size() ? number : -1;
}

std::string lookup(const spa_dict* props, const char* key)
{
    const char* value = props ? spa_dict_lookup(props, key) : nullptr;
    return value ? value : "";
}

// One search: a connection of its own, driven on this thread for a bounded
// time.
class Search {
public:
    Search() = default;
    Search(const Search&) = delete;
    Search& operator=(const Search&) = delete;
    ~Search();

    std::vector<Camera> run();

private:
    static void onGlobal(void* data, std::uint32_t id, std::uint32_t, const char* type,
                         std::uint32_t, const spa_dict* props);
    static void onGlobalRemove(void* data, std::uint32_t id);
    static void onDone(void* data, std::uint32_t id, int seq);
    static void onError(void* data, std::uint32_t id, int seq, int res, const char* message);
    static void onNodeInfo(void* data, const pw_node_info* info);
    static void onNodeParam(void* data, int seq, std::uint32_t id, std::uint32_t index,
                            std::uint32_t next, const spa_pod* param);
    static int onMetadata(void* data, std::uint32_t subject, const char* key, const char* type,
                          const char* value);
    // Lets go of the node with global id `id`, if it is one of ours.
    void forget(std::uint32_t id);

    pw_loop* loop_ = nullptr;
    pw_context* context_ = nullptr;
    pw_core* core_ = nullptr;
    pw_registry* registry_ = nullptr;
    pw_proxy* metadata_ = nullptr;
    spa_hook coreListener_{};
    spa_hook registryListener_{};
    spa_hook metadataListener_{};
    // Node objects by global id; a map keeps their addresses, which the
    // node listeners hold.
    std::map<std::uint32_t, Node> nodes_;
    std::string defaultName_;
    int pending_ = -1; // the sync whose answer ends the current round
    int rounds_ = 0;
    bool failed_ = false;
};

Search::~Search()
{
    while (!nodes_.empty())
        forget(nodes_.begin()->first);
    if (metadata_)
        pw_proxy_destroy(metadata_);
    if (registry_)
        pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry_));
    if (core_)
        pw_core_disconnect(core_);
    if (context_)
        pw_context_destroy(context_);
    if (loop_)
        pw_loop_destroy(loop_);
}

void Search::onGlobal(void* data, std::uint32_t id, std::uint32_t, const char* type, std::uint32_t,
                      const spa_dict* props)
{
    auto* self = static_cast<Search*>(data);
    if (std::strcmp(type, PW_TYPE_INTERFACE_Node) == 0 &&
        lookup(props, PW_KEY_MEDIA_CLASS) == "Video/Source" &&
        lookup(props, PW_KEY_MEDIA_ROLE) == "Camera") {
        self->forget(id); // a node of the same id before it has gone
        Node& node = self->nodes_[id];
        node.serial = lookup(props, PW_KEY_OBJECT_SERIAL);
        node.name = lookup(props, PW_KEY_NODE_NAME);
        node.objectPath = lookup(props, PW_KEY_OBJECT_PATH);
        // The rest of its properties and its formats come once it is bound.
        node.proxy = static_cast<pw_proxy*>(
            pw_registry_bind(self->registry_, id, PW_TYPE_INTERFACE_Node, PW_VERSION_NODE, 0));
        if (!node.proxy)
            return;
        static const pw_node_events events = [] {
            pw_node_events e{};
            e.version = PW_VERSION_NODE_EVENTS;
            e.info = onNodeInfo;
            e.param = onNodeParam;
            return e;
        }();
        pw_proxy_add_object_listener(node.proxy, &node.listener, &events, &node);
        pw_node_enum_params(reinterpret_cast<pw_node*>(node.proxy), 0, SPA_PARAM_EnumFormat, 0,
                            UINT32_MAX, nullptr);
    } else if (std::strcmp(type, PW_TYPE_INTERFACE_Metadata) == 0 &&
               lookup(props, PW_KEY_METADATA_NAME) == "default" && !self->metadata_) {
        self->metadata_ = static_cast<pw_proxy*>(pw_registry_bind(
            self->registry_, id, PW_TYPE_INTERFACE_Metadata, PW_VERSION_METADATA, 0));
        if (!self->metadata_)
            return;
        static const pw_metadata_events events = [] {
            pw_metadata_events e{};
            e.version = PW_VERSION_METADATA_EVENTS;
            e.property = onMetadata;
            return e;
        }();
        pw_proxy_add_object_listener(self->metadata_, &self->metadataListener_, &events, self);
    }
}

void Search::onGlobalRemove(void* data, std::uint32_t id)
{
    // A node that goes during the search is no camera, and the next node
    // to get its id must start afresh: nothing it learnt may carry over.
    static_cast<Search*>(data)->forget(id);
}

void Search::forget(std::uint32_t id)
{
    const auto it = nodes_.find(id);
    if (it == nodes_.end())
        return;
    if (Node& node = it->second; node.proxy) {
        spa_hook_remove(&node.listener);
        pw_proxy_destroy(node.proxy);
    }
    nodes_.erase(it);
}

void Search::onNodeInfo(void* data, const pw_node_info* info)
{
    auto* node = static_cast<Node*>(data);
    if (!info || !info->props)
        return;
    node->v4l2Path = lookup(info->props, "api.v4l2.path");
    if (const std::string path = lookup(info->props, PW_KEY_OBJECT_PATH); !path.empty())
        node->objectPath = path;
    const std::string priority = lookup(info->props, PW_KEY_PRIORITY_SESSION);
    std::from_chars(priority.data(), priority.data() + priority.size(), node->priority);
}

void Search::onNodeParam(void* data, int, std::uint32_t id, std::uint32_t, std::uint32_t,
                         const spa_pod* param)
{
    auto* node = static_cast<Node*>(data);
    if (id == SPA_PARAM_EnumFormat && readable(param))
        node->readable = true;
}

int Search::onMetadata(void* data, std::uint32_t subject, const char* key, const char*,
                       const char* value)
{
    // {"name": "<node.name>"} on the core's subject.
    auto* self = static_cast<Search*>(data);
    if (subject != PW_ID_CORE || !key || std::strcmp(key, "default.video.source") != 0 || !value)
        return 0;
    spa_json object, field;
    spa_json_init(&object, value, std::strlen(value));
    if (spa_json_enter_object(&object, &field) <= 0)
        return 0;
    char name[256];
    while (spa_json_get_string(&field, name, sizeof name) > 0) {
        char text[1024];
        if (std::strcmp(name, "name") == 0 && spa_json_get_string(&field, text, sizeof text) > 0) {
            self->defaultName_ = text;
            break;
        }
        const char* skipped;
        if (spa_json_next(&field, &skipped) <= 0)
            break;
    }
    return 0;
}

void Search::onDone(void* data, std::uint32_t id, int seq)
{
    auto* self = static_cast<Search*>(data);
    if (id != PW_ID_CORE || seq != self->pending_)
        return;
    // Round 1 brought the globals, and bound the cameras; round 2 their
    // properties and formats, which the daemon answers in order.
    if (++self->rounds_ < 3)
        self->pending_ = pw_core_sync(self->core_, PW_ID_CORE, self->pending_);
}

void Search::onError(void* data, std::uint32_t id, int, int, const char*)
{
    if (id == PW_ID_CORE)
        static_cast<Search*>(data)->failed_ = true;
}

std::vector<Camera> Search::run()
{
    loop_ = pw_loop_new(nullptr);
    if (!loop_)
        return {};
    context_ = pw_context_new(loop_, nullptr, 0);
    if (!context_)
        return {};
    core_ = pw_context_connect(context_, nullptr, 0);
    if (!core_)
        return {}; // no daemon: no socket, or refused
    static const pw_core_events coreEvents = [] {
        pw_core_events e{};
        e.version = PW_VERSION_CORE_EVENTS;
        e.done = onDone;
        e.error = onError;
        return e;
    }();
    pw_core_add_listener(core_, &coreListener_, &coreEvents, this);
    registry_ = pw_core_get_registry(core_, PW_VERSION_REGISTRY, 0);
    if (!registry_)
        return {};
    static const pw_registry_events registryEvents = [] {
        pw_registry_events e{};
        e.version = PW_VERSION_REGISTRY_EVENTS;
        e.global = onGlobal;
        e.global_remove = onGlobalRemove;
        return e;
    }();
    pw_registry_add_listener(registry_, &registryListener_, &registryEvents, this);
    pending_ = pw_core_sync(core_, PW_ID_CORE, 0);

    const auto deadline = std::chrono::steady_clock::now() + kSearchBound;
    pw_loop_enter(loop_);
    while (rounds_ < 3 && !failed_) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        if (pw_loop_iterate(loop_, static_cast<int>(left.count()) + 1) < 0 && errno != EINTR)
            break;
    }
    pw_loop_leave(loop_);
    if (rounds_ < 3 || failed_)
        return {};

    std::vector<const Node*> found;
    for (const auto& [id, node] : nodes_)
        if (node.readable && !node.serial.empty())
            found.push_back(&node);
    // The desktop's default first, then by priority from high to low, then
    // by serial.
    const auto order = [&](const Node* n) {
        std::uint64_t serial = 0;
        std::from_chars(n->serial.data(), n->serial.data() + n->serial.size(), serial);
        return std::tuple(defaultName_.empty() || n->name != defaultName_,
                          -std::int64_t{n->priority}, serial);
    };
    std::sort(found.begin(), found.end(),
              [&](const Node* a, const Node* b) { return order(a) < order(b); });
    std::vector<Camera> cameras;
    for (const Node* node : found) {
        int device = deviceNumber(node->v4l2Path);
        if (device < 0 && node->objectPath.rfind("v4l2:", 0) == 0)
            device = deviceNumber(std::string_view(node->objectPath).substr(5));
        cameras.push_back({{&road(), node->serial}, device});
    }
    return cameras;
}

} // namespace

std::vector<Camera> findCameras()
{
    if (const char* off = std::getenv("THRESHCAM_NO_PIPEWIRE"); off && *off)
        return {};
    initialise();
    return Search().run();
}

} // namespace platform::pipewire
