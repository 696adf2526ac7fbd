// --compress=zstd: a dump file as a run of independent zstd frames, each of
// whole records, the file header alone in the first. A reader may start at
// any frame, zstdcat reads the file as one stream, and a file cut at any
// moment (a kill, a full disk) decodes up to its last whole frame into
// whole records. Each frame carries its content size and a checksum, so a
// frame cut short is found, never decoded into garbage.
//
// A frame's bytes are made whole in the writer's own buffer before any of
// them is written, so the file only ever grows by whole frames: a failed
// write cuts back the part of the one frame it wrote, as a plain file is
// cut back to its last whole record. No seek table is written: each frame
// header carries its content size, and a file cut by a kill would lack the
// table anyway, so readers walk the frame headers instead.
#include <zstd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "trawlcap.h"

namespace {
constexpr int kFrameWindowLog = 20;
static_assert(size_t{1} << kFrameWindowLog == kFrameBytes);
} // namespace

int dump_zstd_init(dump_output *o, int level)
{
    o->zstd = ZSTD_createCCtx();
    o->frame_cap = ZSTD_compressBound(kFrameBytes + kRecordHeader + kMaxSnapLen);
    o->frame = static_cast<uint8_t *>(malloc(o->frame_cap));
    if (!o->zstd || !o->frame) {
        errno = ENOMEM;
        return -1;
    }
    size_t rc = ZSTD_CCtx_setParameter(o->zstd, ZSTD_c_compressionLevel, level);
    // The window spans a whole frame whatever the level: a repeat anywhere
    // in the frame is in reach (the fast levels' own window is half of it),
    // and a reader needs no more memory than the frame holds.
    if (!ZSTD_isError(rc))
        rc = ZSTD_CCtx_setParameter(o->zstd, ZSTD_c_windowLog, kFrameWindowLog);
    if (!ZSTD_isError(rc))
        rc = ZSTD_CCtx_setParameter(o->zstd, ZSTD_c_checksumFlag, 1);
    if (!ZSTD_isError(rc))
        rc = ZSTD_CCtx_setParameter(o->zstd, ZSTD_c_contentSizeFlag, 1);
    if (ZSTD_isError(rc)) {
        errno = ENOMEM;
        return -1;
    }
    o->compressed = 1;
    return 0;
}

size_t dump_zstd_frame(dump_output *o, const uint8_t *in, size_t len, uint8_t *out, size_t cap)
{
    // One call makes one whole frame with its content size: the library
    // stores a block raw when it would not shrink, so incompressible
    // records cost only the frame's and blocks' headers.
    size_t n = ZSTD_compress2(o->zstd, out, cap, in, len);
    return ZSTD_isError(n) ? 0 : n;
}

size_t dump_frame_records(const uint8_t *mem, size_t len, uint64_t *records)
{
    savefile_walk w = savefile_whole_records(mem, len, kFrameBytes, false);
    *records = w.count;
    return w.end;
}
