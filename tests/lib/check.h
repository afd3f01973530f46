/* A few helpers shared by the library's C tests: checks that count, test
 * data, and whole-buffer streaming through a context. */
#ifndef QRN_LIB_CHECK_H
#define QRN_LIB_CHECK_H

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "quarnix.h"

static int passed, failed;

#define CHECK(cond, ...)                                            \
    do {                                                            \
        if (cond) {                                                 \
            ++passed;                                               \
        } else {                                                    \
            ++failed;                                               \
            printf("FAIL %s:%d: %s: ", __FILE__, __LINE__, #cond);  \
            printf(__VA_ARGS__);                                    \
            printf("\n");                                           \
        }                                                           \
    } while (0)

static int finish(void)
{
    printf("%d passed, %d failed\n", passed, failed);
    return failed != 0;
}

/* Text-like bytes with repeats for every method to find, and a stretch of
 * noise every 40 KiB so that some blocks stay raw. */
static unsigned char *make_data(size_t n, unsigned seed)
{
    static const char *words[] = {"block ", "record ", "stream ", "header ", "the ", "of ", "match\n", "quarnix "};
    unsigned char *p = malloc(n + 1);
    size_t i = 0;
    unsigned x = seed * 2654435761u + 1;
    while (i < n) {
        x = x * 1103515245u + 12345u;
        if (i % 40960 < 2048) {
            p[i++] = (unsigned char)(x >> 16);
            continue;
        }
        const char *w = words[(x >> 16) % 8];
        for (size_t k = 0; w[k] && i < n; ++k)
            p[i++] = (unsigned char)w[k];
    }
    return p;
}

static size_t min_size(size_t a, size_t b) { return a < b ? a : b; }

/* One call of a stream, compressing or restoring. */
typedef size_t (*stream_step)(void *ctx, qrn_out_buffer *out, qrn_in_buffer *in, qrn_end_directive end);
static size_t compress_step(void *c, qrn_out_buffer *out, qrn_in_buffer *in, qrn_end_directive end)
{
    return qrn_compress_stream((qrn_cctx *)c, out, in, end);
}
static size_t decompress_step(void *d, qrn_out_buffer *out, qrn_in_buffer *in, qrn_end_directive end)
{
    return qrn_decompress_stream((qrn_dctx *)d, out, in, end);
}

/* Runs `n` bytes through a stream, giving `piece` input bytes and `room`
 * output bytes per call, until it says it is done. Returns the output's size
 * or an error; restoring also fails when input is left over. */
static size_t run_stream(stream_step step, void *ctx, const void *src, size_t n, void *dst, size_t cap,
                         size_t piece, size_t room)
{
    size_t given = 0, written = 0;
    for (;;) {
        const size_t chunk = min_size(piece, n - given);
        const int last = given + chunk == n;
        qrn_in_buffer in = {(const char *)src + given, chunk, 0};
        for (;;) {
            qrn_out_buffer out = {(char *)dst + written, min_size(room, cap - written), 0};
            const size_t r = step(ctx, &out, &in, last ? QRN_E_END : QRN_E_CONTINUE);
            written += out.pos;
            if (qrn_is_error(r))
                return r;
            if (r == 0 && (last || step == decompress_step))
                return last && in.pos == in.size ? written : (size_t)-QRN_ERROR_LENGTH;
            if (!last && in.pos == in.size)
                break;
            if (out.size == 0)
                return (size_t)-QRN_ERROR_DST_TOO_SMALL;
        }
        given += chunk;
    }
}

static size_t stream_compress(qrn_cctx *c, const void *src, size_t n, void *dst, size_t cap, size_t piece,
                              size_t room)
{
    return run_stream(compress_step, c, src, n, dst, cap, piece, room);
}

static size_t stream_decompress(qrn_dctx *d, const void *src, size_t n, void *dst, size_t cap, size_t piece,
                                size_t room)
{
    return run_stream(decompress_step, d, src, n, dst, cap, piece, room);
}

#endif
