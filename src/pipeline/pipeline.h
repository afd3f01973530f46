// The compression and decompression pipelines: the main thread reads blocks
// (or records) and queues them; worker threads code them and write them in
// the order they were queued.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "codecs/codec_call.h"
#include "codecs/codec_plan.h"
#include "common/status.h"
#include "container/checksum.h"
#include "container/container_format.h"
#include "pipeline/job_queue.h"
#include "pipeline/messages.h"
#include "pipeline/queued_block.h"
#include "platform/platform.h"

namespace qrn {

constexpr int MAX_THREADS = 32;
// Data that coded blocks waiting for their turn may hold in all (one block
// may always wait, whatever its size).
constexpr size_t PARK_BYTES = size_t{64} << 20;

// What compressing a file asks for; the block size and filter of each file
// follow from these and the file.
struct CompressSettings {
    CodecPlan plan;            // the method and level, and their rules
    int32_t hash_bits = 0;     // log2 of the hash-table entries of levels 0..2
    uint32_t block_size = 0;   // -b in bytes; 0: the plan's rule
    uint64_t memory = 0;       // what the plan may count on (0: physical_memory())
};

// One file on its way through a pipeline, from the producer that opens it to
// the block that finishes it in write order. Whoever fails one of its blocks
// marks it failed with a status; the finishing block then removes the output
// and names the file.
struct OutputFile {
    PlatformFile* file = nullptr;   // null when only testing (nothing written)
    std::string name;               // the input's name, for messages
    FileMeta meta;                  // the input's permission bits and times
    const MessageSink* messages = nullptr;   // the run's
    std::atomic<bool> failed{false};
    std::mutex failure_mutex;
    Status failure;                 // set by the one that marked it failed (failure_mutex)

    // The file's settings, once for all its blocks. Compressing: the header
    // is rewritten at `header_offset` with complete integrity fields when the
    // file ends; the producer keeps `length` and `hash` over the original
    // content. Decompressing: the header as read; the writer keeps `length`
    // and `hash` over the restored content, in order.
    ContainerHeader header;
    int64_t header_offset = -1;
    bool header_deferred = false;   // the header goes out with the first record
    uint64_t length = 0;
    ContentHashPtr hash;
};

// A block that a worker has coded (or the end of a file), on its way to
// being written in `seq` order.
struct Finished {
    uint32_t seq = 0;
    OutputFile* out = nullptr;
    const uint8_t* data = nullptr;   // null: nothing to write (a failed block)
    uint32_t length = 0;
    uint8_t* buffer = nullptr;       // released once written
    bool end_of_file = false;        // the file's output is finished after it
};

struct Pipeline {
    // Run settings.
    MessageSink messages;     // where every message goes (none: nothing said)
    bool from_stdin = false;
    bool to_stdout = false;
    bool force = false;
    bool decompress = false;
    bool test_only = false;   // decompress and check, write nothing

    JobQueue queue;
    std::vector<PlatformThread*> workers;
    int thread_count = 0;
    std::atomic<int> coding{0};    // workers coding a block now

    // Write order, shared by all files of the run.
    uint32_t job_seq_counter = 0;  // main thread only
    std::mutex write_mutex;
    std::condition_variable write_turn;
    uint32_t next_write_seq = 0;   // guarded by write_mutex
    std::vector<Finished> parked;  // coded blocks waiting for their turn (write_mutex)
    size_t parked_bytes = 0;       // their data (write_mutex)
    size_t park_limit = 1;         // how many may wait at most

    std::atomic<int> failed_files{0};  // files not processed in full

    // Progress, in input bytes (compression: the files' bytes; decompression:
    // the records' payloads): queued by the main thread so far, and coded by
    // the workers (level 9 counts a block's bytes as its parse passes them).
    uint64_t read_bytes = 0;           // main thread only
    std::atomic<uint64_t> coded_bytes{0};

