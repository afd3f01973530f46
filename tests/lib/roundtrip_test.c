/* Round trips at every method and level, in one call and through streams in
 * pieces, with the containers the quarnix program writes as the reference. */
#include "check.h"

static const int PAIRS[][2] = {{1, 0}, {1, 1}, {1, 2}, {1, 9}, {2, 0}, {2, 1}, {2, 2},
                               {2, 9}, {3, 0}, {3, 1}, {3, 2}, {3, 9}, {4, 9}};
#define PAIR_COUNT (sizeof PAIRS / sizeof PAIRS[0])
#define SMALL 5000
#define MULTI (150 * 1024 + 123)
#define BLOCK (64 * 1024)

static unsigned char *data;
static size_t cap;
static unsigned char *packed, *packed2, *restored;

static qrn_cctx *cctx_for(int method, int level, int threads, long long block)
{
    qrn_cctx *c = qrn_cctx_create();
    CHECK(!qrn_cctx_set(c, QRN_P_METHOD, method) && !qrn_cctx_set(c, QRN_P_LEVEL, level) &&
              !qrn_cctx_set(c, QRN_P_THREADS, threads) && !qrn_cctx_set(c, QRN_P_BLOCK_SIZE, block),
          "setting -%d%d", method, level);
    return c;
}

static int same(const void *a, size_t an, const void *b, size_t bn) { return an == bn && !memcmp(a, b, an); }

/* One call both ways, then the program's container for the same file. */
static void one_call(int m, int l)
{
    const size_t z = qrn_compress(packed, cap, data, SMALL, m, l);
    CHECK(!qrn_is_error(z) && qrn_content_size(packed, z) == SMALL, "-%d%d: %s", m, l, qrn_error_name(z));
    CHECK(qrn_decompress(restored, SMALL, packed, z) == SMALL && !memcmp(restored, data, SMALL), "-%d%d", m, l);
    CHECK(qrn_is_error(qrn_compress(packed2, z - 1, data, SMALL, m, l)), "-%d%d: one byte short", m, l);
    CHECK(qrn_get_error_code(qrn_decompress(restored, SMALL - 1, packed, z)) == QRN_ERROR_DST_TOO_SMALL, "-%d%d", m, l);
}

/* Writes `n` bytes to QRN_TEST_DIR/name, or reads up to `n` of it back
 * (returning how many). */
static size_t file_io(const char *name, void *bytes, size_t n, int writing)
{
    char path[1024];
    snprintf(path, sizeof path, "%s/%s", QRN_TEST_DIR, name);
    FILE *f = fopen(path, writing ? "wb" : "rb");
    if (!f)
        return 0;
    const size_t done = writing ? fwrite(bytes, 1, n, f) : fread(bytes, 1, n, f);
    fclose(f);
    return done;
}

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <sys/stat.h>

/* Windows would hand a command line to cmd.exe, so the program is started
 * directly: `args` after the program name, each a word; standard output to
 * QRN_TEST_DIR/out_name when that is not null. Its exit status. */
static int run_program(const char *const *args, const char *out_name)
{
    const char *argv[8] = {"quarnix"};
    for (int i = 0; args[i] && i < 6; ++i)
        argv[i + 1] = args[i];
    int saved = -1;
    fflush(stdout);
    if (out_name) {
        char path[1024];
        snprintf(path, sizeof path, "%s/%s", QRN_TEST_DIR, out_name);
        const int fd = _open(path, _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, _S_IREAD | _S_IWRITE);
        saved = _dup(1);
        _dup2(fd, 1);
        _close(fd);
    }
    const intptr_t rc = _spawnv(_P_WAIT, QRN_QUARNIX_PATH, argv);
    if (out_name) {
        _dup2(saved, 1);
        _close(saved);
    }
    return (int)rc;
}

static const char *test_path(char *buf, const char *name)
{
    snprintf(buf, 1024, "%s/%s", QRN_TEST_DIR, name);
    return buf;
}

static void same_as_program(int m, int l, size_t n, int block)
{
    char level[8], in[1024], out[1024];
    file_io("lib-identity-in", data, n, 1);
    snprintf(level, sizeof level, "-%d%d", m, l);
    remove(test_path(out, "lib-identity-out"));
    const char *args[] = {level, "-p0", test_path(in, "lib-identity-in"), out, NULL, NULL};
    if (block)
        args[2] = "-b64K", args[3] = in, args[4] = out;
    CHECK(run_program(args, NULL) == 0, "quarnix %s", level);
    const size_t got = file_io("lib-identity-out", packed2, cap, 0);
    qrn_cctx *c = cctx_for(m, l, 0, block ? BLOCK : 0);
    const size_t z = qrn_compress_cctx(c, packed, cap, data, n);
    CHECK(same(packed, z, packed2, got), "-%d%d %zu bytes: library %zu, program %zu", m, l, n, z, got);
    qrn_cctx_free(c);
}

