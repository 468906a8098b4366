// datatype! — values that name a datatype; and the registry of every type.
#include "datatypes/registry.h"

#include <cstring>

#include "runtime/hashtable.h"
#include "runtime/heap.h"
#include "runtime/memory.h"
#include "runtime/stack.h"
#include "runtime/text.h"

namespace kaz {
namespace registry {
namespace {

// Each type's name and parent, as types.def lists them.
struct Listed {
    const char* name;
    TypeId parent;
};
constexpr Listed kListed[kTypeCapacity] = {
    {},
#define KAZ_TYPE(id, cname, name, parent) {name, TypeId(parent)},
#include "runtime/types.def"
#undef KAZ_TYPE
};

TypeName* names = nullptr;
TypeId highest = TypeId::invalid;
Cell (*word_maker)(const char* name) = nullptr;

}  // namespace

ActionTable* action_rows = nullptr;

void init() {
    heap::free(names);
    heap::free(action_rows);
    names = static_cast<TypeName*>(heap::alloc_zeroed(kTypeCapacity * sizeof(TypeName)));
    action_rows = static_cast<ActionTable*>(heap::alloc_zeroed(kTypeCapacity * sizeof(ActionTable)));
    highest = TypeId::invalid;
    word_maker = nullptr;
}

void define(TypeId id, const OwnActions& actions) {
    const char* name = kListed[size_t(id)].name;
    TypeId parent = kListed[size_t(id)].parent;
    if (id > highest) highest = id;
    TypeName& n = names[size_t(id)];
    n.name = name;
    n.name_length = uint32_t(std::strlen(name) - 1);
    n.word = word_maker ? word_maker(name) : cell::unset();

    // With no parent there is nothing to inherit: the type lacks what it leaves out.
    static constexpr ActionTable kNone{};
    const ActionTable& from = parent == TypeId::invalid ? kNone : action_rows[size_t(parent)];
    ActionTable& row = action_rows[size_t(id)];
#define KAZ_ACTION(slot, cname, name, signature, ...) row.cname = actions.cname.resolve(from.cname);
#include "datatypes/actions.def"
#undef KAZ_ACTION
}

const TypeName& type_name(TypeId id) { return names[size_t(id)]; }
TypeId max_id() { return highest; }
bool registered_q(TypeId id) { return names[size_t(id)].name != nullptr; }

std::string_view name_of(TypeId id, bool with_bang) {
    const TypeName& n = names[size_t(id)];
    if (!n.name) return {};
    return {n.name, with_bang ? n.name_length + 1 : n.name_length};
}

void set_word_maker(Cell (*maker)(const char* name)) {
    word_maker = maker;
    for (int i = 1; i <= int(highest); ++i)
        if (names[i].name) names[i].word = maker(names[i].name);
}

}  // namespace registry

namespace datatype {

Cell* make_in_block(Node block, TypeId id) {
    SeriesBuffer* b = memory::buffer_of(block);
    Cell* c = series::reserve_cell(b);
    *c = cell::datatype(id);
    return c;
}

Cell* push(TypeId id) { return stack::push(cell::datatype(id)); }

int32_t form(const Cell& value, Node string, const Cell*, int32_t limit) {
    auto id = TypeId(value.data1);
    text::append_ascii(string, registry::name_of(id, false));
    return limit - int32_t(registry::type_name(id).name_length);
}

int32_t mold(const Cell& value, Node string, bool, bool all, bool, const Cell*, int32_t limit,
             int32_t) {
    auto id = TypeId(value.data1);
    if (all) text::append_ascii(string, "#(");
    text::append_ascii(string, registry::name_of(id, true));
    if (all) text::append_ascii(string, ")");
    return limit - int32_t(registry::type_name(id).name_length + 1) - (all ? 3 : 0);
}

int32_t compare(const Cell& a, const Cell& b, CompareOp op) {
    if (!equality_q(op)) return kNotComparable;
    return is(b, TypeId::datatype) && a.data1 == b.data1 ? 0 : 1;
}

void init() {
    registry::define(TypeId::datatype, {.form = form, .mold = mold, .compare = compare});
}

}  // namespace datatype
}  // namespace kaz
