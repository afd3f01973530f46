/*
 * Compresses a file in one call, restores it through a decompression stream
 * fed 64 KiB of the container at a time, and checks that the result equals the
 * original. Prints one line; status 0 when they are equal, else 1.
 *
 *   example FILE [METHOD LEVEL]
 *
 * Against an installed library (see examples/CMakeLists.txt for CMake):
 *   cc -std=c11 -o example example.c $(pkg-config --cflags --libs quarnix)
 */
#include <quarnix.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define PIECE ((size_t)64 * 1024)

/* The whole of `path` in a malloc'ed buffer (never null on success, even
 * for an empty file), or null. */
static unsigned char *read_file(const char *path, size_t *size)
{
    FILE *f = fopen(path, "rb");
    if (!f)
        return NULL;
    size_t cap = PIECE, len = 0;
    unsigned char *buf = malloc(cap);
    while (buf) {
        len += fread(buf + len, 1, cap - len, f);
        if (len < cap)
            break;
        unsigned char *grown = realloc(buf, cap * 2);
        if (!grown)
            free(buf);
        buf = grown;
        cap *= 2;
    }
    if (buf && ferror(f)) {
        free(buf);
        buf = NULL;
    }
    fclose(f);
    *size = len;
    return buf;
}

static int fail(const char *path, const char *what, size_t result)
{
    fprintf(stderr, "example: %s: %s: %s\n", path, what,
            qrn_is_error(result) ? qrn_error_name(result) : "the stream wants more input");
    return 1;
}

int main(int argc, char **argv)
{
    if (argc != 2 && argc != 4) {
        fprintf(stderr, "usage: %s FILE [METHOD LEVEL]\n", argv[0]);
        return 1;
    }
    const char *path = argv[1];
    const int method = argc == 4 ? atoi(argv[2]) : QRN_METHOD_DEFAULT;
    const int level = argc == 4 ? atoi(argv[3]) : QRN_LEVEL_DEFAULT;

    size_t size = 0;
    unsigned char *original = read_file(path, &size);
    if (!original) {
        perror(path);
        return 1;
    }

    /* One call: a complete container, length and checksum included. */
    const size_t bound = qrn_compress_bound(size);
    unsigned char *packed = malloc(bound);
    unsigned char *restored = malloc(size + 1);
    qrn_dctx *dctx = qrn_dctx_create();
    if (!packed || !restored || !dctx) {
        fprintf(stderr, "example: out of memory\n");
        return 1;
    }
    const size_t packed_size = qrn_compress(packed, bound, original, size, method, level);
    if (qrn_is_error(packed_size))
        return fail(path, "compression", packed_size);

    /* A stream: the container arrives in pieces, as it would from a file or
     * a socket; the restored bytes go into one buffer. */
    qrn_out_buffer out = {restored, size + 1, 0};
    size_t done = 0, pieces = 0, left = 1;
    while (left != 0 && done < packed_size) {
        const size_t n = packed_size - done < PIECE ? packed_size - done : PIECE;
        qrn_in_buffer in = {packed + done, n, 0};
        const qrn_end_directive end = done + n == packed_size ? QRN_E_END : QRN_E_CONTINUE;
        ++pieces;
        /* A call may stop before the piece is used up; offer the rest again. */
        do {
            const size_t in_before = in.pos, out_before = out.pos;
            left = qrn_decompress_stream(dctx, &out, &in, end);
            if (qrn_is_error(left))
                return fail(path, "decompression", left);
            if (left != 0 && in.pos == in_before && out.pos == out_before && in.pos < in.size)
                return fail(path, "decompression stalled", left);
        } while (left != 0 && in.pos < in.size);
        done += in.pos;
    }
    if (left != 0)
        return fail(path, "container ends early", left);

    const int same = out.pos == size && memcmp(original, restored, size) == 0;
    printf("%s: %zu -> %zu bytes (method %d, level %d), restored in %zu piece%s: %s\n", path, size,
           packed_size, method, level, pieces, pieces == 1 ? "" : "s", same ? "identical" : "DIFFERENT");

    qrn_dctx_free(dctx);
    free(restored);
    free(packed);
    free(original);
    return same ? 0 : 1;
}