static int program_reads(const unsigned char *c, size_t z, size_t n, const char *shown)
{
    char in[1024], out[1024], listed[4096] = "", word[64];
    file_io("lib-read.qrn", (void *)c, z, 1);
    remove(test_path(out, "lib-read"));
    const char *restore[] = {"-d", test_path(in, "lib-read.qrn"), out, NULL};
    const char *list[] = {"--list", in, NULL};
    if (run_program(restore, NULL) != 0 || run_program(list, "lib-listed") != 0)
        return 0;
    listed[file_io("lib-listed", listed, sizeof listed - 1, 0)] = '\0';
    snprintf(word, sizeof word, " %s ", shown);
    return strstr(listed, word) && same(restored, file_io("lib-read", restored, n + 1, 0), data, n);
}
#else
/* The program's container of `n` bytes at -ml -p0 (with -b64K when
 * `block`), against qrn_compress_cctx's (with two threads for the one block
 * of the default size: level 9 codes it on both). */
static void same_as_program(int m, int l, size_t n, int block)
{
    char cmd[2048];
    file_io("lib-identity-in", data, n, 1);
    snprintf(cmd, sizeof cmd, "cd '%s' && rm -f lib-identity-out && '%s' -%d%d -p0 %s lib-identity-in lib-identity-out",
             QRN_TEST_DIR, QRN_QUARNIX_PATH, m, l, block ? "-b64K" : "");
    CHECK(system(cmd) == 0, "%s", cmd);
    const size_t got = file_io("lib-identity-out", packed2, cap, 0);
    qrn_cctx *c = cctx_for(m, l, block ? 0 : 2, block ? BLOCK : 0);
    const size_t z = qrn_compress_cctx(c, packed, cap, data, n);
    CHECK(same(packed, z, packed2, got), "-%d%d %zu bytes: library %zu, program %zu", m, l, n, z, got);
    qrn_cctx_free(c);
}

/* Whether `quarnix -d` (and --list, showing `shown`) accepts a container
 * and restores the test data from it. */
static int program_reads(const unsigned char *c, size_t z, size_t n, const char *shown)
{
    char cmd[2048];
    file_io("lib-read.qrn", (void *)c, z, 1);
    snprintf(cmd, sizeof cmd, "cd '%s' && rm -f lib-read && '%s' -d lib-read.qrn lib-read 2>/dev/null && '%s' --list lib-read.qrn | grep -q ' %s '",
             QRN_TEST_DIR, QRN_QUARNIX_PATH, QRN_QUARNIX_PATH, shown);
    if (system(cmd) != 0)
        return 0;
    return same(restored, file_io("lib-read", restored, n + 1, 0), data, n);
}
#endif

static unsigned long long calls, last_in, last_out, backwards;
static void on_progress(void *user, unsigned long long in, unsigned long long out)
{
    (void)user;
    backwards += in < last_in || out < last_out;
    last_in = in, last_out = out;
    ++calls;
}

/* Several blocks: threads 0, 1 and 3 write the same container, the stream
 * the same records; every piece size restores it. */
