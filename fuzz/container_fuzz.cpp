// The container reader on arbitrary bytes: header checks, record fields and
// every method's decoder through the inline pipeline.
#include <cstdint>
#include <cstdio>
#include <string>
#include <unistd.h>

#include "container/errors.h"
#include "container/pipeline.h"

namespace {

std::string scratch_path(const char* what)
{
    return "/tmp/qrn-fuzz-" + std::to_string(getpid()) + "-" + what;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const std::string in_path = scratch_path("in.qrn");
    static const std::string out_path = scratch_path("out");
    qrn::error_sink = [](int, const char*) {};
    FILE* f = std::fopen(in_path.c_str(), "wb");
    if (!f)
        return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);

    qrn::Pipeline p;
    p.decompress = true;
    p.force = true;
    qrn::pipeline_start(p, 0, 1);
    qrn::decompress_file(p, in_path.c_str(), out_path.c_str());
    qrn::pipeline_stop(p);
    std::remove(out_path.c_str());
    return 0;
}
