#include <chrono>
#include <cstring>
#include <limits>

#include "bench.h"
#include "platform/platform.h"

namespace qrn::bench {

double now_seconds()
{
    using clock = std::chrono::steady_clock;
    return std::chrono::duration<double>(clock::now().time_since_epoch()).count();
}

namespace {

constexpr uint8_t POISON = 0xA5;

// Repeats `run` after an optional warm-up: at most `runs` timed runs, fewer
// once the time spent (warm-up included) reaches the budget, at least one. A
// warm-up that alone takes the whole budget is kept as the measurement, so
// that the slowest coders are not run twice for nothing. `run` returns seconds,
// negative on failure; `again` says whether another run is worth doing.
template <typename Run, typename Again>
void best_of(const BenchOptions& o, Run run, Again again, double* best, int* runs, bool* ok)
{
    double spent = 0;
    *best = std::numeric_limits<double>::infinity();
    *runs = 0;
    if (o.warm_up) {
        const double w = run();
        if (w < 0) {
            *ok = false;
            return;
        }
        spent += w;
        if (w >= o.budget || !again()) {
            *best = w;
            *runs = 1;
            return;
        }
    }
    while (*runs < o.runs && (*runs == 0 || spent < o.budget)) {
        const double s = run();
        if (s < 0) {
            *ok = false;
            return;
        }
        spent += s;
        if (s < *best)
            *best = s;
        ++*runs;
        if (!again())
            break;
    }
}

} // namespace

void measure_trial(Trial& t, const BenchOptions& o, const InputFile& f, Row* row)
{
    const size_t n = f.data.size();
    bool ok = true;
    TrialResult result;
    // A level that declines every block has nothing to time: one run is enough.
    auto again = [&] { return result.declined_blocks < result.blocks; };
    best_of(
        o,
        [&] {
            result = TrialResult{};
            const double s = t.compress(&result);
            return result.failed ? -1.0 : s;
        },
        again, &row->compress_s, &row->compress_runs, &ok);
    row->result = result;
    row->all_stored = !result.failed && result.blocks > 0 && result.declined_blocks == result.blocks;
    if (!ok) {
        row->result.failed = true;
        row->verified = false;
        return;
    }

    // Every decompression is checked byte for byte against the input, into a
    // buffer poisoned beforehand so that stale bytes cannot pass. The buffer
    // is mapped as the program maps its block buffers (huge pages where the
    // system gives them), for quarnix and the peers alike: decoders read
    // their match sources from it, and with small pages far sources in large
    // blocks miss the address cache.
    struct Mapped {
        size_t bytes;
        uint8_t* p;
        ~Mapped() { memory_unmap(p, bytes); }
        uint8_t* data() const { return p; }
        size_t size() const { return bytes; }
    } out{n + 64, static_cast<uint8_t*>(memory_map(n + 64))};
    if (!out.p) {
        row->verified = false;
        return;
    }
    bool verified = true;
    best_of(
        o,
        [&] {
            std::memset(out.data(), POISON, out.size());
            const double s = t.decompress(out.data());
            if (s < 0 || std::memcmp(out.data(), f.data.data(), n) != 0) {
                verified = false;
                return -1.0;
            }
            return s;
        },
        again, &row->decompress_s, &row->decompress_runs, &ok);
    row->verified = ok && verified;
}

} // namespace qrn::bench
