// The runtime's tests run on the runtime alone, started as the kaz executable starts it up to
// the datatypes: no datatype, word or evaluator exists here.
#include <gtest/gtest.h>

#include "runtime/case_fold.h"
#include "runtime/console.h"
#include "runtime/cycles.h"
#include "runtime/gc.h"
#include "runtime/memory.h"
#include "runtime/random.h"
#include "runtime/resource.h"
#include "runtime/stack.h"

namespace {

constexpr uint32_t kRootCells = 1024;

kaz::Node fixed_in_root(kaz::Node root, uint32_t cells) {
    using namespace kaz;
    Node n = series::alloc_heap(cells, 16);
    SeriesBuffer* r = memory::buffer_of(root);
    *series::reserve_cell(r) = cell::make(TypeId::block, 0, n, 0);
    return n;
}

void start_runtime() {
    using namespace kaz;
    cycles::init();
    print_hooks::init();
    console::init();
    random::init();
    memory::init();
    resource::init();
    node_frame::alloc();
    series_frame::alloc();
    Node root = series::alloc_heap(kRootCells, 16);
    Node data = fixed_in_root(root, stack::kDataCells);
    Node frames = fixed_in_root(root, stack::kFrameCells);
    case_::init_tables();
    stack::init(data, frames);
    value_slots::init();
    gc::init();
    gc::add_root(root);
    // The tests build blocks, strings and binaries without the datatypes: the collector is told
    // what those cells name, as their modules tell it in the whole system.
    for (TypeId t : {TypeId::block, TypeId::paren, TypeId::path, TypeId::lit_path, TypeId::set_path,
                     TypeId::get_path})
        gc::define_refs(t, {.data2 = gc::Ref::block});
    for (TypeId t : {TypeId::string, TypeId::file, TypeId::url, TypeId::tag, TypeId::email, TypeId::ref})
        gc::define_refs(t, {.data2 = gc::Ref::series, .data3 = gc::Ref::series_opt});
    gc::define_refs(TypeId::binary, {.data2 = gc::Ref::series});
    gc::define_refs(TypeId::hash, {.data2 = gc::Ref::block, .data3 = gc::Ref::table});
    gc::define_refs(TypeId::map, {.data2 = gc::Ref::block, .data3 = gc::Ref::table});
}

}  // namespace

int main(int argc, char** argv) {
    // The collector scans this thread's stack up to here, as it does the runtime thread's.
    kaz::gc::set_stack_high_end(__builtin_frame_address(0));
    testing::InitGoogleTest(&argc, argv);
    start_runtime();
    kaz::gc::set_enabled(true);
    return RUN_ALL_TESTS();
}
