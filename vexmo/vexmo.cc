/*
 * The exported operations: instance registration, device-name parsing and
 * dispatch to the packet source.
 */
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string_view>

/* Only the declarations of the public header get default visibility; the
 * library is built with hidden visibility, so everything else stays inside. */
#pragma GCC visibility push(default)
#include "vexmo.h"
#pragma GCC visibility pop

#include "internal.h"

namespace {

/* Instances are never freed (the client keeps them until exit); keeping them
 * on a list also tells leak checkers they are still reachable. */
std::mutex g_vexmo_instances_lock;
vexmo_instance *g_vexmo_instances = nullptr;

constexpr std::string_view file_prefix = "file:";

/* Parses the value of loop=N: a decimal count from 1 to 2^32 - 1. */
int parse_loops(std::string_view text, uint64_t *out)
{
    uint64_t v = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || end != text.data() + text.size() || v == 0 || v > UINT32_MAX)
        return -1;
    *out = v;
    return 0;
}

/* A trailing ",key=value" segment is an option when its key is a lower-case
 * word; anything else is part of the path (paths may contain commas). */
bool looks_like_option(std::string_view seg)
{
    size_t eq = seg.find('=');
    if (eq == std::string_view::npos || eq == 0)
        return false;
    for (char c : seg.substr(0, eq))
        if (!((c >= 'a' && c <= 'z') || c == '_'))
            return false;
    return true;
}

} // namespace

int parse_device_name(const char *name, device_choice *choice)
{
    std::memset(choice, 0, sizeof *choice);
    if (name == nullptr || name[0] == '\0') {
        std::fprintf(stderr, "Cannot open device: the device name is empty\n");
        return -1;
    }
    std::string_view sv(name);
    if (!sv.starts_with(file_prefix)) {
        choice->source = vexmo_source::live;
        if (sv.size() >= sizeof choice->path) {
            std::fprintf(stderr, "Cannot open interface %s: name too long\n", name);
            return -1;
        }
        std::snprintf(choice->path, sizeof choice->path, "%s", name);
        return 0;
    }

    choice->source = vexmo_source::replay;
    choice->replay.loops = 1;
    std::string_view rest = sv.substr(file_prefix.size());
    for (;;) {
        size_t comma = rest.rfind(',');
        if (comma == std::string_view::npos || !looks_like_option(rest.substr(comma + 1)))
            break;
        std::string_view opt = rest.substr(comma + 1);
        size_t eq = opt.find('=');
        std::string_view key = opt.substr(0, eq), val = opt.substr(eq + 1);
        if (key == "loop") {
            if (parse_loops(val, &choice->replay.loops) < 0) {
                std::fprintf(stderr, "Cannot open device %s: loop=%.*s is not a count from 1 to %u\n",
                             name, static_cast<int>(val.size()), val.data(), UINT32_MAX);
                return -1;
            }
        } else {
            std::fprintf(stderr, "Cannot open device %s: unknown option %.*s\n", name,
                         static_cast<int>(key.size()), key.data());
            return -1;
        }
        rest = rest.substr(0, comma);
    }
    if (rest.empty()) {
        std::fprintf(stderr, "Cannot open device %s: the savefile path is empty\n", name);
        return -1;
    }
    if (rest.size() >= sizeof choice->path) {
        std::fprintf(stderr, "Cannot open device %s: savefile path too long\n", name);
        return -1;
    }
    std::snprintf(choice->path, sizeof choice->path, "%.*s", static_cast<int>(rest.size()), rest.data());
    return 0;
}

vexmo_instance_t *vexmo_create(void)
{
    auto *inst = static_cast<vexmo_instance *>(std::calloc(1, sizeof(vexmo_instance)));
    if (inst == nullptr)
        return nullptr;
    std::lock_guard<std::mutex> guard(g_vexmo_instances_lock);
    inst->next = g_vexmo_instances;
    g_vexmo_instances = inst;
    return inst;
}

int vexmo_init(vexmo_instance_t *inst, const char *app_name)
{
    if (inst == nullptr || app_name == nullptr)
        return -1;
    size_t len = strnlen(app_name, vexmo_app_name_max + 1);
    if (len == 0 || len > vexmo_app_name_max)
        return -1;
    std::memcpy(inst->app_name, app_name, len);
    inst->app_name[len] = '\0';
    inst->initialised = true;
    return 0;
}

vexmo_device_t *vexmo_open_device(vexmo_instance_t *inst, const char *dev_symbol, uint32_t nr_rx,
                                  uint32_t nr_tx)
{
    (void)nr_tx; /* the stand-in has no transmit side */
    const char *shown = dev_symbol ? dev_symbol : "";
    if (inst == nullptr || !inst->initialised) {
        std::fprintf(stderr, "Cannot open device %s: the instance is not initialised\n", shown);
        return nullptr;
    }
    if (inst->device != nullptr) {
        std::fprintf(stderr, "Cannot open device %s: the instance already has a device\n", shown);
        return nullptr;
    }
    if (nr_rx > vexmo_max_streams) {
        std::fprintf(stderr, "Cannot open device %s: %u receive streams, at most %u\n", shown, nr_rx,
                     vexmo_max_streams);
        return nullptr;
    }
    static device_choice choice; /* 4 KiB of path: keep it off the caller's stack */
    static std::mutex spec_lock;
    std::lock_guard<std::mutex> guard(spec_lock);
    if (parse_device_name(dev_symbol, &choice) < 0)
        return nullptr;

    auto *dev = static_cast<vexmo_device *>(std::calloc(1, sizeof(vexmo_device)));
    if (dev == nullptr) {
        std::fprintf(stderr, "Cannot open device %s: %s\n", shown, std::strerror(ENOMEM));
        return nullptr;
    }
    dev->source = choice.source;
    dev->nr_rx = nr_rx;
    if (choice.source == vexmo_source::replay)
        dev->replay = replay_open(choice.path, &choice.replay, nr_rx);
    else
        dev->live = live_open(choice.path, nr_rx);
    if (dev->replay == nullptr && dev->live == nullptr) {
        std::free(dev);
        return nullptr;
    }
    inst->device = dev;
    return dev;
}

int vexmo_recv_all_burst(vexmo_instance_t *inst, uint32_t stream_index, vexmo_buff_t **bufs,
                         uint32_t capacity)
{
    if (inst == nullptr || inst->device == nullptr || bufs == nullptr || capacity == 0)
        return 0;
    vexmo_device *dev = inst->device;
    if (stream_index >= dev->nr_rx)
        return 0;
    if (dev->source == vexmo_source::replay)
        return replay_recv(dev->replay, stream_index, bufs, capacity);
    return live_recv(dev->live, stream_index, bufs, capacity);
}

void *vexmo_buff_mtod(const vexmo_buff_t *buf)
{
    return buf ? const_cast<uint8_t *>(buf->data) : nullptr;
}

uint32_t vexmo_buff_datalen(const vexmo_buff_t *buf)
{
    return buf ? buf->len : 0;
}

void vexmo_buff_free(vexmo_instance_t *inst, vexmo_buff_t **bufs, uint32_t count, int reserved1,
                     int reserved2)
{
    (void)reserved1;
    (void)reserved2;
    if (inst == nullptr || inst->device == nullptr || bufs == nullptr)
        return;
    vexmo_device *dev = inst->device;
    if (dev->source == vexmo_source::replay)
        replay_free(dev->replay, bufs, count);
    else
        live_free(dev->live, bufs, count);
}
