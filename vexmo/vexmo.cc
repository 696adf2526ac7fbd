// The exported operations: instance registration, device-name parsing and
// dispatch to the packet source.
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

// Only the declarations of the public header get default visibility; the
// library is built with hidden visibility, so everything else stays inside.
#pragma GCC visibility push(default)
#include "vexmo.h"
#pragma GCC visibility pop

#include "internal.h"
#include "mutex.h"

namespace {

// Instances are never freed (the client keeps them until exit); keeping them
// on a list also tells leak checkers they are still reachable.
annotated_mutex g_vexmo_instances_lock;
vexmo_instance *g_vexmo_instances GUARDED_BY(g_vexmo_instances_lock) = nullptr;

constexpr std::string_view kFilePrefix = "file:";

// Parses the value of loop=N: a decimal count from 1 to 2^32 - 1.
int parse_loops(std::string_view text, device_choice *c)
{
    uint64_t v = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || end != text.data() + text.size() || v == 0 || v > UINT32_MAX)
        return -1;
    c->replay.loops = v;
    return 0;
}

int parse_promisc(std::string_view text, device_choice *c)
{
    if (text != "0" && text != "1")
        return -1;
    c->live.promisc = text == "1";
    return 0;
}

// ring=SIZE: bytes, or K, M, G (powers of 1024); at least 1.
int parse_ring(std::string_view text, device_choice *c)
{
    uint64_t v = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    std::string_view unit(end, static_cast<size_t>(text.data() + text.size() - end));
    int shift = unit.empty()                 ? 0
                : unit == "K" || unit == "k" ? 10
                : unit == "M" || unit == "m" ? 20
                : unit == "G" || unit == "g" ? 30
                                             : -1;
    // The bound depends on the unit: 16G and 17179869184 are the same size.
    if (ec != std::errc() || v == 0 || shift < 0 || v > (UINT64_MAX >> shift))
        return -1;
    c->live.ring = v << shift;
    return 0;
}

int parse_fanout(std::string_view text, device_choice *c)
{
    if (text == "hash")
        c->live.fanout = live_fanout::hash;
    else if (text == "lb")
        c->live.fanout = live_fanout::lb;
    else if (text == "cpu")
        c->live.fanout = live_fanout::cpu;
    else
        return -1;
    return 0;
}

struct option_key {
    std::string_view key;
    vexmo_source source;
    int (*parse)(std::string_view, device_choice *);
    const char *want;
};
constexpr option_key kOptionKeys[] = {
    {"loop", vexmo_source::replay, parse_loops, "a count from 1 to 4294967295"},
    {"promisc", vexmo_source::live, parse_promisc, "0 or 1"},
    {"ring", vexmo_source::live, parse_ring, "a size such as 512K, 64M or 1G"},
    {"fanout", vexmo_source::live, parse_fanout, "hash, lb or cpu"},
};
constexpr size_t kNrOptionKeys = sizeof kOptionKeys / sizeof kOptionKeys[0];

const option_key *find_key(std::string_view key)
{
    for (const option_key &k : kOptionKeys)
        if (k.key == key)
            return &k;
    return nullptr;
}

// Whether a trailing segment is an option. Its key must be a lower-case
// word followed by "=". A known key always makes an option, so a bad value
// is named as such. An unknown key makes an option (to be refused, so that
// a mistyped key is not silently taken for part of the name) only when its
// value is a plain word: "x,host=a.pcap" or "run,id=3/x.pcap" stay paths.
bool is_option(std::string_view seg)
{
    size_t eq = seg.find('=');
    if (eq == std::string_view::npos || eq == 0)
        return false;
    for (char c : seg.substr(0, eq))
        if (!((c >= 'a' && c <= 'z') || c == '_'))
            return false;
    if (find_key(seg.substr(0, eq)))
        return true;
    for (char c : seg.substr(eq + 1))
        if (!isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '-')
            return false;
    return true;
}

const char *source_word(vexmo_source s)
{
    return s == vexmo_source::replay ? "savefiles" : "live interfaces";
}

