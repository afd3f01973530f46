/* Every error a caller can meet, each from a crafted input or call; and two
 * contexts at work in two threads at once. */
#include <pthread.h>

#include "check.h"

#define N (100 * 1024 + 17)
#define BLOCK (16 * 1024)

static unsigned char *data, *packed, *bad, *out;
static size_t cap, flat, piped;

static size_t restore(const unsigned char *src, size_t n, long long memory_limit)
{
    qrn_dctx *d = qrn_dctx_create();
    qrn_dctx_set(d, QRN_P_MEMORY_LIMIT, memory_limit);
    const size_t r = stream_decompress(d, src, n, out, N, 1000, 5000);
    qrn_dctx_free(d);
    return r;
}

/* A copy of the flat container (or the piped one) with one byte set. */
static const unsigned char *patched(int from_pipe, size_t at, int value)
{
    memcpy(bad, packed + (from_pipe ? flat : 0), from_pipe ? piped : flat);
    bad[at] = (unsigned char)value;
    return bad;
}

static void crafted_inputs(void)
{
    static const struct {
        int from_pipe;   /* the container without fields */
        long at;         /* byte to set (-1: none) */
        int value;
        long cut;        /* bytes to drop at the end */
        long long memory_limit;
        qrn_error_code want;
    } rows[] = {
        {0, 1, 'X', 0, 0, QRN_ERROR_NOT_CONTAINER},
        {0, 7, 1, 0, 0, QRN_ERROR_INCOMPLETE},
        {0, 7, 9, 0, 0, QRN_ERROR_DAMAGED},        /* no such integrity state */
        {0, 18, 7, 0, 0, QRN_ERROR_DAMAGED},       /* no such method */
        {1, 16, 1, 0, 0, QRN_ERROR_DAMAGED},       /* block size 0, with records */
        {1, 36, 0xff, 0, 0, QRN_ERROR_DAMAGED},    /* first payload length beyond the block */
        {0, 29, 0x5a, 0, 0, QRN_ERROR_CHECKSUM},
        {0, 8, 0, 0, 0, QRN_ERROR_LENGTH},         /* recorded length cut short */
        {0, -1, 0, 1, 0, QRN_ERROR_TRUNCATED},
        {1, -1, 0, 1, 0, QRN_ERROR_TRUNCATED},     /* inside the last compressed record */
        {1, -1, 0, 0, 1000, QRN_ERROR_MEMORY},
        {1, -1, 0, 0, BLOCK, QRN_OK},
        {1, -1, 0, -40, 0, QRN_ERROR_DAMAGED},     /* a record after the short last one */
        {0, -1, 0, -5, 0, QRN_ERROR_LENGTH},       /* bytes behind a recorded length */
    };
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; ++i) {
        const size_t size = rows[i].from_pipe ? piped : flat;
        const unsigned char *c = rows[i].at >= 0 ? patched(rows[i].from_pipe, (size_t)rows[i].at, rows[i].value)
                                                 : packed + (rows[i].from_pipe ? flat : 0);
        size_t n = size - (size_t)(rows[i].cut > 0 ? rows[i].cut : 0);
        if (rows[i].cut < 0) {
            /* Append the last `-cut` bytes of the piped container again. */
            memcpy(bad, c, size);
            memcpy(bad + size, packed + flat + piped + rows[i].cut, (size_t)-rows[i].cut);
            c = bad, n = size + (size_t)-rows[i].cut;
        }
        const size_t one = rows[i].memory_limit ? 0 : qrn_decompress(out, N, c, n);
        const size_t streamed = restore(c, n, rows[i].memory_limit);
        CHECK(qrn_get_error_code(streamed) == rows[i].want, "row %zu: %s", i, qrn_error_name(streamed));
        CHECK(rows[i].memory_limit || qrn_get_error_code(one) == rows[i].want, "row %zu: %s", i, qrn_error_name(one));
    }
    /* A raw record where the header says the file is empty (block size 0),
     * and a compressed record with nothing in it. */
    static const unsigned char empty_then_raw[34] = {0, 'Q', 'R', '0', [16] = 1, [18] = 1, [33] = 'x'};
    static const unsigned char empty_payload[41] = {0, 'Q', 'R', '0', [16] = 3, [18] = 1, [32] = 3};
    CHECK(qrn_get_error_code(qrn_decompress(out, N, empty_then_raw, 34)) == QRN_ERROR_DAMAGED &&
              qrn_get_error_code(restore(empty_then_raw, 34, 0)) == QRN_ERROR_DAMAGED &&
              qrn_get_error_code(qrn_decompress(out, N, empty_payload, 41)) == QRN_ERROR_DAMAGED &&
              qrn_get_error_code(restore(empty_payload, 41, 0)) == QRN_ERROR_DAMAGED,
          "empty records");
    CHECK(qrn_content_size(packed, flat) == N && qrn_content_size(packed + flat, piped) == QRN_CONTENTSIZE_UNKNOWN &&
              qrn_content_size(packed, 31) == QRN_CONTENTSIZE_ERROR &&
              qrn_content_size(patched(0, 7, 1), flat) == QRN_CONTENTSIZE_ERROR,
          "content sizes");
}

