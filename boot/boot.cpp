#include "boot/boot.h"

#include <cfenv>

#include "boot/hooks.h"
#include "boot/runner.h"
#include "boot/startup.h"


#include "datatypes/binary.h"
#include "datatypes/bitset.h"
#include "datatypes/block.h"
#include "datatypes/char.h"
#include "datatypes/context.h"
#include "datatypes/date.h"
#include "datatypes/error.h"
#include "datatypes/file.h"
#include "datatypes/float.h"
#include "datatypes/function.h"
#include "datatypes/handle.h"
#include "datatypes/image.h"
#include "datatypes/hash.h"
#include "datatypes/integer.h"
#include "datatypes/internal.h"
#include "datatypes/issue.h"
#include "datatypes/logic.h"
#include "datatypes/map.h"
#include "datatypes/money.h"
#include "datatypes/object.h"
#include "datatypes/ownership.h"
#include "datatypes/pair.h"
#include "datatypes/path.h"
#include "datatypes/percent.h"
#include "datatypes/point.h"
#include "datatypes/port.h"
#include "datatypes/registry.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/tag.h"
#include "datatypes/time.h"
#include "datatypes/triple.h"
#include "datatypes/tuple.h"
#include "datatypes/typeset.h"
#include "datatypes/vector.h"
#include "datatypes/word.h"
#include "evaluator/actions.h"
#include "evaluator/interp.h"
#include "evaluator/lexer.h"
#include "evaluator/natives.h"
#include "evaluator/natives_system.h"
#include "evaluator/parse.h"
#include "evaluator/port_actions.h"
#include "platform/process.h"
#include "runtime/case_fold.h"
#include "runtime/console.h"
#include "runtime/cycles.h"
#include "runtime/gc.h"
#include "runtime/memory.h"
#include "runtime/random.h"
#include "runtime/resource.h"
#include "runtime/stack.h"
#include "runtime/throw.h"
#include "services/checksum.h"
#include "services/natives.h"

namespace kaz::boot {

Node root = kNoNode;

namespace {

// A type whose module does not exist yet is known by its name and parent, with no actions;
// the collector is told what its cells name (the lexer and the runtime make some already).
void define_plain(TypeId id, const gc::CellRefs& refs = {}) {
    gc::define_refs(id, refs);
    registry::define(id, exactly(ActionTable{}));
}


// ORDER REGISTRATION: parents before their children; event! registers after the environment.
void register_datatypes() {
    datatype::init();
    unset::init();
    none::init();
    logic::init();
    series_::init();
    block::init();
    string::init();
    binary::init();
    integer::init();
    symbol::init();
    context::init();
    word::init();  // word!, set-word!, lit-word!, get-word!, refinement!
    char_::init();
    function::init();  // native!, action!, op!, function!, routine! (function! after context!)
    path::init();  // path!, lit-path!, set-path!, get-path!
    paren::init();
    issue::init();
    url::init();
    file::init();
    object::init();
    bitset::init();
    triple::init();
    float_::init();
    typeset::init();
    error::init();
    vector::init();  // after string!: it installs char!'s vector arithmetic
    map::init();
    hash::init();
    pair::init();
    percent::init();  // after float!
    tuple::init();
    time::init();
    tag::init();
    email::init();
    handle::init();
    date::init();
    port::init();
    money::init();
    ref::init();
    point::init();  // point2D!, point3D!
    image::init();
}

// A block cell in the root block over a fixed series of `cells` cells.
Node make_fixed_in_root(uint32_t cells) {
    Node n = series::alloc_heap(cells, 16);
    SeriesBuffer* r = memory::buffer_of(root);
    *series::reserve_cell(r) = cell::make(TypeId::block, 0, n, 0);
    return n;
}

}  // namespace

void run_runtime() {
    // Module statics.
    cycles::init();

    // The runtime boot.
    print_hooks::init();
    console::init();
    random::init();
    memory::init();
    resource::init();
    registry::init();
    register_datatypes();
    node_frame::alloc();
    series_frame::alloc();
    root = series::alloc_heap(kRootCells, 16);
    Node data_block = make_fixed_in_root(stack::kDataCells);
    Node frames_block = make_fixed_in_root(stack::kFrameCells);
    symbol::make_block(root);
    context::make_global();
    case_::init_tables();  // before the symbol table: case aliases and hashing fold with it
    symbol::make_table();
    registry::set_word_maker([](const char* name) { return word::from_c_string(name); });
    for (int t = 1; t <= int(registry::max_id()); ++t) {  // the datatype words
        Cell w = registry::type_name(TypeId(t)).word;
        if (is(w, TypeId::word)) word::set(w, cell::datatype(TypeId(t)));
    }
    internal::init_runtime();
    internal::init_refinements();
    internal::init_issues();
    error::make_catalog(root);
    install_hooks();            // from here on, raised errors are error! objects
    error::prepare_no_memory();
    parse::init(root);          // PARSE's two shared stacks, kept in the root block
    natives::init();
    actions::init_entries();
    port_actions::init();  // wraps the entries a port! takes
    ownership::init();
    checksum::init();  // the method words
    service_natives::init();  // the compression method words
    stack::init(data_block, frames_block);
    interp::init();
    value_slots::init();
    gc::init();
    gc::add_root(root);
    natives::register_gc_roots();
}

void run() {
    run_runtime();
    startup::run();
    // After every definition of the environment proper, before the GUI engine's: event!, as a
    // type with no actions until that engine gives it its own.
    define_plain(TypeId::event);
}

namespace {
// A low-level throw that nothing else took ends here.
[[noreturn]] void outermost_handler() {
    runtime::quit(95, runtime::report_address(reinterpret_cast<const void*>(&outermost_handler)));
}
}  // namespace

int main_entry(int argc, char** argv) {
    // The collector scans the runtime thread's stack up to here.
    gc::set_stack_high_end(__builtin_frame_address(0));
    // Nested blocks and parens take no frame: their depth is bounded on the C++ stack, with
    // room left below the bound for the deepest native work and the error report.
    interp::state.stack_floor = static_cast<const char*>(__builtin_frame_address(0)) - kNestingStack;
    // Every exception masked, round to nearest: float arithmetic never traps.
    std::fesetenv(FE_DFL_ENV);
    try {
        run();
        gc::set_enabled(true);
        return runner::run(argc, argv);
    } catch (const Throw&) {
        outermost_handler();
    }
}

}  // namespace kaz::boot
