// Helpers the fuzz targets share: the input read as a sequence of numbers and
// zero-terminated words.
#ifndef FUZZ_INPUT_H
#define FUZZ_INPUT_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// Checks hold in release builds too: a failed one aborts the run.
#define FUZZ_CHECK(cond)                                                                           \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond);               \
            abort();                                                                               \
        }                                                                                          \
    } while (0)

struct fuzz_input {
    const uint8_t *data;
    size_t size;
    size_t pos;
};

inline bool fuzz_empty(const fuzz_input &in)
{
    return in.pos >= in.size;
}

// Next n bytes as a little-endian number; missing bytes read as zero.
inline uint64_t fuzz_take(fuzz_input &in, int n)
{
    uint64_t v = 0;
    for (int i = 0; i < n; i++)
        if (in.pos < in.size)
            v |= uint64_t{in.data[in.pos++]} << (8 * i);
    return v;
}

// Up to the next zero byte (or the end): a new zero-terminated copy that the
// caller frees. The copy lives in its own allocation, so that reads past its
// end are caught.
inline char *fuzz_word(fuzz_input &in)
{
    size_t start = in.pos;
    while (in.pos < in.size && in.data[in.pos] != 0)
        in.pos++;
    size_t len = in.pos - start;
    if (in.pos < in.size)
        in.pos++; // the separator
    auto *word = static_cast<char *>(malloc(len + 1));
    if (!word)
        abort();
    if (len)
        memcpy(word, in.data + start, len);
    word[len] = '\0';
    return word;
}

#endif // FUZZ_INPUT_H
