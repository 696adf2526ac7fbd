// index.h - the index beside a savefile (FILE.idx): which blocks of the
// file hold which span of time and which flow keys, so that a reader of
// the file (trawlcap-extract) skips the blocks that cannot hold what it
// looks for. Written by trawlcap's writers as each file closes, and by
// trawlcap-extract --index for files that have none.
//
// The file, little-endian, all in one go:
//   index_header                 (kIndexHeaderSize bytes)
//   index_block[nr_blocks]       where each block lies, its records and times
//   file bloom[file_bloom_words] every flow key of the whole file
//   block blooms                 every flow key of each block, block after block
// A flow key (a "term": an address, a port, a protocol, an ether type, a
// VLAN id) is kept as a 64-bit hash in Bloom filters of about
// kBloomBitsPerTerm bits per distinct key, never as itself: a block of
// records that repeat a few hundred keys costs a few hundred bytes. A
// reader asks the file's filter first and reads a block's only when that
// one may match, and each filter carries its own checksum, so that a
// damaged part is never trusted. The index names the file it describes
// by its size and a checksum of its last bytes: an index whose file grew,
// shrank or was rewritten is stale and never used.
#ifndef CAPTURE_INDEX_H
#define CAPTURE_INDEX_H

#include <cstddef>
#include <cstdint>

constexpr char kIndexSuffix[] = ".idx";
constexpr char kIndexMagic[8] = {'T', 'R', 'W', 'L', 'I', 'D', 'X', '\0'};
constexpr uint32_t kIndexVersion = 1;
// A block of a plain file holds records of about this many bytes; a
// compressed file's block is one of its frames.
constexpr size_t kIndexBlockBytes = size_t{1} << 20;
constexpr uint32_t kBloomBitsPerTerm = 10;
constexpr uint32_t kBloomProbes = 5;
// The bytes at the end of the data file the index's checksum of it covers.
constexpr size_t kIndexSumBytes = 4096;
// Distinct keys one block may have before its filter is given up (the
// block is then always read): the builder's table holds twice as many.
constexpr uint32_t kIndexBlockTerms = uint32_t{1} << 15;
// Records of a flow seen in the block are recognised by the hash of all
// their keys in a small table, so that each flow's keys are added once.
constexpr uint32_t kRecentFlows = 1024;
// Keys one record may give (VLAN stacks and IPv6 header chains are walked
// only so far).
constexpr size_t kMaxRecordTerms = 48;

enum index_flags : uint32_t {
    INDEX_COMPRESSED = 1, // a block is a zstd frame; `inner` is inside the decoded frame
    INDEX_KEYS = 2,       // the link type's keys are known: the filters may be asked
    INDEX_NANO = 4,       // the data file's stamps are in nanoseconds
    INDEX_SWAPPED = 8,    // the data file's record headers are in the other byte order
};

struct index_header {
    char magic[8];
    uint32_t version;
    uint32_t flags;
    uint32_t linktype;
    uint32_t nr_blocks;
    uint64_t file_size; // the data file's size when it was indexed
    uint64_t file_sum;  // index_data_sum of the data file
    uint64_t records;
    int64_t first_ns; // the earliest and latest record stamps (ns since the epoch)
    int64_t last_ns;
    uint32_t file_bloom_words; // 0: no filter, every block may match
    uint32_t reserved;
    uint64_t file_bloom_sum;
    uint64_t table_sum;  // of the block table
    uint64_t header_sum; // of the bytes above
};
constexpr size_t kIndexHeaderSize = sizeof(index_header);
static_assert(kIndexHeaderSize == 96);

struct index_block {
    uint64_t pos;         // plain: the first record's offset; compressed: the frame's offset
    uint32_t inner;       // compressed: the first record's offset in the decoded frame
    uint32_t length;      // plain: the records' bytes; compressed: the frame's bytes in the file
    uint32_t records;     // at least 1
    uint32_t bloom_words; // 0: no filter, the block may hold anything
    uint64_t bloom_off;   // where the block's filter lies in the index
    int64_t first_ns;     // the earliest and latest of its stamps
    int64_t last_ns;
    uint64_t bloom_sum;
};
static_assert(sizeof(index_block) == 56);

// Builds the index of one data file at a time, from its records in order.
// The writer of a file owns one and feeds it what it writes; its memory is
// taken once, at index_builder_init, and grows only with the file's
// blocks and distinct keys.
struct index_builder {
    uint32_t linktype;
    uint32_t flags;
    uint64_t *slots;    // open addressing: the current block's keys, at most half full
    uint32_t slot_mask; // the slots in use, less one (a power of two less one)
    uint64_t *terms;    // every block's distinct keys, block after block
    size_t nr_terms;
    size_t terms_cap;
    index_block *blocks;
    size_t nr_blocks;
    size_t blocks_cap;
    index_block cur;               // the block being filled (cur.records 0: none)
    size_t cur_terms;              // where its keys start in `terms`
    uint64_t recent[kRecentFlows]; // the block's flows, by the hash of their keys
    uint32_t saturated;
    uint32_t failed; // memory ran out: no index is written for this file
    uint64_t records;
    int64_t first_ns;
    int64_t last_ns;
};

