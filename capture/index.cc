// The index beside a savefile: building it from records, writing it,
// reading it back (see index.h for the format).
#include "index.h"
#include "savefile.h"

#include <fcntl.h>
#include <pcap/dlt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr uint32_t kSlots = 2 * kIndexBlockTerms;
// The table starts this small and doubles when half full, so that a block
// of a few thousand keys keeps its lookups in the caches.
constexpr uint32_t kFirstSlots = 4096;

uint16_t be16(const uint8_t *p)
{
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

uint64_t be32(const uint8_t *p)
{
    return uint64_t{p[0]} << 24 | uint64_t{p[1]} << 16 | uint64_t{p[2]} << 8 | p[3];
}

// The finaliser of MurmurHash3: every input bit reaches every output bit.
uint64_t mix(uint64_t h)
{
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdULL;
    h ^= h >> 33;
    h *= 0xc4ceb9fe1a85ec53ULL;
    return h ^ (h >> 33);
}

bool is_vlan_type(uint16_t type)
{
    return type == 0x8100 || type == 0x88a8 || type == 0x9100;
}

bool has_ports(uint8_t proto)
{
    return proto == 6 || proto == 17 || proto == 132;
}

struct terms_out {
    uint64_t *out;
    size_t n;
};

// A key as the record gives it: its type and value side by side, hashed
// (index_term) only when it is new to the block.
uint64_t raw(index_term_type type, uint64_t value)
{
    return uint64_t{type} << 56 ^ value;
}

// An IPv6 address folded to 64 bits; the fold is a hash already.
uint64_t raw_ipv6(const uint8_t *addr)
{
    uint64_t hi;
    uint64_t lo;
    memcpy(&hi, addr, 8);
    memcpy(&lo, addr + 8, 8);
    return mix(mix(uint64_t{TERM_IPV6} << 56 ^ hi) ^ lo);
}

void emit(terms_out *t, uint64_t term)
{
    if (t->n < kMaxRecordTerms)
        t->out[t->n++] = term;
}

void emit_ports(terms_out *t, const uint8_t *p, size_t len, size_t off)
{
    if (off + 4 > len)
        return;
    emit(t, raw(TERM_PORT, be16(p + off)));
    emit(t, raw(TERM_PORT, be16(p + off + 2)));
}

// The fields a filter reads where it reads them, checked no further than
// the filter checks them (header length, version, checksum are taken as
// they are), so that the keys are a superset of what any filter matches.
void ipv4_terms(terms_out *t, const uint8_t *p, size_t len)
{
    if (len > 9)
        emit(t, raw(TERM_PROTO, p[9]));
    if (len >= 16)
        emit(t, raw(TERM_IPV4, be32(p + 12)));
    if (len >= 20)
        emit(t, raw(TERM_IPV4, be32(p + 16)));
    if (len > 9 && has_ports(p[9]) && (be16(p + 6) & 0x1fff) == 0)
        emit_ports(t, p, len, (p[0] & 0xfu) * 4u);
}

// The next header at offset 6 and the ports right after the fixed header,
// as a filter reads them; then the chain of extension headers walked, each
// next header and the ports after the last one kept too.
void ipv6_terms(terms_out *t, const uint8_t *p, size_t len)
{
    if (len <= 6)
        return;
    uint8_t next = p[6];
    emit(t, raw(TERM_PROTO, next));
    if (len >= 24)
        emit(t, raw_ipv6(p + 8));
    if (len >= 40)
        emit(t, raw_ipv6(p + 24));
    if (has_ports(next))
        emit_ports(t, p, len, 40);
    size_t off = 40;
    for (int depth = 0; depth < 8 && off + 8 <= len; depth++) {
        uint8_t after = p[off];
        if (next == 44) { // fragment: a later fragment carries no ports
            emit(t, raw(TERM_PROTO, after));
            if ((be16(p + off + 2) & 0xfff8) != 0)
                return;
            off += 8;
        } else if (next == 0 || next == 43 || next == 60 || next == 51) {
            emit(t, raw(TERM_PROTO, after));
            off += next == 51 ? (p[off + 1] + 2u) * 4u : (p[off + 1] + 1u) * 8u;
        } else {
            break;
        }
        next = after;
        if (has_ports(next))
            emit_ports(t, p, len, off);
    }
}

// ARP and RARP: a host filter reads the sender's and the target's
// protocol address at fixed offsets, whatever the lengths say.
void arp_terms(terms_out *t, const uint8_t *p, size_t len)
{
    if (len >= 18)
        emit(t, raw(TERM_IPV4, be32(p + 14)));
    if (len >= 28)
        emit(t, raw(TERM_IPV4, be32(p + 24)));
}

void network_terms(terms_out *t, uint16_t type, const uint8_t *p, size_t len)
{
    emit(t, raw(TERM_ETHERTYPE, type));
    if (type == 0x0800)
        ipv4_terms(t, p, len);
    else if (type == 0x86dd)
        ipv6_terms(t, p, len);
    else if (type == 0x0806 || type == 0x8035)
        arp_terms(t, p, len);
}

// A stack of VLAN tags: every tag's type and id; the offset after it.
size_t vlan_terms(terms_out *t, const uint8_t *p, size_t len, size_t off, uint16_t *type)
{
    for (int depth = 0; depth < 8 && is_vlan_type(*type) && off + 4 <= len; depth++) {
        emit(t, raw(TERM_ETHERTYPE, *type));
        emit(t, raw(TERM_VLAN, be16(p + off) & 0x0fffu));
        emit(t, raw(TERM_VLAN_ANY, 0));
        *type = be16(p + off + 2);
        off += 4;
    }
    return off;
}

} // namespace