// Applies one option segment; *seen has a bit per key already given.
int apply_option(const char *name, std::string_view seg, device_choice *c, uint32_t *seen)
{
    size_t eq = seg.find('=');
    std::string_view key = seg.substr(0, eq), val = seg.substr(eq + 1);
    int klen = static_cast<int>(key.size()), vlen = static_cast<int>(val.size());
    const option_key *k = find_key(key);
    if (k == nullptr)
        return vexmo_cannot("open device %s: unknown option %.*s", name, klen, key.data());
    uint32_t bit = 1u << (k - kOptionKeys);
    if (*seen & bit)
        return vexmo_cannot("open device %s: option %.*s given twice", name, klen, key.data());
    *seen |= bit;
    if (k->source != c->source)
        return vexmo_cannot("open device %s: %.*s applies to %s only", name, klen, key.data(),
                            source_word(k->source));
    if (k->parse(val, c) < 0)
        return vexmo_cannot("open device %s: %.*s=%.*s is not %s", name, klen, key.data(), vlen,
                            val.data(), k->want);
    return 0;
}

static_assert(kNrOptionKeys <= 32, "one bit per key in apply_option");

// Applies the option segments at the end of *rest, last first, and cuts each
// off. Options are the trailing segments that look like options; any other
// comma belongs to the name (paths, and interface names, may hold one).
int take_options(const char *name, std::string_view *rest, device_choice *c)
{
    uint32_t seen = 0;
    for (;;) {
        size_t comma = rest->rfind(',');
        if (comma == std::string_view::npos || !is_option(rest->substr(comma + 1)))
            return 0;
        if (apply_option(name, rest->substr(comma + 1), c, &seen) < 0)
            return -1;
        rest->remove_suffix(rest->size() - comma);
    }
}

// Refuses an open the instance cannot take: 0, or -1 after the "Cannot" line.
int check_open(const vexmo_instance *inst, const char *shown, uint32_t nr_rx)
{
    if (inst == nullptr || !inst->initialised)
        return vexmo_cannot("open device %s: the instance is not initialised", shown);
    if (inst->device != nullptr)
        return vexmo_cannot("open device %s: the instance already has a device", shown);
    if (nr_rx > kVexmoMaxStreams)
        return vexmo_cannot("open device %s: %u receive streams, at most %u", shown, nr_rx,
                            kVexmoMaxStreams);
    return 0;
}

// The device of the source a parsed name chose, or nullptr after the
// "Cannot" line.
vexmo_device *open_source(const device_choice *choice, const char *shown, uint32_t nr_rx)
{
    auto *dev = vexmo_new_record<vexmo_device>();
    if (dev == nullptr) {
        vexmo_cannot_errno(ENOMEM, "open device %s", shown);
        return nullptr;
    }
    dev->source = choice->source;
    dev->nr_rx = nr_rx;
    if (choice->source == vexmo_source::replay)
        dev->replay = replay_open(choice->path, &choice->replay, nr_rx);
    else
        dev->live = live_open(choice->path, &choice->live, nr_rx);
    if (dev->replay == nullptr && dev->live == nullptr) {
        free(dev);
        return nullptr;
    }
    return dev;
}

} // namespace

namespace {

// The one sink of the library's failure lines: "Cannot ", the text, the
// system's text after ": " when err is not 0, and hint; one line even while
// other threads print.
int vcannot(int err, const char *hint, const char *fmt, va_list ap)
{
    flockfile(stderr);
    fputs("Cannot ", stderr);
    vfprintf(stderr, fmt, ap);
    if (err != 0)
        fprintf(stderr, ": %s", strerror(err));
    fputs(hint, stderr);
    fputc('\n', stderr);
    funlockfile(stderr);
    return -1;
}

} // namespace

int vexmo_cannot(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vcannot(0, "", fmt, ap);
    va_end(ap);
    return -1;
}

int vexmo_cannot_errno(int err, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vcannot(err, "", fmt, ap);
    va_end(ap);
    return -1;
}

int vexmo_cannot_errno_hint(int err, const char *hint, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vcannot(err, hint, fmt, ap);
    va_end(ap);
    return -1;
}