// DATA.idx, the index of a data file: the length of the name, as snprintf.
int index_file_name(const char *data_path, char *out, size_t out_size);
// -1 with errno ENOMEM.
int index_builder_init(index_builder *b);
void index_builder_free(index_builder *b);
// A new data file of this link type (flags: INDEX_COMPRESSED, INDEX_NANO,
// INDEX_SWAPPED; INDEX_KEYS is set here when the link type is known).
void index_builder_start(index_builder *b, uint32_t linktype, uint32_t flags);
// Brings the first bytes of each record of runs[0] .. runs[n] (each run
// starts on a record and ends where the next starts; the last ends at
// `end`) into the cache, the runs side by side: each record's header says
// where the next one is, so one run alone waits for every line in turn,
// while n runs wait for n at once. Called before index_add_records on
// records the cache no longer holds.
constexpr size_t kPrefetchRuns = 16;
void index_prefetch(const uint8_t *const *runs, size_t n, const uint8_t *end);
// The whole records in [recs, recs + len) lie in a plain file from offset pos.
void index_add_records(index_builder *b, const uint8_t *recs, size_t len, uint64_t pos);
// One compressed frame of `length` bytes at file offset pos, which decodes
// to recs[0, len): records from offset `inner` on.
void index_add_frame(index_builder *b, uint64_t pos, uint32_t length, const uint8_t *recs,
                     size_t len, size_t inner);
// Writes DATA.idx for the data file (descriptor fd, `size` bytes) by
// way of a temporary file renamed into place. -1 with errno.
int index_write(index_builder *b, const char *data_path, int fd, uint64_t size);

// A record's stamp in ns, from its header (in the file's byte order).
int64_t index_record_ns(const uint8_t *hdr, uint32_t flags);
uint32_t index_u32(const uint8_t *p, uint32_t flags); // a header field in the file's order
// The keys of one packet of this link type into out (kMaxRecordTerms),
// as type and value side by side: index_term's hash of each is what the
// filters hold. Their number.
size_t index_record_terms(uint32_t linktype, const uint8_t *pkt, size_t caplen, uint64_t *out);
// Link types are those savefiles hold (LINKTYPE_*), which are libpcap's
// DLT_* values but for raw IP.
constexpr uint32_t kLinktypeRaw = 101;
// Whether the link type's keys are known (EN10MB, RAW, IPV4, IPV6, SLL, SLL2).
bool index_link_known(uint32_t linktype);

// The hash of one key, as the index keeps it.
enum index_term_type : uint64_t {
    TERM_IPV4 = 1,
    TERM_IPV6 = 2,
    TERM_PORT = 3,  // a TCP, UDP or SCTP port, source or destination
    TERM_PROTO = 4, // an IP protocol or IPv6 next header anywhere in the chain
    TERM_ETHERTYPE = 5,
    TERM_VLAN = 6, // a VLAN id, in any tag of the stack
    TERM_VLAN_ANY = 7,
};
uint64_t index_term(index_term_type type, uint64_t value);
uint64_t index_term_ipv6(const uint8_t *addr);
bool index_bloom_has(const uint64_t *words, uint32_t nr_words, uint64_t term);
// A checksum (64 bits, eight bytes a step) of len bytes, continuing from
// sum (start: 0).
uint64_t index_sum(const uint8_t *p, size_t len, uint64_t sum);
// The data file's checksum as the index keeps it: its last kIndexSumBytes
// and its size. -1 when they could not be read.
int index_data_sum(int fd, uint64_t size, uint64_t *sum);

// An index as a reader uses it: header, block table and file filter read
// and checked; the block filters are read one by one as they are asked.
struct index_view {
    index_header h;
    index_block *blocks;
    uint64_t *file_bloom;
    int fd;
};
// Opens DATA.idx for the data file (descriptor fd, `size` bytes): 1 when
// it is there, whole and of this very file; 0 when there is none, or it is
// stale or damaged (the file is then read whole). Never prints.
int index_open(const char *data_path, int fd, uint64_t size, index_view *v);
void index_close(index_view *v);
// Block i's filter, read and checked, into a buffer of the view's (valid
// until the next call); null when the block has none or it is damaged
// (the block is then read), with *words 0.
const uint64_t *index_block_bloom(index_view *v, uint32_t i, uint32_t *words, uint64_t **buf,
                                  size_t *buf_cap);

#endif // CAPTURE_INDEX_H
