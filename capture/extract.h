// extract.h - trawlcap-extract's parts: what a filter expression needs of
// an index's keys, and the savefiles it reads.
#ifndef CAPTURE_EXTRACT_H
#define CAPTURE_EXTRACT_H

#include <cstddef>
#include <cstdint>

// What a filter expression needs of a block's keys: a tree of keys joined
// by and/or, where anything the index cannot answer (a negation, a
// length, a byte of the payload, a name to resolve) is "may match". It
// is a necessary condition only: a block it rules out holds no record the
// expression selects, and the records of every other block are still
// run through the compiled filter, which alone decides.
enum filter_node_kind : uint8_t {
    FILTER_ANY,  // may match whatever the keys
    FILTER_TERM, // the block has this key
    FILTER_AND,
    FILTER_OR,
};

struct filter_node {
    filter_node_kind kind;
    uint16_t left; // FILTER_AND, FILTER_OR: the operands' nodes
    uint16_t right;
    uint64_t term; // FILTER_TERM: index_term's hash
};

constexpr size_t kMaxFilterNodes = 512;

struct filter_terms {
    filter_node nodes[kMaxFilterNodes];
    uint16_t count;
    uint16_t root;
};

// The keys expr needs, for files of this link type. An expression that
// cannot be followed (too long, a keyword that moves the filter's offsets
// into a tunnel) needs nothing: every block may match.
void filter_terms_parse(const char *expr, uint32_t linktype, filter_terms *q);
// Whether a block (or a file) whose keys are in this Bloom filter may hold
// a record the expression selects. nr_words 0: no filter, it may.
bool filter_terms_may_match(const filter_terms *q, const uint64_t *bloom, uint32_t nr_words);
// Whether the expression needs no key at all (every block may match).
bool filter_terms_trivial(const filter_terms *q);

#endif // CAPTURE_EXTRACT_H