uint64_t index_term(index_term_type type, uint64_t value)
{
    return mix(raw(type, value));
}

uint64_t index_term_ipv6(const uint8_t *addr)
{
    return mix(raw_ipv6(addr));
}

bool index_link_known(uint32_t linktype)
{
    switch (linktype) {
    case DLT_EN10MB:
    case kLinktypeRaw:
    case DLT_IPV4:
    case DLT_IPV6:
    case DLT_LINUX_SLL:
    case DLT_LINUX_SLL2:
        return true;
    default:
        return false;
    }
}

size_t index_record_terms(uint32_t linktype, const uint8_t *p, size_t len, uint64_t *out)
{
    terms_out t{out, 0};
    uint16_t type = 0;
    size_t off = 0;
    if (linktype == DLT_EN10MB || linktype == DLT_LINUX_SLL) {
        size_t head = linktype == DLT_EN10MB ? 14 : 16;
        if (len < head)
            return 0;
        type = be16(p + head - 2);
        off = vlan_terms(&t, p, len, head, &type);
    } else if (linktype == DLT_LINUX_SLL2) {
        if (len < 20)
            return 0;
        type = be16(p);
        off = vlan_terms(&t, p, len, 20, &type);
    } else if (len > 0) { // raw IP: the version says which
        type = (p[0] >> 4) == 4 ? 0x0800 : (p[0] >> 4) == 6 ? 0x86dd : 0;
    }
    if (off <= len)
        network_terms(&t, type, p + off, len - off);
    return t.n;
}

uint32_t index_u32(const uint8_t *p, uint32_t flags)
{
    uint32_t v;
    memcpy(&v, p, sizeof v);
    return flags & INDEX_SWAPPED ? __builtin_bswap32(v) : v;
}

int64_t index_record_ns(const uint8_t *hdr, uint32_t flags)
{
    int64_t sec = index_u32(hdr, flags);
    int64_t frac = index_u32(hdr + 4, flags);
    return sec * 1000000000LL + (flags & INDEX_NANO ? frac : frac * 1000);
}

uint64_t index_sum(const uint8_t *p, size_t len, uint64_t sum)
{
    // Eight bytes a step (a query checks every index's table and filter);
    // the multiplier is odd, so no change of one word cancels out.
    uint64_t h = sum ? sum : 0xcbf29ce484222325ULL;
    size_t i = 0;
    for (; i + 8 <= len; i += 8) {
        uint64_t w;
        memcpy(&w, p + i, sizeof w);
        h = (h ^ w) * 0x9e3779b97f4a7c15ULL;
        h ^= h >> 29;
    }
    for (; i < len; i++)
        h = (h ^ p[i]) * 0x100000001b3ULL;
    return h;
}

