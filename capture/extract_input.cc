// One savefile as trawlcap-extract reads it (see extract_input.h).
//
// Plain savefiles are read through a map of the whole file, compressed ones
// decoded frame by frame into a buffer of their own, pcapng through libpcap.
// With a valid index only the blocks whose time span meets the query and
// whose keys may match it are read; a block is not even decoded before the
// merge needs its first stamp (`pending`), so that an extraction over many
// files holds decoded frames only for the files its time has reached.
#include "extract_input.h"
#include "savefile.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zstd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int cannot(const char *format, ...) __attribute__((format(printf, 1, 2)));

namespace {

// A compressed file read whole is decoded this far ahead, beside the
// largest record that may be cut at the buffer's end.
constexpr size_t kScanBytes = size_t{512} << 10;
constexpr size_t kScanCap = kScanBytes + kRecordHeader + kMaxSnapLen;
// The largest frame an index may point at (ours hold at most about 1 MiB).
constexpr uint64_t kMaxFrame = uint64_t{64} << 20;
// What a decode that had no buffer returns: an error code to ZSTD_isError.
constexpr size_t kNoMemory = static_cast<size_t>(-1);

bool fail(input *in, const char *what, uint64_t at)
{
    if (!in->failed)
        cannot("read %s: %s at byte %llu", in->path, what, static_cast<unsigned long long>(at));
    in->failed = true;
    in->done = true;
    return false;
}

// A savefile's header: its byte order, precision, link type and snapshot length.
bool parse_header(input *in, const uint8_t *h)
{
    uint32_t magic;
    memcpy(&magic, h, sizeof magic);
    uint32_t keep = in->flags & INDEX_COMPRESSED;
    if (magic == 0xa1b2c3d4 || magic == 0xa1b23c4d)
        in->flags = keep | (magic == 0xa1b23c4d ? uint32_t{INDEX_NANO} : 0);
    else if (magic == 0xd4c3b2a1 || magic == 0x4d3cb2a1)
        in->flags = keep | INDEX_SWAPPED | (magic == 0x4d3cb2a1 ? uint32_t{INDEX_NANO} : 0);
    else
        return false;
    // libpcap takes a length of 0 or beyond what it reads as its largest.
    in->snaplen = index_u32(h + 16, in->flags);
    if (in->snaplen == 0 || in->snaplen > kMaxSnapLen)
        in->snaplen = kMaxSnapLen;
    in->linktype_field = index_u32(h + 20, in->flags);
    in->linktype = in->linktype_field & 0x03ffffff;
    return true;
}

// Decodes more of a compressed file read whole: what was not read yet
// moves to the buffer's start. False at its end, or when it is damaged.
bool decode_more(input *in)
{
    size_t left = static_cast<size_t>(in->end - in->cur);
    memmove(in->buf, in->cur, left);
    ZSTD_outBuffer out{in->buf, kScanCap, left};
    ZSTD_inBuffer src{in->map, in->size, in->in_pos};
    while (out.pos < kScanBytes && src.pos < src.size) {
        size_t r = ZSTD_decompressStream(in->zstd, &out, &src);
        if (ZSTD_isError(r))
            return fail(in, "damaged compressed data", src.pos);
        in->frame_left = r;
    }
    in->in_pos = src.pos;
    in->cur = in->buf;
    in->end = in->buf + out.pos;
    return out.pos > left;
}

int open_zstd(input *in)
{
    in->zstd = ZSTD_createDCtx();
    in->buf = static_cast<uint8_t *>(malloc(kScanCap));
    in->buf_cap = kScanCap;
    in->cur = in->end = in->buf;
    if (!in->zstd || !in->buf)
        return cannot("read %s: out of memory", in->path);
    while (in->end - in->cur < static_cast<ptrdiff_t>(kFileHeader))
        if (!decode_more(in))
            return in->failed ? -1 : (fail(in, "cut in its header", in->size), -1);
    if (!parse_header(in, in->cur))
        return 1;
    in->cur += kFileHeader;
    return 0;
}

int open_pcapng(input *in)
{
    char err[PCAP_ERRBUF_SIZE];
    in->ng = pcap_open_offline_with_tstamp_precision(in->path, PCAP_TSTAMP_PRECISION_MICRO, err);
    if (!in->ng)
        return cannot("read %s: %s", in->path, err);
    int dlt = pcap_datalink(in->ng);
    in->linktype = dlt == DLT_RAW ? kLinktypeRaw : static_cast<uint32_t>(dlt);
    in->linktype_field = in->linktype;
    in->snaplen = static_cast<uint32_t>(pcap_snapshot(in->ng));
    return 0;
}

// Which kind of file it is, by its first bytes; -1: none of ours.
int sniff(input *in, uint8_t head[kFileHeader])
{
    uint32_t magic = 0;
    ssize_t got = pread(in->fd, head, kFileHeader, 0);
    if (got < 4)
        return -1;
    memcpy(&magic, head, sizeof magic);
    if (magic == 0x0a0d0d0a)
        return INPUT_PCAPNG;
    if (magic == 0xfd2fb528)
        return INPUT_ZSTD;
    if (magic == 0xa1b2c3d4 || magic == 0xa1b23c4d || magic == 0xd4c3b2a1 || magic == 0x4d3cb2a1)
        return INPUT_PCAP;
    return -1;
}

// The whole file, mapped once it is to be read: a plain savefile whose
// index rules it out is never mapped (mapping and unmapping hundreds of
// files would cost a query more than the few blocks it reads).
bool map_file(input *in)
{
    if (in->map)
        return true;
    void *map = mmap(nullptr, in->size, PROT_READ, MAP_PRIVATE, in->fd, 0);
    if (map == MAP_FAILED) {
        cannot("read %s: %s", in->path, strerror(errno));
        in->failed = in->done = true;
        return false;
    }
    in->map = static_cast<const uint8_t *>(map);
    // Read through the index: only the blocks asked for (each fetched as
    // it is loaded), no read-ahead around them; read whole: ahead.
    madvise(map, in->size, in->indexed ? MADV_RANDOM : MADV_SEQUENTIAL);
    if (!in->indexed && in->kind == INPUT_PCAP) {
        in->cur = in->map + kFileHeader;
        in->end = in->map + in->size;
        in->in_pos = in->size;
    }
    return true;
}

int open_kind(input *in, const uint8_t head[kFileHeader])
{
    if (in->kind == INPUT_PCAPNG)
        return open_pcapng(in);
    if (in->kind == INPUT_ZSTD) {
        in->flags = INDEX_COMPRESSED;
        return map_file(in) ? open_zstd(in) : -1;
    }
    if (in->size < kFileHeader)
        return fail(in, "cut in its header", in->size), -1;
    parse_header(in, head);
    return 0;
}

} // namespace

