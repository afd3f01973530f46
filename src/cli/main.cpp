#include "cli/driver.h"
#include "platform/platform.h"

namespace {

struct MainArgs {
    int argc;
    char** argv;
};

int run(void* arg)
{
    auto* a = static_cast<MainArgs*>(arg);
    return qrn::quarnix_main(a->argc, a->argv);
}

} // namespace

// The codecs keep their working arrays on the stack, so the run goes on a
// thread with a stack as large as the workers'.
int main(int argc, char** argv)
{
    qrn::program_arguments(&argc, &argv);
    qrn::interrupt_guard_start();
    MainArgs args{argc, argv};
    qrn::PlatformThread* t = qrn::thread_create(run, &args, qrn::CODEC_THREAD_STACK);
    if (!t)
        return run(&args);
    return qrn::thread_join(t);
}