int index_data_sum(int fd, uint64_t size, uint64_t *sum)
{
    uint8_t buf[kIndexSumBytes];
    size_t len = static_cast<size_t>(std::min<uint64_t>(size, sizeof buf));
    ssize_t n = pread(fd, buf, len, static_cast<off_t>(size - len));
    if (n < 0 || static_cast<size_t>(n) != len)
        return -1;
    uint8_t sz[8];
    memcpy(sz, &size, sizeof sz);
    *sum = index_sum(buf, len, index_sum(sz, sizeof sz, 0));
    return 0;
}

namespace {

uint32_t bloom_words_for(size_t terms)
{
    return static_cast<uint32_t>((terms * kBloomBitsPerTerm + 63) / 64);
}

void bloom_add(uint64_t *words, uint32_t nr_words, uint64_t term)
{
    uint64_t bits = uint64_t{nr_words} * 64;
    uint64_t h1 = term & 0xffffffffu;
    uint64_t h2 = (term >> 32) | 1;
    for (uint32_t i = 0; i < kBloomProbes; i++) {
        uint64_t bit = (h1 + i * h2) % bits;
        words[bit / 64] |= uint64_t{1} << (bit % 64);
    }
}

template <typename T>
bool grow(T **array, size_t *cap, size_t need)
{
    if (need <= *cap)
        return true;
    size_t cap2 = std::max(need, *cap * 2 + 64);
    void *p = realloc(*array, cap2 * sizeof(T));
    if (!p)
        return false;
    *array = static_cast<T *>(p);
    *cap = cap2;
    return true;
}

// The slot of key in the table: where it is, or the empty one it goes in.
uint64_t *slot_of(index_builder *b, uint64_t key)
{
    uint32_t mask = b->slot_mask;
    uint32_t i = static_cast<uint32_t>(key) & mask;
    while (b->slots[i] != key && b->slots[i] != 0)
        i = (i + 1) & mask;
    return &b->slots[i];
}

// The table at twice its size, holding the current block's keys.
void double_table(index_builder *b)
{
    b->slot_mask = b->slot_mask * 2 + 1;
    memset(b->slots, 0, (b->slot_mask + 1) * sizeof(uint64_t));
    for (size_t i = b->cur_terms; i < b->nr_terms; i++)
        *slot_of(b, b->terms[i]) = b->terms[i];
}

// Adds a key to the current block unless it has it already.
void add_term(index_builder *b, uint64_t term)
{
    if (b->saturated)
        return;
    uint64_t key = term ? term : 1; // 0 marks an empty slot
    uint64_t *slot = slot_of(b, key);
    if (*slot == key)
        return;
    size_t held = b->nr_terms - b->cur_terms;
    if (held >= kIndexBlockTerms || !grow(&b->terms, &b->terms_cap, b->nr_terms + 1)) {
        b->saturated = 1;
        return;
    }
    b->terms[b->nr_terms++] = key;
    if (2 * (held + 1) > b->slot_mask + 1)
        double_table(b);
    else
        *slot = key;
}

// The current block is complete: its keys leave the table (only the slots
// they took are cleared, not the whole table). Each is found by probing
// past every other slot, cleared or not: the table is empty at the end, so
// no cluster needs mending.
void end_block(index_builder *b)
{
    if (b->cur.records == 0)
        return;
    for (size_t i = b->cur_terms; i < b->nr_terms; i++) {
        uint32_t s = static_cast<uint32_t>(b->terms[i]) & b->slot_mask;
        while (b->slots[s] != b->terms[i])
            s = (s + 1) & b->slot_mask;
        b->slots[s] = 0;
    }
    if (b->saturated) {
        b->nr_terms = b->cur_terms;
        b->cur.bloom_words = UINT32_MAX; // no filter: marked until written
    } else {
        b->cur.bloom_words = static_cast<uint32_t>(b->nr_terms - b->cur_terms);
    }
    if (!grow(&b->blocks, &b->blocks_cap, b->nr_blocks + 1))
        b->failed = 1;
    else
        b->blocks[b->nr_blocks++] = b->cur;
    b->cur = index_block{};
    b->cur_terms = b->nr_terms;
    b->saturated = 0;
    memset(b->recent, 0, sizeof b->recent);
}

void add_record(index_builder *b, const uint8_t *rec)
{
    uint32_t caplen = index_u32(rec + 8, b->flags);
    int64_t ns = index_record_ns(rec, b->flags);
    index_block &c = b->cur;
    c.first_ns = c.records == 0 ? ns : std::min(c.first_ns, ns);
    c.last_ns = c.records == 0 ? ns : std::max(c.last_ns, ns);
    b->first_ns = b->records == 0 ? ns : std::min(b->first_ns, ns);
    b->last_ns = b->records == 0 ? ns : std::max(b->last_ns, ns);
    c.records++;
    b->records++;
    if (!(b->flags & INDEX_KEYS))
        return;
    uint64_t terms[kMaxRecordTerms];
    size_t n = index_record_terms(b->linktype, rec + kRecordHeader, caplen, terms);
    // Most records repeat a flow the block has: their keys are in already.
    uint64_t flow = n;
    for (size_t i = 0; i < n; i++)
        flow = (flow ^ terms[i]) * 0x9e3779b97f4a7c15ULL;
    flow = mix(flow);
    uint64_t &seen = b->recent[flow % kRecentFlows];
    if (seen == flow)
        return;
    for (size_t i = 0; i < n; i++)
        add_term(b, mix(terms[i]));
    seen = b->saturated ? 0 : flow;
}

} // namespace