static void refused_calls(void)
{
    qrn_cctx *c = qrn_cctx_create();
    static const struct {
        qrn_param param;
        long long value;
        qrn_error_code want;
    } sets[] = {
        {QRN_P_METHOD, 5, QRN_ERROR_UNSUPPORTED},      {QRN_P_LEVEL, 3, QRN_ERROR_UNSUPPORTED},
        {QRN_P_THREADS, 33, QRN_ERROR_PARAMETER_RANGE}, {QRN_P_BLOCK_SIZE, (1LL << 30) + 1, QRN_ERROR_PARAMETER_RANGE},
        {QRN_P_PLEDGED_SIZE, -2, QRN_ERROR_PARAMETER_RANGE}, {(qrn_param)99, 0, QRN_ERROR_UNSUPPORTED},
    };
    for (size_t i = 0; i < sizeof sets / sizeof sets[0]; ++i) {
        const size_t r = qrn_cctx_set(c, sets[i].param, sets[i].value);
        CHECK(qrn_get_error_code(r) == sets[i].want, "set %d to %lld: %s", sets[i].param, sets[i].value,
              qrn_error_name(r));
    }
    CHECK(qrn_get_error_code(qrn_compress(out, N, data, 10, 4, 2)) == QRN_ERROR_UNSUPPORTED, "-42");
    CHECK(qrn_get_error_code(qrn_compress(out, 31, data, 0, 1, 1)) == QRN_ERROR_DST_TOO_SMALL, "no room for a header");
    qrn_in_buffer in = {data, 10, 0};
    qrn_out_buffer o = {out, N, 0};
    CHECK(qrn_compress_stream(c, &o, &in, QRN_E_CONTINUE) == 0, "started");
    CHECK(qrn_get_error_code(qrn_cctx_set(c, QRN_P_LEVEL, 1)) == QRN_ERROR_STAGE, "mid-stream");
    CHECK(qrn_get_error_code(qrn_compress_cctx(c, out, N, data, 10)) == QRN_ERROR_STAGE, "mid-stream");
    qrn_cctx_reset(c);
    CHECK(qrn_cctx_set(c, QRN_P_LEVEL, 1) == 0, "after reset");
    /* Level 9 with a 64 MiB block needs about 11 times that: not under 100 MiB. */
    qrn_cctx_set(c, QRN_P_LEVEL, 9);
    qrn_cctx_set(c, QRN_P_BLOCK_SIZE, 64 << 20);
    qrn_cctx_set(c, QRN_P_MEMORY_LIMIT, 100 << 20);
    CHECK(qrn_get_error_code(qrn_compress_cctx(c, out, N, data, 10)) == QRN_ERROR_PARAMETER_RANGE, "memory limit");
    qrn_cctx_set(c, QRN_P_MEMORY_LIMIT, 1LL << 30);
    CHECK(!qrn_is_error(qrn_compress_cctx(c, out, N, data, 10)), "memory limit met");
    qrn_cctx_free(c);

    /* Error names: short, and one for each code. */
    for (int a = 0; a < QRN_ERROR_MAX; ++a)
        for (int b = a + 1; b < QRN_ERROR_MAX; ++b)
            CHECK(strcmp(qrn_error_name((size_t)-a), qrn_error_name((size_t)-b)) != 0, "%d and %d", a, b);
    CHECK(!qrn_is_error(N) && !strcmp(qrn_error_name(N), "no error"), "a size");
}

/* Two contexts, each with its own workers, in two threads at once. */
static void *worker(void *arg)
{
    const int method = *(const int *)arg;
    unsigned char *mine = malloc(cap), *back = malloc(N);
    qrn_cctx *c = qrn_cctx_create();
    qrn_dctx *d = qrn_dctx_create();
    qrn_cctx_set(c, QRN_P_METHOD, method);
    qrn_cctx_set(c, QRN_P_LEVEL, 9);
    qrn_cctx_set(c, QRN_P_THREADS, 2);
    qrn_cctx_set(c, QRN_P_BLOCK_SIZE, BLOCK);
    qrn_dctx_set(d, QRN_P_THREADS, 2);
    size_t ok = 1;
    for (int round = 0; round < 3 && ok; ++round) {
        const size_t z = qrn_compress_cctx(c, mine, cap, data, N);
        ok = !qrn_is_error(z) && stream_decompress(d, mine, z, back, N, 3000, 7000) == N && !memcmp(back, data, N);
    }
    qrn_cctx_free(c);
    qrn_dctx_free(d);
    free(mine), free(back);
    return (void *)ok;
}

static void two_threads(void)
{
    pthread_t t[2];
    int methods[2] = {3, 4};
    void *ok[2] = {0, 0};
    for (int i = 0; i < 2; ++i)
        pthread_create(&t[i], NULL, worker, &methods[i]);
    for (int i = 0; i < 2; ++i)
        pthread_join(t[i], &ok[i]);
    CHECK(ok[0] && ok[1], "two threads");
}

int main(void)
{
    cap = qrn_compress_bound(N);
    data = make_data(N, 3);
    packed = malloc(2 * cap), bad = malloc(2 * cap + 64), out = malloc(N);
    qrn_cctx *c = qrn_cctx_create();
    qrn_cctx_set(c, QRN_P_METHOD, 2);
    qrn_cctx_set(c, QRN_P_BLOCK_SIZE, BLOCK);
    flat = qrn_compress_cctx(c, packed, cap, data, N);
    piped = stream_compress(c, data, N, packed + flat, cap, N, N);
    qrn_cctx_free(c);
    CHECK(!qrn_is_error(flat) && !qrn_is_error(piped), "containers");
    crafted_inputs();
    refused_calls();
    two_threads();
    free(data), free(packed), free(bad), free(out);
    return finish();
}
