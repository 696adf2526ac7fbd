// --compress=zstd: a dump file as a run of independent zstd frames, each of
// whole records, the file header in the first. A reader may start at any
// frame, zstdcat reads the file as one stream, and a file cut at any moment
// (a kill, a full disk) decodes up to its last whole frame into whole
// records. Each frame carries its content size and a checksum, so a frame
// cut short is found, never decoded into garbage.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "trawlcap.h"

int dump_zstd_init(dump_zstd *z, int level)
{
    z->cctx = ZSTD_createCCtx();
    if (!z->cctx)
        return -1;
    size_t rc = ZSTD_CCtx_setParameter(z->cctx, ZSTD_c_compressionLevel, level);
    if (!ZSTD_isError(rc))
        rc = ZSTD_CCtx_setParameter(z->cctx, ZSTD_c_checksumFlag, 1);
    if (!ZSTD_isError(rc))
        rc = ZSTD_CCtx_setParameter(z->cctx, ZSTD_c_contentSizeFlag, 1);
    return ZSTD_isError(rc) ? -1 : 0;
}

size_t dump_zstd_frame(dump_zstd *z, const uint8_t *in, size_t len, uint8_t *out, size_t cap)
{
    size_t n = ZSTD_compress2(z->cctx, out, cap, in, len);
    return ZSTD_isError(n) ? 0 : n;
}

int dump_header_bytes(pcap_t *handle, uint8_t out[kFileHeader])
{
    // libpcap's own writer makes the header, as it does for plain files.
    char *text = nullptr;
    size_t size = 0;
    FILE *f = open_memstream(&text, &size);
    pcap_dumper_t *d = f ? pcap_dump_fopen(handle, f) : nullptr;
    if (!d) {
        if (f)
            fclose(f);
        free(text);
        return -1;
    }
    pcap_dump_close(d);
    int rc = size == kFileHeader ? 0 : -1;
    if (rc == 0)
        memcpy(out, text, kFileHeader);
    free(text);
    return rc;
}
