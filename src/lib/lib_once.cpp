// Process-wide preparation for the library. Each table or choice is made
// once, by whichever context needs it first; contexts that come later (in
// any thread) wait for it and then only read.
#include <mutex>

#include "ans/ans.h"
#include "codecs/m3/m3.h"
#include "codecs/m4/m4.h"
#include "container/checksum.h"
#include "lib/lib_internal.h"
#include "parse/segment_pool.h"

namespace qrn {

namespace {

std::once_flag probe_once, decoder_once, encoder_once;
int processor_level = 0;

// A library says nothing and never ends the process: a refused segment or
// region just fails the block, which is then stored raw.
void pool_notice_silent(PoolNotice) {}

void probe()
{
    std::call_once(probe_once, [] {
        processor_level = cpu_feature_level();
        content_hash_select(processor_level);
        pool_notice = pool_notice_silent;
    });
}

} // namespace

void lib_prepare_decoding()
{
    probe();
    std::call_once(decoder_once, [] { ansc_select_decoder(processor_level); });
}

void lib_prepare_encoding(int method, int level)
{
    probe();
    if (method == 3)
        std::call_once(encoder_once, [] { ansc_select_encoder(processor_level); });
    // These fill their price tables once themselves.
    if (method == 3 && level == 9)
        m3_prepare_level9();
    if (method == 4 && level == 9)
        m4_prepare_level9();
}

} // namespace qrn
