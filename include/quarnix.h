/*
 * quarnix: a multi-method LZ77 compressor, as a library.
 *
 * Containers written here are the ones the quarnix program writes and reads:
 * a 32-byte header, then one record per block. Every block is coded on its
 * own, so a context with worker threads codes several blocks at once.
 *
 * Results: every call that can fail returns a size_t; test it with
 * qrn_is_error() and name it with qrn_error_name().
 *
 * Threads: a context is used by one thread at a time; different contexts are
 * independent. The one-call functions code on the calling thread only. The
 * codecs keep working arrays of up to 2 MiB on the stack of the thread that
 * runs them, so a thread that calls the one-call functions, or a context with
 * QRN_P_THREADS 0, needs a stack of at least 4 MiB (the default on Linux is 8).
 *
 * Nothing in the library prints, exits or installs signal handlers.
 */
#ifndef QUARNIX_H
#define QUARNIX_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32) && defined(QRN_DLL_EXPORT)
#define QRN_API __declspec(dllexport)
#elif defined(_WIN32) && defined(QRN_DLL_IMPORT)
#define QRN_API __declspec(dllimport)
#elif defined(__GNUC__)
#define QRN_API __attribute__((visibility("default")))
#else
#define QRN_API
#endif

/* ---- Version ---------------------------------------------------------- */

#define QRN_VERSION_MAJOR 1
#define QRN_VERSION_MINOR 2
#define QRN_VERSION_PATCH 0
#define QRN_VERSION_NUMBER (QRN_VERSION_MAJOR * 10000 + QRN_VERSION_MINOR * 100 + QRN_VERSION_PATCH)

/* The version of the library linked, as a number and as "1.2.0". */
QRN_API unsigned qrn_version_number(void);
QRN_API const char *qrn_version_string(void);

/* ---- Errors ----------------------------------------------------------- */

typedef enum {
    QRN_OK = 0,
    QRN_ERROR_GENERIC = 1,
    QRN_ERROR_DST_TOO_SMALL = 2,        /* the destination cannot hold the result */
    QRN_ERROR_DAMAGED = 3,              /* a header field or a block does not decode */
    QRN_ERROR_TRUNCATED = 4,            /* the data ends before the container does */
    QRN_ERROR_CHECKSUM = 5,             /* restored content differs from its checksum */
    QRN_ERROR_INCOMPLETE = 6,           /* the container's compression never finished */
    QRN_ERROR_NOT_CONTAINER = 7,        /* no container magic */
    QRN_ERROR_UNSUPPORTED = 8,          /* no such method, level or parameter */
    QRN_ERROR_PARAMETER_RANGE = 9,      /* a parameter value out of its range */
    QRN_ERROR_MEMORY = 10,              /* memory allocation failed */
    QRN_ERROR_IO = 11,                  /* reading or writing failed */
    QRN_ERROR_SIZE_WRONG = 12,          /* input differs from the pledged size */
    QRN_ERROR_STAGE = 13,               /* call not allowed now (parameter set mid-stream, ...) */
    QRN_ERROR_LENGTH = 14,              /* restored content longer than its recorded length */
    QRN_ERROR_THREAD = 15,              /* a worker thread could not be started */
    QRN_ERROR_MAX = 16
} qrn_error_code;

/* Nonzero when `result` is an error code rather than a size. */
QRN_API int qrn_is_error(size_t result);
/* The code of an error result; QRN_OK for a size. */
QRN_API qrn_error_code qrn_get_error_code(size_t result);
/* A short English phrase for a result ("no error" for a size). */
QRN_API const char *qrn_error_name(size_t result);

/* ---- One call --------------------------------------------------------- */

/* Methods 1..4 at levels 0, 1, 2 or 9 (method 4 at level 9 only). */
#define QRN_METHOD_DEFAULT 3
#define QRN_LEVEL_DEFAULT 2

/* The largest container any method, level and block size writes for
 * `src_size` bytes of input. */
QRN_API size_t qrn_compress_bound(size_t src_size);

/* Writes a whole container of `src` into `dst`, with complete integrity fields
 * (length and checksum), on the calling thread. Returns its size. */
QRN_API size_t qrn_compress(void *dst, size_t dst_capacity, const void *src, size_t src_size, int method,
                            int level);

/* Restores the one container `src` holds into `dst`; checks its length and
 * checksum where the container records them. Returns the restored size.
 * Bytes of `dst` beyond that size may be overwritten (blocks are decoded in
 * place where room allows, and decoders write a little past their end). */
QRN_API size_t qrn_decompress(void *dst, size_t dst_capacity, const void *src, size_t src_size);

#define QRN_CONTENTSIZE_UNKNOWN (0ULL - 1)
#define QRN_CONTENTSIZE_ERROR (0ULL - 2)
/* The original length a container records (`src` holds at least its 32-byte
 * header): QRN_CONTENTSIZE_UNKNOWN when it records none,
 * QRN_CONTENTSIZE_ERROR when `src` is no container or an unfinished one. */
QRN_API unsigned long long qrn_content_size(const void *src, size_t src_size);

/* ---- Compression context ---------------------------------------------- */

typedef struct qrn_cctx_s qrn_cctx;