static void multi_block(int m, int l)
{
    size_t z[3];
    const int threads[3] = {0, 1, 3};
    for (int t = 0; t < 3; ++t) {
        qrn_cctx *c = cctx_for(m, l, threads[t], BLOCK);
        calls = last_in = last_out = backwards = 0;
        qrn_cctx_set_progress(c, on_progress, NULL);
        z[t] = qrn_compress_cctx(c, t ? packed2 : packed, cap, data, MULTI);
        CHECK(calls == 3 && !backwards && last_in == MULTI && last_out == z[t], "-%d%d p%d: %llu calls", m, l,
              threads[t], calls);
        CHECK(!t || same(packed, z[0], packed2, z[t]), "-%d%d: threads %d differ", m, l, threads[t]);
        qrn_cctx_free(c);
    }
    CHECK(qrn_decompress(restored, MULTI, packed, z[0]) == MULTI && !memcmp(restored, data, MULTI), "-%d%d", m, l);

    const size_t pieces[] = {1, 777, 65536, 1 << 20};
    for (size_t k = 0; k < 4; ++k) {
        if (pieces[k] == 1 && !(m == 1 && l == 1))
            continue; /* one-byte pieces once: they are slow, not different */
        qrn_cctx *c = cctx_for(m, l, k % 2 ? 2 : 0, BLOCK);
        const size_t s = stream_compress(c, data, MULTI, packed2, cap, pieces[k], pieces[3 - k]);
        /* No pledged size: no integrity fields, the same settings and records. */
        CHECK(s == z[0] && !memcmp(packed2 + 16, packed + 16, 12) && !memcmp(packed2 + 32, packed + 32, s - 32) &&
                  qrn_content_size(packed2, s) == QRN_CONTENTSIZE_UNKNOWN,
              "-%d%d stream in pieces of %zu: %s", m, l, pieces[k], qrn_error_name(s));
        qrn_cctx_free(c);
        qrn_dctx *d = qrn_dctx_create();
        qrn_dctx_set(d, QRN_P_THREADS, k % 2 ? 0 : 3);
        calls = last_in = last_out = backwards = 0;
        qrn_dctx_set_progress(d, on_progress, NULL);
        for (int src = 0; src < 2; ++src) {
            last_in = last_out = 0;
            memset(restored, 0, MULTI);
            const size_t r = stream_decompress(d, src ? packed2 : packed, src ? s : z[0], restored, MULTI,
                                               pieces[3 - k], pieces[k]);
            CHECK(r == MULTI && !memcmp(restored, data, MULTI), "-%d%d restored in pieces of %zu: %s", m, l,
                  pieces[k], qrn_error_name(r));
        }
        CHECK(calls == 6 && !backwards && last_out == MULTI && last_in == s, "%llu calls", calls);
        qrn_dctx_free(d);
    }
}

/* A pledged size: the length recorded (and the checksum for one block);
 * any other amount of input is refused, and the pledge ends with its stream. */
static void pledged(void)
{
    const size_t sizes[] = {MULTI, SMALL, 0};
    for (size_t k = 0; k < 3; ++k) {
        const size_t n = sizes[k];
        qrn_cctx *c = cctx_for(3, 1, 1, n == MULTI ? BLOCK : 0);
        const size_t flat = qrn_compress_cctx(c, packed, cap, data, n);
        for (long long delta = n ? -1 : 0; delta <= 1; ++delta) {
            qrn_cctx_set(c, QRN_P_PLEDGED_SIZE, (long long)n + delta);
            const size_t s = stream_compress(c, data, n, packed2, cap, 4000, 1000);
            if (delta) {
                CHECK(qrn_get_error_code(s) == QRN_ERROR_SIZE_WRONG, "%zu bytes pledged as %lld: %s", n,
                      (long long)n + delta, qrn_error_name(s));
                qrn_cctx_reset(c);
                continue;
            }
            CHECK(qrn_content_size(packed2, s) == n && qrn_decompress(restored, n, packed2, s) == n,
                  "%zu bytes pledged: %s", n, qrn_error_name(s));
            CHECK((n == MULTI) == (packed2[7] == 3) && (n == MULTI || same(packed, flat, packed2, s)), "%zu", n);
            if (n == MULTI) {
                CHECK(program_reads(packed2, s, n, "length"), "the program reads a recorded length");
                packed2[8] ^= 1; /* a length one off */
                CHECK(!program_reads(packed2, s, n, "length"), "the program checks a recorded length");
            }
            CHECK(stream_compress(c, data, n, packed2, cap, n + 1, n + 1) == s && packed2[7] == 0, "pledge kept");
        }
        qrn_cctx_free(c);
    }
}

int main(void)
{
    cap = qrn_compress_bound(MULTI);
    data = make_data(MULTI, 7);
    packed = malloc(cap), packed2 = malloc(cap), restored = malloc(MULTI);
    CHECK(qrn_version_number() == QRN_VERSION_NUMBER && !strcmp(qrn_version_string(), "1.2.0"), "version");
    for (size_t i = 0; i < PAIR_COUNT; ++i) {
        one_call(PAIRS[i][0], PAIRS[i][1]);
        multi_block(PAIRS[i][0], PAIRS[i][1]);
        same_as_program(PAIRS[i][0], PAIRS[i][1], i % 2 ? SMALL : MULTI, i % 4 == 0);
    }
    same_as_program(3, 2, 0, 0);
    pledged();
    free(data), free(packed), free(packed2), free(restored);
    return finish();
}
