// kaz: the executable.
#include "boot/boot.h"
#include "platform/process.h"
#include "runtime/throw.h"

namespace {

struct Args {
    int argc;
    char** argv;
};

int runtime_thread(void* p) {
    auto* args = static_cast<Args*>(p);
    return kaz::boot::main_entry(args->argc, args->argv);
}

}  // namespace

int main(int argc, char** argv) {
    kaz::platform::install_fault_handlers(kaz::runtime::quit_from_fault);
    Args args{argc, argv};
    int code = kaz::platform::run_on_big_stack(runtime_thread, &args, kaz::boot::kRuntimeStack);
    kaz::platform::exit_process(code);
}