int parse_device_name(const char *name, device_choice *choice)
{
    memset(choice, 0, sizeof *choice);
    if (name == nullptr || name[0] == '\0')
        return vexmo_cannot("open device: the device name is empty");
    std::string_view rest(name);
    bool replay = rest.starts_with(kFilePrefix);
    if (replay)
        rest.remove_prefix(kFilePrefix.size());
    choice->source = replay ? vexmo_source::replay : vexmo_source::live;
    choice->replay.loops = 1;
    choice->live.promisc = true;
    choice->live.fanout = live_fanout::hash;
    if (take_options(name, &rest, choice) < 0)
        return -1;
    const char *what = replay ? "savefile path" : "interface name";
    if (rest.empty())
        return vexmo_cannot("open device %s: the %s is empty", name, what);
    if (rest.size() >= sizeof choice->path)
        return vexmo_cannot("open device %s: %s too long", name, what);
    snprintf(choice->path, sizeof choice->path, "%.*s", static_cast<int>(rest.size()), rest.data());
    return 0;
}

vexmo_instance_t *vexmo_create(void)
{
    auto *inst = vexmo_new_record<vexmo_instance>();
    if (inst == nullptr)
        return nullptr;
    mutex_lock held(&g_vexmo_instances_lock);
    inst->next = g_vexmo_instances;
    g_vexmo_instances = inst;
    return inst;
}

int vexmo_init(vexmo_instance_t *inst, const char *app_name)
{
    if (inst == nullptr || app_name == nullptr)
        return -1;
    size_t len = strnlen(app_name, kVexmoAppNameMax + 1);
    if (len == 0 || len > kVexmoAppNameMax)
        return -1;
    memcpy(inst->app_name, app_name, len);
    inst->app_name[len] = '\0';
    inst->initialised = true;
    return 0;
}

vexmo_device_t *vexmo_open_device(vexmo_instance_t *inst, const char *dev_symbol, uint32_t nr_rx,
                                  uint32_t nr_tx)
{
    (void)nr_tx; // the stand-in has no transmit side
    const char *shown = dev_symbol ? dev_symbol : "";
    if (check_open(inst, shown, nr_rx) < 0)
        return nullptr;
    // The parsed name holds a path of up to 4 KiB: on the heap for the
    // length of the open, not on the stack of a caller that may be a thread
    // with a small one.
    auto *choice = vexmo_new_record<device_choice>();
    if (choice == nullptr) {
        vexmo_cannot_errno(ENOMEM, "open device %s", shown);
        return nullptr;
    }
    vexmo_device *dev = nullptr;
    if (parse_device_name(dev_symbol, choice) == 0) {
        choice->live.frame_limit = inst->frame_limit;
        dev = open_source(choice, shown, nr_rx);
    }
    free(choice);
    if (dev != nullptr)
        inst->device = dev;
    return dev;
}

void vexmo_set_frame_limit(vexmo_instance_t *inst, uint32_t bytes)
{
    if (inst != nullptr)
        inst->frame_limit = bytes;
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

// Clients built against the header before settle_ms had `reserved` there.
static_assert(sizeof(vexmo_stream_stats_t) == 24 &&
              offsetof(vexmo_stream_stats_t, settle_ms) == 20);

int vexmo_stream_stats(vexmo_instance_t *inst, uint32_t stream_index, vexmo_stream_stats_t *stats)
{
    if (inst == nullptr || inst->device == nullptr || stats == nullptr ||
        stream_index >= inst->device->nr_rx)
        return -1;
    memset(stats, 0, sizeof *stats);
    vexmo_device *dev = inst->device;
    if (dev->source == vexmo_source::replay)
        return replay_stats(dev->replay, stream_index, stats);
    return live_stats(dev->live, stream_index, stats);
}

int vexmo_stream_waits(vexmo_instance_t *inst, uint32_t stream_index)
{
    return inst != nullptr && inst->device != nullptr && stream_index < inst->device->nr_rx &&
           inst->device->source == vexmo_source::replay;
}

void vexmo_report_drops(vexmo_instance_t *inst)
{
    if (inst != nullptr && inst->device != nullptr && inst->device->source == vexmo_source::live)
        live_report_drops(inst->device->live);
}

int vexmo_buff_tstamp(const vexmo_buff_t *buf, int64_t *sec, uint32_t *nsec)
{
    if (buf == nullptr || sec == nullptr || nsec == nullptr)
        return -1;
    return buf->source == vexmo_source::live ? live_tstamp(buf, sec, nsec)
                                             : replay_tstamp(buf, sec, nsec);
}

uint32_t vexmo_buff_wirelen(const vexmo_buff_t *buf)
{
    if (buf == nullptr)
        return 0;
    return buf->source == vexmo_source::live ? live_wirelen(buf) : replay_wirelen(buf);
}