int input_open(input *in, const char *path, bool quiet_if_not_savefile)
{
    *in = input{};
    in->fd = -1;
    in->idx.fd = -1; // no index yet: input_close must not close descriptor 0
    snprintf(in->path, sizeof in->path, "%s", path);
    in->fd = open(path, O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (in->fd < 0 || fstat(in->fd, &st) != 0)
        return cannot("read %s: %s", path, strerror(errno));
    if (!S_ISREG(st.st_mode))
        return quiet_if_not_savefile ? 1 : cannot("read %s: not a regular file", path);
    in->size = static_cast<uint64_t>(st.st_size);
    uint8_t head[kFileHeader] = {};
    int kind = sniff(in, head);
    if (kind < 0)
        return quiet_if_not_savefile ? 1 : cannot("read %s: not a savefile", path);
    in->kind = static_cast<input_kind>(kind);
    int rc = open_kind(in, head);
    if (rc == 1 && !quiet_if_not_savefile)
        return cannot("read %s: compressed, but not a savefile", path);
    return rc;
}

void input_close(input *in)
{
    if (in->map)
        munmap(const_cast<uint8_t *>(in->map), in->size);
    if (in->ng)
        pcap_close(in->ng);
    if (in->fd >= 0)
        close(in->fd);
    ZSTD_freeDCtx(in->zstd);
    free(in->buf);
    free(in->bloom);
    index_close(&in->idx);
    in->map = nullptr;
    in->ng = nullptr;
    in->zstd = nullptr;
    in->buf = nullptr;
    in->bloom = nullptr;
    in->fd = -1;
}

namespace {

bool block_wanted(input *in, uint32_t i, const input_query *q)
{
    const index_block &b = in->idx.blocks[i];
    if (b.last_ns < q->from_ns || b.first_ns >= q->to_ns)
        return false;
    if (filter_terms_trivial(q->terms))
        return true;
    uint32_t words = 0;
    const uint64_t *bloom = index_block_bloom(&in->idx, i, &words, &in->bloom, &in->bloom_cap);
    return filter_terms_may_match(q->terms, bloom, words);
}

// The next block the query may want: pending, its first stamp the bound.
bool next_block(input *in, const input_query *q)
{
    while (in->block < in->idx.h.nr_blocks && !block_wanted(in, in->block, q))
        in->block++;
    if (in->block >= in->idx.h.nr_blocks) {
        in->done = true;
        return false;
    }
    in->pending = true;
    in->ns = in->idx.blocks[in->block].first_ns;
    return true;
}

// Reads the pending block: its records are next.
bool load_block(input *in)
{
    const index_block &b = in->idx.blocks[in->block++];
    in->pending = false;
    if (!map_file(in))
        return false;
    if (in->kind == INPUT_PCAP) {
        in->cur = in->map + b.pos;
        in->end = in->cur + b.length;
        static const uintptr_t kPage = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
        auto at = reinterpret_cast<uintptr_t>(in->cur);
        uintptr_t page = at & ~(kPage - 1);
        madvise(reinterpret_cast<void *>(page), b.length + (at - page), MADV_WILLNEED);
        return true;
    }
    const uint8_t *frame = in->map + b.pos;
    unsigned long long need = ZSTD_getFrameContentSize(frame, b.length);
    if (need > kMaxFrame || need < b.inner)
        return fail(in, "damaged compressed frame", b.pos);
    if (need > in->buf_cap) {
        free(in->buf);
        in->buf = static_cast<uint8_t *>(malloc(need));
        in->buf_cap = in->buf ? need : 0;
    }
    if (!in->zstd)
        in->zstd = ZSTD_createDCtx();
    size_t got = in->buf && in->zstd ? ZSTD_decompressDCtx(in->zstd, in->buf, need, frame, b.length)
                                     : kNoMemory;
    if (ZSTD_isError(got) || got != need)
        return fail(in, "damaged compressed frame", b.pos);
    in->cur = in->buf + b.inner;
    in->end = in->buf + got;
    return true;
}

// Where reading goes on once [cur, end) holds no whole record.
bool refill(input *in, const input_query *q)
{
    size_t left = static_cast<size_t>(in->end - in->cur);
    if (in->indexed)
        return left ? fail(in, "a record crosses its block", in->in_pos) : next_block(in, q);
    if (in->kind == INPUT_ZSTD && decode_more(in))
        return true;
    if (in->failed)
        return false;
    uint64_t at = in->kind == INPUT_PCAP ? static_cast<uint64_t>(in->cur - in->map) : in->in_pos;
    if (in->kind == INPUT_ZSTD && in->frame_left)
        return fail(in, "cut in a compressed frame", in->size);
    if (left)
        return fail(in, "cut in a record", at);
    in->done = true;
    return false;
}

bool selected(const input *in, const input_query *q)
{
    return in->ns >= q->from_ns && in->ns < q->to_ns &&
           (!q->prog || pcap_offline_filter(q->prog, &in->hdr, in->data));
}

bool next_pcapng(input *in, const input_query *q)
{
    for (;;) {
        pcap_pkthdr *h;
        const u_char *data;
        int rc = pcap_next_ex(in->ng, &h, &data);
        if (rc == PCAP_ERROR_BREAK) {
            in->done = true;
            return false;
        }
        if (rc != 1) {
            cannot("read %s: %s", in->path, pcap_geterr(in->ng));
            in->failed = in->done = true;
            return false;
        }
        in->hdr = *h;
        in->data = data;
        in->ns = h->ts.tv_sec * 1000000000LL + h->ts.tv_usec * 1000LL;
        if (selected(in, q))
            return true;
    }
}

} // namespace

void input_use_index(input *in, const input_query *q)
{
    if (in->kind == INPUT_PCAPNG)
        return;
    if (index_open(in->path, in->fd, in->size, &in->idx) != 1)
        return;
    const index_header &h = in->idx.h;
    bool compressed = in->kind == INPUT_ZSTD;
    uint32_t mask = INDEX_COMPRESSED | INDEX_NANO | INDEX_SWAPPED;
    if (h.linktype != in->linktype || (h.flags & mask) != (in->flags & mask) ||
        ((h.flags & INDEX_COMPRESSED) != 0) != compressed) {
        index_close(&in->idx);
        return;
    }
    in->indexed = true;
    in->block = 0;
    in->cur = in->end = nullptr;
    if (h.records == 0 || h.last_ns < q->from_ns || h.first_ns >= q->to_ns ||
        !filter_terms_may_match(q->terms, in->idx.file_bloom, h.file_bloom_words)) {
        // Nothing of it is read: a directory of many thousand files must
        // not hold a descriptor for each.
        in->done = true;
        index_close(&in->idx);
        close(in->fd);
        in->fd = -1;
    }
}

bool input_next(input *in, const input_query *q)
{
    if (in->done)
        return false;
    if (in->kind == INPUT_PCAPNG)
        return next_pcapng(in, q);
    if (in->pending && !load_block(in))
        return false;
    if (!in->indexed && !map_file(in))
        return false;
    for (;;) {
        if (in->end - in->cur >= static_cast<ptrdiff_t>(kRecordHeader)) {
            uint32_t caplen = index_u32(in->cur + 8, in->flags);
            const uint8_t *next = in->cur + kRecordHeader + caplen;
            if (caplen > kMaxSnapLen && !in->indexed)
                return fail(in, "a damaged record",
                            in->kind == INPUT_PCAP ? static_cast<uint64_t>(in->cur - in->map)
                                                   : in->in_pos);
            if (caplen <= kMaxSnapLen && next <= in->end) {
                in->ns = index_record_ns(in->cur, in->flags);
                // As libpcap reads it: a record longer than the file's
                // snapshot length is cut to it.
                in->hdr.caplen = std::min(caplen, in->snaplen);
                in->hdr.len = index_u32(in->cur + 12, in->flags);
                in->data = in->cur + kRecordHeader;
                in->cur = next;
                if (selected(in, q))
                    return true;
                continue;
            }
        }
        if (!refill(in, q))
            return false;
        if (in->pending)
            return true;
    }
}

namespace {

// The whole records of buf's len bytes, in the file's byte order.
savefile_walk whole_records(const input *in, const uint8_t *buf, size_t len)
{
    return savefile_whole_records(buf, len, SIZE_MAX, (in->flags & INDEX_SWAPPED) != 0);
}

int not_indexed(const input *in, const char *why, uint64_t at)
{
    cannot("index %s: %s at byte %llu", in->path, why, static_cast<unsigned long long>(at));
    return 0;
}

// A compressed file frame by frame, each a block: frames with their
// content size, of whole records (the first after the file header).
int build_frames(input *in, index_builder *b)
{
    ZSTD_DCtx *z = in->zstd ? in->zstd : (in->zstd = ZSTD_createDCtx());
    for (uint64_t pos = 0; pos < in->size;) {
        size_t fsz = ZSTD_findFrameCompressedSize(in->map + pos, in->size - pos);
        if (ZSTD_isError(fsz))
            return not_indexed(in, "a cut or damaged frame", pos);
        unsigned long long need = ZSTD_getFrameContentSize(in->map + pos, fsz);
        if (need > kMaxFrame)
            return not_indexed(in, "a frame too large to index (or of unknown size)", pos);
        if (need > in->buf_cap) {
            free(in->buf);
            in->buf = static_cast<uint8_t *>(malloc(need));
            in->buf_cap = in->buf ? need : 0;
        }
        size_t got =
            z && in->buf ? ZSTD_decompressDCtx(z, in->buf, need, in->map + pos, fsz) : kNoMemory;
        size_t inner = pos == 0 ? kFileHeader : 0;
        if (ZSTD_isError(got) || got != need || got < inner)
            return not_indexed(in, "a damaged frame", pos);
        // A damaged length stops the walk before the frame's end too.
        if (inner + whole_records(in, in->buf + inner, got - inner).end != got)
            return not_indexed(in, "a frame that splits records", pos);
        if (got > inner)
            index_add_frame(b, pos, static_cast<uint32_t>(fsz), in->buf, got, inner);
        pos += fsz;
    }
    return 1;
}

// A plain file's records, every one whole, into b: 1, or 0 after its line.
int build_records(input *in, index_builder *b)
{
    savefile_walk whole = whole_records(in, in->map + kFileHeader, in->size - kFileHeader);
    size_t end = kFileHeader + whole.end;
    if (end != in->size)
        return not_indexed(in, whole.damaged ? "a damaged record" : "a cut record", end);
    index_add_records(b, in->map + kFileHeader, end - kFileHeader, kFileHeader);
    return 1;
}

} // namespace

int input_build_index(input *in)
{
    if (in->kind == INPUT_PCAPNG)
        return 0; // read whole: libpcap cannot start in the middle of one
    index_builder b;
    if (index_builder_init(&b) != 0)
        return cannot("index %s: out of memory", in->path);
    index_builder_start(&b, in->linktype, in->flags);
    int rc = !map_file(in)            ? -1
             : in->kind == INPUT_ZSTD ? build_frames(in, &b)
                                      : build_records(in, &b);
    if (rc == 1 && index_write(&b, in->path, in->fd, in->size) != 0)
        rc = cannot("write the index of %s: %s", in->path, strerror(errno));
    index_builder_free(&b);
    return rc;
}