typedef enum {
    QRN_P_METHOD = 1,        /* 1..4 (default 3) */
    QRN_P_LEVEL = 2,         /* 0, 1, 2 or 9 (default 2) */
    QRN_P_THREADS = 3,       /* worker threads, 0..32; 0 (default): code on the caller's thread */
    QRN_P_BLOCK_SIZE = 4,    /* bytes, rounded up to whole KiB below 1 MiB and whole MiB above,
                                at most 1 GiB; 0 (default): by the level and the input size */
    QRN_P_HASH_BITS = 5,     /* hash-table size exponent of levels 0-2; 0 (default): the level's own;
                                values below 10 give 10, and at level 0 values above 16 give 16 */
    QRN_P_MEMORY_LIMIT = 6,  /* bytes level 9 may plan for, as the program's --memory: its automatic
                                block size fits them, and a QRN_P_BLOCK_SIZE needing more (about 11
                                times the block) is QRN_ERROR_PARAMETER_RANGE; 0: what the process
                                may use (machine, cgroup and address-space limits) */
    QRN_P_PLEDGED_SIZE = 7,  /* the exact input size of the next stream; -1 (default): unknown */
    QRN_P_FILTER = 8         /* 0 none (default), 1 x86 branch converter, 2 three-byte delta */
} qrn_param;

/* Null when memory is short. */
QRN_API qrn_cctx *qrn_cctx_create(void);
/* Joins the context's workers and frees it; null is ignored. */
QRN_API void qrn_cctx_free(qrn_cctx *cctx);
/* Sets a parameter for the containers to come; refused (QRN_ERROR_STAGE)
 * while a stream is in progress. Returns 0 or an error. */
QRN_API size_t qrn_cctx_set(qrn_cctx *cctx, qrn_param param, long long value);
/* Drops a stream in progress (its output is lost); parameters stay. */
QRN_API void qrn_cctx_reset(qrn_cctx *cctx);
/* As qrn_compress, with the context's parameters and worker threads. */
QRN_API size_t qrn_compress_cctx(qrn_cctx *cctx, void *dst, size_t dst_capacity, const void *src,
                                 size_t src_size);

/* ---- Streams ---------------------------------------------------------- */

typedef struct {
    const void *src;
    size_t size;
    size_t pos; /* bytes of src consumed; updated by the call */
} qrn_in_buffer;

typedef struct {
    void *dst;
    size_t size;
    size_t pos; /* bytes of dst written; updated by the call */
} qrn_out_buffer;

typedef enum {
    QRN_E_CONTINUE = 0, /* more input follows */
    QRN_E_END = 1       /* the input ends with this call's (and the input must stay the same until done) */
} qrn_end_directive;

/* Compresses what `in` holds into `out`. With QRN_E_END, call again with the
 * same `in` until it returns 0: the container is then complete. Returns the
 * bytes still waiting to be flushed (a hint: nonzero means call again), or an
 * error. A stream whose size was not pledged (QRN_P_PLEDGED_SIZE) is written
 * without integrity fields, as the quarnix program writes into a pipe; a
 * pledged one records its length (and its checksum when the input fits in one
 * block), and any other amount of input is QRN_ERROR_SIZE_WRONG. */
QRN_API size_t qrn_compress_stream(qrn_cctx *cctx, qrn_out_buffer *out, qrn_in_buffer *in,
                                   qrn_end_directive end);

typedef struct qrn_dctx_s qrn_dctx;

QRN_API qrn_dctx *qrn_dctx_create(void);
QRN_API void qrn_dctx_free(qrn_dctx *dctx);
/* QRN_P_THREADS (0..32) and QRN_P_MEMORY_LIMIT (the largest record buffer
 * the context allocates; 0: no limit) apply to decompression. */
QRN_API size_t qrn_dctx_set(qrn_dctx *dctx, qrn_param param, long long value);
/* Drops a container in progress; parameters stay. */
QRN_API void qrn_dctx_reset(qrn_dctx *dctx);

/* Restores a container from `in` into `out` (bytes of `out` beyond `pos` may be
 * overwritten, as with qrn_decompress). Returns 0 once a whole container
 * has been restored and checked (bytes of `in` beyond it stay unconsumed),
 * else a positive hint of input still wanted, or an error. A container that
 * records its length ends there; one that does not (written into a pipe) ends
 * where the input ends: pass QRN_E_END with the last input, and an end inside
 * a record is QRN_ERROR_TRUNCATED. Once 0 or an error has been returned, the
 * context starts a new container with the next call. */
QRN_API size_t qrn_decompress_stream(qrn_dctx *dctx, qrn_out_buffer *out, qrn_in_buffer *in,
                                     qrn_end_directive end);

/* ---- Progress --------------------------------------------------------- */

/* Called from the thread that writes blocks in order, at most once per block,
 * with the input consumed and the output produced so far by the current
 * container (uncompressed and compressed bytes, or the other way round when
 * decompressing). Both never decrease. Null `fn` removes it. */
typedef void (*qrn_progress_fn)(void *user, unsigned long long consumed, unsigned long long produced);
QRN_API void qrn_cctx_set_progress(qrn_cctx *cctx, qrn_progress_fn fn, void *user);
QRN_API void qrn_dctx_set_progress(qrn_dctx *dctx, qrn_progress_fn fn, void *user);

#ifdef __cplusplus
}
#endif

#endif /* QUARNIX_H */
