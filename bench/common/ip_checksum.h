/* ip_checksum.h - the Internet checksum of a header (RFC 1071), for the
 * benchmarks' frame builders. */
#ifndef BENCH_IP_CHECKSUM_H
#define BENCH_IP_CHECKSUM_H

#include <stddef.h>
#include <stdint.h>

static inline uint16_t ip_checksum(const uint8_t *h, size_t len)
{
    uint32_t sum = 0;
    for (size_t i = 0; i + 1 < len; i += 2)
        sum += (uint32_t)(h[i] << 8 | h[i + 1]);
    while (sum >> 16)
        sum = (sum & 0xffff) + (sum >> 16);
    return (uint16_t)~sum;
}

#endif
