// extract_input.h - one savefile as trawlcap-extract reads it: its records
// in file order, through its index where it has a valid one, else whole.
#ifndef CAPTURE_EXTRACT_INPUT_H
#define CAPTURE_EXTRACT_INPUT_H

#include <pcap/pcap.h>

#include <cstddef>
#include <cstdint>

#include "extract.h"
#include "index.h"

typedef struct ZSTD_DCtx_s ZSTD_DCtx;

enum input_kind : uint32_t {
    INPUT_PCAP,   // read through a map of the file
    INPUT_ZSTD,   // frames of a pcap savefile, decoded into `buf`
    INPUT_PCAPNG, // read through libpcap, in microseconds as tcpdump reads it
};

// What an extraction asks of every input.
struct input_query {
    int64_t from_ns; // records stamped in [from_ns, to_ns)
    int64_t to_ns;
    const bpf_program *prog; // null: every record
    const filter_terms *terms;
};

struct input {
    char path[4096];
    uint32_t order; // its place in file-name order
    input_kind kind;
    int fd;
    uint64_t size;
    uint32_t flags; // INDEX_NANO, INDEX_SWAPPED, INDEX_COMPRESSED
    uint32_t linktype;
    uint32_t linktype_field; // as the header has it, with the FCS length bits
    uint32_t snaplen;
    const uint8_t *map; // INPUT_PCAP, INPUT_ZSTD: the whole file
    pcap_t *ng;         // INPUT_PCAPNG
    index_view idx;
    bool indexed;   // idx is valid and used
    uint32_t block; // indexed: the next block to consider
    // The records being read: [cur, end) of the map or of buf.
    const uint8_t *cur;
    const uint8_t *end;
    uint64_t in_pos; // the file offset reading goes on from (INPUT_PCAP, INPUT_ZSTD)
    ZSTD_DCtx *zstd; // INPUT_ZSTD
    uint8_t *buf;    // decoded bytes
    size_t buf_cap;
    size_t frame_left; // INPUT_ZSTD scan: 0 when the last frame decoded ended whole
    uint64_t *bloom;   // a block's filter, read
    size_t bloom_cap;
    // The head record: its stamp, header (native order) and bytes.
    int64_t ns;
    pcap_pkthdr hdr;
    const uint8_t *data;
    bool pending; // indexed: ns is only a lower bound, the next block's first stamp
    bool done;
    bool failed; // said once: cut or damaged
};

// Opens path: 0, or -1 after its "Cannot" line; 1 when it is not a
// savefile (a directory's other files are passed over).
int input_open(input *in, const char *path, bool quiet_if_not_savefile);
void input_close(input *in);
// Takes its index when it has a valid one (and the query can use it); a
// file its index rules out is closed at once, and never mapped.
void input_use_index(input *in, const input_query *q);
// Moves to the next record the query selects: false at the end of the file
// (or where it is cut or damaged: said once, `failed` set).
bool input_next(input *in, const input_query *q);
// Builds and writes the file's index from its records: 1 written, 0 the
// file cannot have one (said), -1 failure (said).
int input_build_index(input *in);

#endif // CAPTURE_EXTRACT_INPUT_H