int index_builder_init(index_builder *b)
{
    *b = index_builder{};
    b->slots = static_cast<uint64_t *>(calloc(kSlots, sizeof(uint64_t)));
    b->slot_mask = kFirstSlots - 1;
    if (!b->slots) {
        errno = ENOMEM;
        return -1;
    }
    return 0;
}

void index_builder_free(index_builder *b)
{
    free(b->slots);
    free(b->terms);
    free(b->blocks);
    *b = index_builder{};
}

void index_builder_start(index_builder *b, uint32_t linktype, uint32_t flags)
{
    if (b->cur.records)
        end_block(b); // the last file's unfinished block: its keys leave the table
    b->linktype = linktype;
    b->flags = flags & ~uint32_t{INDEX_KEYS};
    if (index_link_known(linktype))
        b->flags |= INDEX_KEYS;
    b->nr_terms = b->cur_terms = 0;
    b->nr_blocks = 0;
    b->cur = index_block{};
    b->saturated = b->failed = 0;
    memset(b->recent, 0, sizeof b->recent);
    b->records = 0;
    b->first_ns = b->last_ns = 0;
}

void index_prefetch(const uint8_t *const *runs, size_t n, const uint8_t *end)
{
    const uint8_t *at[kPrefetchRuns];
    const uint8_t *stop[kPrefetchRuns];
    n = std::min(n, kPrefetchRuns);
    for (size_t i = 0; i < n; i++) {
        at[i] = runs[i];
        stop[i] = i + 1 < n ? runs[i + 1] : end;
    }
    for (size_t active = n; active;) {
        active = 0;
        for (size_t i = 0; i < n; i++) {
            if (at[i] + kRecordHeader > stop[i])
                continue;
            uint32_t caplen;
            memcpy(&caplen, at[i] + 8, sizeof caplen);
            __builtin_prefetch(at[i] + 64);
            at[i] += kRecordHeader + caplen;
            active++;
        }
    }
}

void index_add_records(index_builder *b, const uint8_t *recs, size_t len, uint64_t pos)
{
    for (size_t off = 0; off + kRecordHeader <= len;) {
        size_t rec = kRecordHeader + index_u32(recs + off + 8, b->flags);
        if (off + rec > len)
            break;
        if (b->cur.records && b->cur.length + rec > kIndexBlockBytes)
            end_block(b);
        if (b->cur.records == 0)
            b->cur.pos = pos + off;
        b->cur.length += static_cast<uint32_t>(rec);
        add_record(b, recs + off);
        off += rec;
    }
}

