// The container readers on arbitrary bytes: header checks, integrity fields,
// record fields and every method's decoder through the pipeline, and the
// record walk of --list. The first byte picks the variant: bit 0 rewrites a
// header that has the magic with complete integrity fields (the length from
// the bytes behind it), bit 1 decodes on one worker thread, bit 2 only tests
// (writes nothing).
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

#include "pipeline/pipeline.h"
#include "container/summary.h"

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
    if (size == 0)
        return 0;
    const uint8_t variant = data[0];
    std::string bytes(reinterpret_cast<const char*>(data + 1), size - 1);
    auto* header = reinterpret_cast<uint8_t*>(bytes.data());
    qrn::ContainerHeader h;
    if ((variant & 1) && bytes.size() >= qrn::HEADER_SIZE &&
        qrn::container_header_decode(header, &h) != qrn::HeaderCheck::NotContainer) {
        h.fields.state = qrn::INTEGRITY_COMPLETE;
        h.fields.length = bytes.size() > 40 ? static_cast<uint8_t>(bytes[39]) * 4099u : 0;
        h.fields.checksum = 0;
        qrn::container_header_encode(h, header);
    }
    FILE* file = std::fopen(in_path.c_str(), "wb");
    if (!file)
        return 0;
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::fclose(file);

    qrn::Pipeline p;
    p.decompress = true;
    p.force = true;
    p.test_only = (variant & 4) != 0;
    qrn::pipeline_start(p, (variant & 2) ? 1 : 0, 2);
    qrn::decompress_file(p, in_path.c_str(), out_path.c_str());
    qrn::pipeline_stop(p);
    std::remove(out_path.c_str());

    if (qrn::PlatformFile* in = qrn::file_open_input(in_path.c_str())) {
        qrn::ContainerSummary s;
        qrn::container_summarize(in, &s);
        qrn::file_close(in);
    }
    return 0;
}
