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

/* Compresses `n` bytes through a stream, giving `piece` input bytes and
 * `room` output bytes per call. Returns the container's size or an error. */
static size_t stream_compress(qrn_cctx *c, const void *src, size_t n, void *dst, size_t cap, size_t piece,
                              size_t room)
{
    size_t given = 0, written = 0;
    for (;;) {
        const size_t chunk = min_size(piece, n - given);
        const int last = given + chunk == n;
        qrn_in_buffer in = {(const char *)src + given, chunk, 0};
        for (;;) {
            qrn_out_buffer out = {(char *)dst + written, min_size(room, cap - written), 0};
            const size_t r = qrn_compress_stream(c, &out, &in, last ? QRN_E_END : QRN_E_CONTINUE);
            written += out.pos;
            if (qrn_is_error(r) || (last && r == 0))
                return qrn_is_error(r) ? r : written;
            if (!last && in.pos == in.size)
                break;
            if (out.size == 0)
                return (size_t)-QRN_ERROR_DST_TOO_SMALL;
        }
        given += chunk;
    }
}

/* The same for restoring; also fails when input is left over. */
static size_t stream_decompress(qrn_dctx *d, const void *src, size_t n, void *dst, size_t cap, size_t piece,
                                size_t room)
{
    size_t given = 0, written = 0;
    for (;;) {
        const size_t chunk = min_size(piece, n - given);
        const int last = given + chunk == n;
        qrn_in_buffer in = {(const char *)src + given, chunk, 0};
        for (;;) {
            qrn_out_buffer out = {(char *)dst + written, min_size(room, cap - written), 0};
            const size_t r = qrn_decompress_stream(d, &out, &in, last ? QRN_E_END : QRN_E_CONTINUE);
            written += out.pos;
            if (qrn_is_error(r))
                return r;
            if (r == 0)
                return last && in.pos == in.size ? written : (size_t)-QRN_ERROR_LENGTH;
            if (!last && in.pos == in.size)
                break;
            if (out.size == 0)
                return (size_t)-QRN_ERROR_DST_TOO_SMALL;
        }
        given += chunk;
    }
}

#endif