void index_add_frame(index_builder *b, uint64_t pos, uint32_t length, const uint8_t *recs,
                     size_t len, size_t inner)
{
    end_block(b);
    b->cur.pos = pos;
    b->cur.length = length;
    b->cur.inner = static_cast<uint32_t>(inner);
    for (size_t off = inner; off + kRecordHeader <= len;) {
        size_t rec = kRecordHeader + index_u32(recs + off + 8, b->flags);
        if (off + rec > len)
            break;
        add_record(b, recs + off);
        off += rec;
    }
    if (b->cur.records)
        end_block(b);
    else
        b->cur = index_block{};
}

namespace {

// How many distinct keys the blocks' lists hold (a key of several blocks
// is in each): estimated by linear counting over a bitmap of kCountBits,
// exact enough to size a filter, and far cheaper than sorting the lists.
// Past what the bitmap can tell, the lists' length (an upper bound).
constexpr uint32_t kCountBits = uint32_t{1} << 18;
size_t distinct_terms(const index_builder *b)
{
    auto *bits = static_cast<uint64_t *>(calloc(kCountBits / 64, sizeof(uint64_t)));
    if (!bits)
        return b->nr_terms;
    for (size_t i = 0; i < b->nr_terms; i++) {
        uint32_t bit = static_cast<uint32_t>(b->terms[i] >> 46) & (kCountBits - 1);
        bits[bit / 64] |= uint64_t{1} << (bit % 64);
    }
    size_t zeros = 0;
    for (uint32_t w = 0; w < kCountBits / 64; w++)
        zeros += 64 - static_cast<size_t>(__builtin_popcountll(bits[w]));
    free(bits);
    if (zeros < kCountBits / 64)
        return b->nr_terms;
    double n = -static_cast<double>(kCountBits) * log(static_cast<double>(zeros) / kCountBits);
    return std::min(b->nr_terms, static_cast<size_t>(n * 1.05) + 1);
}

// The file's filter: every key of every block, sized by their distinct count.
uint64_t *file_bloom(const index_builder *b, uint32_t *words)
{
    *words = std::max<uint32_t>(1, bloom_words_for(distinct_terms(b)));
    uint64_t *bloom = static_cast<uint64_t *>(calloc(*words, sizeof(uint64_t)));
    for (size_t i = 0; bloom && i < b->nr_terms; i++)
        bloom_add(bloom, *words, b->terms[i]);
    return bloom;
}

bool write_all(int fd, const void *p, size_t len)
{
    const auto *c = static_cast<const uint8_t *>(p);
    while (len) {
        ssize_t n = write(fd, c, len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            errno = n < 0 ? errno : EIO;
            return false;
        }
        c += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

// The blocks' filters after the file's, each sized by its own keys; the
// table then says where each lies. A block that gave up its filter has none.
bool write_blooms(index_builder *b, int fd, uint64_t off)
{
    size_t term = 0;
    uint64_t *bloom = nullptr;
    size_t cap = 0;
    bool ok = true;
    for (size_t i = 0; ok && i < b->nr_blocks; i++) {
        index_block &blk = b->blocks[i];
        if (blk.bloom_words == UINT32_MAX || !(b->flags & INDEX_KEYS)) {
            blk.bloom_words = 0;
            continue;
        }
        size_t n = blk.bloom_words;
        blk.bloom_words = std::max<uint32_t>(1, bloom_words_for(n));
        ok = grow(&bloom, &cap, blk.bloom_words);
        if (!ok)
            break;
        memset(bloom, 0, blk.bloom_words * sizeof(uint64_t));
        for (size_t k = 0; k < n; k++)
            bloom_add(bloom, blk.bloom_words, b->terms[term + k]);
        term += n;
        blk.bloom_off = off;
        blk.bloom_sum = index_sum(reinterpret_cast<uint8_t *>(bloom), blk.bloom_words * 8, 0);
        ok = write_all(fd, bloom, blk.bloom_words * sizeof(uint64_t));
        off += blk.bloom_words * sizeof(uint64_t);
    }
    free(bloom);
    return ok;
}

// Everything after the header, then the header with the checksums of all.
bool write_body(index_builder *b, int fd, index_header *h)
{
    uint64_t *fbloom = nullptr;
    h->file_bloom_words = 0;
    if (b->flags & INDEX_KEYS) {
        fbloom = file_bloom(b, &h->file_bloom_words);
        if (!fbloom)
            return errno = ENOMEM, false;
    }
    size_t table = b->nr_blocks * sizeof(index_block);
    uint64_t fbloom_bytes = uint64_t{h->file_bloom_words} * 8;
    uint64_t off = kIndexHeaderSize + table;
    bool ok = lseek(fd, static_cast<off_t>(off), SEEK_SET) >= 0 &&
              write_all(fd, fbloom, fbloom_bytes) && write_blooms(b, fd, off + fbloom_bytes);
    h->file_bloom_sum = index_sum(reinterpret_cast<uint8_t *>(fbloom), fbloom_bytes, 0);
    free(fbloom);
    h->table_sum = index_sum(reinterpret_cast<uint8_t *>(b->blocks), table, 0);
    h->header_sum =
        index_sum(reinterpret_cast<uint8_t *>(h), offsetof(index_header, header_sum), 0);
    return ok && lseek(fd, 0, SEEK_SET) == 0 && write_all(fd, h, sizeof *h) &&
           write_all(fd, b->blocks, table);
}

} // namespace

int index_file_name(const char *data_path, char *out, size_t out_size)
{
    return snprintf(out, out_size, "%s%s", data_path, kIndexSuffix);
}

int index_write(index_builder *b, const char *data_path, int fd, uint64_t size)
{
    end_block(b);
    index_header h{};
    memcpy(h.magic, kIndexMagic, sizeof h.magic);
    h.version = kIndexVersion;
    h.flags = b->flags;
    h.linktype = b->linktype;
    h.nr_blocks = static_cast<uint32_t>(b->nr_blocks);
    h.file_size = size;
    h.records = b->records;
    h.first_ns = b->first_ns;
    h.last_ns = b->last_ns;
    if (b->failed) {
        errno = ENOMEM;
        return -1;
    }
    if (index_data_sum(fd, size, &h.file_sum) != 0)
        return -1;
    char tmp[PATH_MAX];
    char final_name[PATH_MAX];
    if (index_file_name(data_path, final_name, sizeof final_name) >=
            static_cast<int>(sizeof final_name) ||
        snprintf(tmp, sizeof tmp, "%s.XXXXXX", final_name) >= static_cast<int>(sizeof tmp)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    int out = mkostemp(tmp, O_CLOEXEC);
    if (out < 0)
        return -1;
    bool ok = write_body(b, out, &h) && fchmod(out, 0644) == 0;
    int err = errno;
    if (close(out) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (ok && rename(tmp, final_name) == 0)
        return 0;
    err = ok ? errno : err;
    unlink(tmp);
    errno = err;
    return -1;
}

bool index_bloom_has(const uint64_t *words, uint32_t nr_words, uint64_t term)
{
    uint64_t bits = uint64_t{nr_words} * 64;
    uint64_t h1 = term & 0xffffffffu;
    uint64_t h2 = (term >> 32) | 1;
    for (uint32_t i = 0; i < kBloomProbes; i++) {
        uint64_t bit = (h1 + i * h2) % bits;
        if (!(words[bit / 64] & (uint64_t{1} << (bit % 64))))
            return false;
    }
    return true;
}

namespace {

bool read_at(int fd, void *p, size_t len, uint64_t off)
{
    auto *c = static_cast<uint8_t *>(p);
    while (len) {
        ssize_t n = pread(fd, c, len, static_cast<off_t>(off));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        c += n;
        off += static_cast<uint64_t>(n);
        len -= static_cast<size_t>(n);
    }
    return true;
}

// The header is the index of this very file, and whole.
bool header_valid(const index_header &h, int data_fd, uint64_t size, uint64_t idx_size)
{
    uint64_t sum = 0;
    uint64_t table = uint64_t{h.nr_blocks} * sizeof(index_block);
    return memcmp(h.magic, kIndexMagic, sizeof h.magic) == 0 && h.version == kIndexVersion &&
           h.header_sum == index_sum(reinterpret_cast<const uint8_t *>(&h),
                                     offsetof(index_header, header_sum), 0) &&
           h.file_size == size &&
           kIndexHeaderSize + table + h.file_bloom_words * 8ull <= idx_size &&
           index_data_sum(data_fd, size, &sum) == 0 && sum == h.file_sum;
}

} // namespace

namespace {

// The table and the file's filter of an index whose header is valid, into
// the view, with one read (they lie one after the other); checked against
// their sums and the data file's size. The blocks' filters, most of the
// index, are read only as a query asks for them.
bool load_view(index_view *v, uint64_t size, uint64_t idx_size)
{
    size_t table = v->h.nr_blocks * sizeof(index_block);
    size_t fbytes = v->h.file_bloom_words * size_t{8};
    auto *both = static_cast<uint8_t *>(malloc(table + fbytes + 8));
    v->blocks = static_cast<index_block *>(malloc(table + 1));
    v->file_bloom = static_cast<uint64_t *>(malloc(fbytes + 8));
    bool ok = both && v->blocks && v->file_bloom &&
              read_at(v->fd, both, table + fbytes, kIndexHeaderSize) &&
              index_sum(both, table, 0) == v->h.table_sum &&
              index_sum(both + table, fbytes, 0) == v->h.file_bloom_sum;
    if (ok) {
        memcpy(v->blocks, both, table);
        memcpy(v->file_bloom, both + table, fbytes);
    }
    free(both);
    // Every block lies in the data file, and its filter in the index.
    for (uint32_t i = 0; ok && i < v->h.nr_blocks; i++) {
        const index_block &b = v->blocks[i];
        ok = b.records > 0 && b.pos < size && b.length <= size - b.pos && b.bloom_off <= idx_size &&
             b.bloom_words <= (idx_size - b.bloom_off) / 8;
    }
    return ok;
}

} // namespace

int index_open(const char *data_path, int data_fd, uint64_t size, index_view *v)
{
    *v = index_view{};
    v->fd = -1;
    char name[PATH_MAX];
    if (index_file_name(data_path, name, sizeof name) >= static_cast<int>(sizeof name))
        return 0;
    int fd = open(name, O_RDONLY | O_CLOEXEC);
    struct stat st;
    v->fd = fd;
    // A query reads an index's head and a few of its filters: no read-ahead
    // of the rest.
    if (fd >= 0)
        posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM);
    bool ok = fd >= 0 && fstat(fd, &st) == 0 && read_at(fd, &v->h, sizeof v->h, 0) &&
              header_valid(v->h, data_fd, size, static_cast<uint64_t>(st.st_size)) &&
              load_view(v, size, static_cast<uint64_t>(st.st_size));
    if (!ok) {
        index_close(v);
        return 0;
    }
    return 1;
}

void index_close(index_view *v)
{
    if (v->fd >= 0)
        close(v->fd);
    free(v->blocks);
    free(v->file_bloom);
    *v = index_view{};
    v->fd = -1;
}

const uint64_t *index_block_bloom(index_view *v, uint32_t i, uint32_t *words, uint64_t **buf,
                                  size_t *buf_cap)
{
    const index_block &b = v->blocks[i];
    *words = 0;
    if (b.bloom_words == 0 || !(v->h.flags & INDEX_KEYS) || !grow(buf, buf_cap, b.bloom_words) ||
        !read_at(v->fd, *buf, b.bloom_words * size_t{8}, b.bloom_off) ||
        index_sum(reinterpret_cast<uint8_t *>(*buf), b.bloom_words * size_t{8}, 0) != b.bloom_sum)
        return nullptr;
    *words = b.bloom_words;
    return *buf;
}