    // Compression: the memory that blocks being coded may need at once (by
    // their plan's rule); 0: no limit. A block waits until its need fits
    // beside the others' (one block alone always goes).
    uint64_t coding_memory = 0;
    std::mutex coding_mutex;
    std::condition_variable coding_turn;
    uint64_t coding_in_use = 0;   // coding_mutex
};

// Sets up the queue (capacity) and starts `threads` workers of the run's
// direction. Returns 0, or -1 when a thread could not be started.
int pipeline_start(Pipeline& p, int threads, int capacity);
// Queues one stop block per worker and waits for all of them.
void pipeline_stop(Pipeline& p);

// Compresses one input into one container. The status of what the reading
// side saw (a block that fails on a worker fails the file in write order,
// counted in `failed_files`); fatal when the output could not be created.
Status compress_file(Pipeline& p, const CompressSettings& settings, const char* in_name, const char* out_name);
// Restores one container. Results as for compress_file.
Status decompress_file(Pipeline& p, const char* in_name, const char* out_name);
// The same for files named within open directories (a walked tree); messages
// name them by their places' full paths.
Status compress_file_at(Pipeline& p, const CompressSettings& settings, const FilePlace& in, const FilePlace& out);
Status decompress_file_at(Pipeline& p, const FilePlace& in, const FilePlace& out);
// The sequence number of the next block to be queued, and whether every
// block queued before `mark` has been written.
uint32_t pipeline_queued(const Pipeline& p);
bool pipeline_written(Pipeline& p, uint32_t mark);

// Thread body of every worker: takes blocks until a stop block, codes each
// in the run's direction and hands it over to be written in order.
int pipeline_worker(void* pipeline);
// One queued block, filtered and compressed, or decompressed and unfiltered;
// its input buffer is released or becomes the result's buffer.
// `progress` hears how far a long block's parse has come.
Finished compress_block(const QueuedBlock& b, BlockProgress* progress);
Finished decompress_block(const QueuedBlock& b, BlockProgress* progress);

// Shared by both directions (pipeline_common.cpp).

// Marks the file failed; the first status given is the one reported.
void file_mark_failed(OutputFile* out, const Status& why);
// The status the file was marked failed with (Ok when it was not).
Status file_failure(OutputFile* out);
// Finishes a file in write order: checks and stamps its integrity fields,
// gives the output its input's permissions and times and closes it; a failed
// output is removed and the file named in a message. Counts failed files.
void file_finish(Pipeline& p, OutputFile* out);
// Says that file NAME was not processed, and why.
void say_file_failure(const MessageSink& sink, const std::string& name, const std::string& reason);
// Hands a coded block over to be written in order. The worker that delivers
// the next block to write writes it, then every parked block that follows
// it; a block that is not next is parked, so that its worker goes on coding
// (beyond `park_limit` parked blocks, or PARK_BYTES of their data, the worker
// waits for its turn instead).
void deliver(Pipeline& p, const Finished& f);
// Queues the block that closes a file's output after its last one.
void queue_end_of_file(Pipeline& p, OutputFile* out);
// Opens the input (or takes standard input); null, with `why` set and said,
// when it cannot.
PlatformFile* open_input(const Pipeline& p, const FilePlace& in, Status* why);
// Reports error 102 or 103 with the current errno and returns its status.
Status report_write_failure(const MessageSink& sink);
Status report_read_failure(const MessageSink& sink);
// Creates the output (or takes standard output, or nothing when only
// testing), saying why on failure; null then.
OutputFile* open_output(const Pipeline& p, PlatformFile* in, const char* in_name, const FilePlace& out_place);
// Closes the input of a file whose output could not be created, and says so:
// the run cannot go on.
Status output_refused(PlatformFile* in);
// Writes the header as it stands (the file marked failed and error 102
// reported on a short write: false then).
bool output_header(OutputFile* out);
// Writes a compressed record in order (behind the header, when that was
// deferred: complete when the record ends the file). False on a short write
// (error 102 reported, the file marked failed).
bool output_record(OutputFile* out, const uint8_t* data, uint32_t bytes, bool ends_file);
// Writes restored data in order: counts and checksums it when the container
// has integrity fields, and writes it unless only testing. False on a short
// write (error 102 reported, the file marked failed).
bool output_restored(OutputFile* out, const uint8_t* data, uint32_t bytes);

} // namespace qrn
