#include "boot/boot.h"

#include <cfenv>

#include "datatypes/registry.h"
#include "platform/process.h"
#include "runtime/case_fold.h"
#include "runtime/cycles.h"
#include "runtime/memory.h"
#include "runtime/resource.h"
#include "runtime/stack.h"
#include "runtime/throw.h"

namespace kaz::boot {

Node root = kNoNode;

namespace {

struct TypeInfo {
    const char* name;
    TypeId parent;
};
constexpr TypeInfo kTypes[kTypeCapacity] = {
    {},
#define KAZ_TYPE(id, cname, name, parent) {name, TypeId(parent)},
#include "runtime/types.def"
#undef KAZ_TYPE
};

// A type whose module does not exist yet is known by its name and parent, with no actions.
void define_plain(TypeId id) {
    registry::define(id, kTypes[size_t(id)].parent, kTypes[size_t(id)].name, {});
}

// ORDER REGISTRATION: parents before their children; event! registers with the GUI engine.
void register_datatypes() {
    datatype::init();
    for (TypeId id : {TypeId::unset, TypeId::none, TypeId::logic, TypeId::series, TypeId::block,
                      TypeId::string, TypeId::binary, TypeId::integer, TypeId::symbol,
                      TypeId::context, TypeId::word, TypeId::lit_word, TypeId::set_word,
                      TypeId::get_word, TypeId::refinement, TypeId::char_, TypeId::native,
                      TypeId::action, TypeId::op, TypeId::path, TypeId::lit_path,
                      TypeId::set_path, TypeId::get_path, TypeId::function, TypeId::routine,
                      TypeId::paren, TypeId::issue, TypeId::url, TypeId::file, TypeId::object,
                      TypeId::bitset, TypeId::triple, TypeId::float_, TypeId::typeset,
                      TypeId::error, TypeId::vector, TypeId::map, TypeId::hash, TypeId::pair,
                      TypeId::percent, TypeId::tuple, TypeId::time, TypeId::tag, TypeId::email,
                      TypeId::handle, TypeId::date, TypeId::port, TypeId::money, TypeId::ref,
                      TypeId::point2d, TypeId::point3d, TypeId::image})
        define_plain(id);
}

// A block cell in the root block over a fixed series of `cells` cells.
Node make_fixed_in_root(uint32_t cells) {
    Node n = series::alloc_heap(cells, 16);
    SeriesBuffer* r = memory::buffer_of(root);
    *series::reserve_cell(r) = cell::make(TypeId::block, 0, n, 0);
    return n;
}

}  // namespace

void run() {
    // Module statics.
    cycles::init();

    // The runtime boot.
    print_hooks::init();
    memory::init();
    resource::init();
    registry::init();
    register_datatypes();
    node_frame::alloc();
    series_frame::alloc();
    root = series::alloc_heap(kRootCells, 16);
    Node data_block = make_fixed_in_root(stack::kDataCells);
    Node frames_block = make_fixed_in_root(stack::kFrameCells);
    case_::init_tables();  // before the symbol table: case aliases and hashing fold with it
    stack::init(data_block, frames_block);
    value_slots::init();
}

namespace {
// A low-level throw that nothing else took ends here.
[[noreturn]] void outermost_handler() {
    runtime::quit(95, runtime::report_address(reinterpret_cast<const void*>(&outermost_handler)));
}
}  // namespace

int main_entry(int /*argc*/, char** /*argv*/) {
    // Every exception masked, round to nearest: float arithmetic never traps.
    std::fesetenv(FE_DFL_ENV);
    try {
        run();
        return 0;
    } catch (const Throw&) {
        outermost_handler();
    }
}

}  // namespace kaz::boot
