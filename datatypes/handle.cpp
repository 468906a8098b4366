// handle! — a native handle with its kind: formed in hexadecimal, compared by value.
#include "datatypes/handle.h"

#include <iterator>
#include <string_view>

#include "datatypes/cells.h"
#include "datatypes/registry.h"
#include "datatypes/string.h"
#include "runtime/gc.h"
#include "runtime/text.h"

namespace kaz::handle {
namespace {

// ORDER HANDLE-KIND: kind 0 has no name in the text form.
constexpr std::string_view kKindNames[] = {"", "fd", "monitor", "window", "font", "rich-text"};

using text::write;

}  // namespace

Cell make(uint32_t value, Kind kind, int32_t resource) {
    return handle_cell::make(int32_t(kind), value, resource);
}

// ---- actions ----

int32_t form(const Cell& value, Node string, const Cell*, int32_t limit) {
    limit = write(string, string::int_to_hex(int32_t(handle_cell::value(value)), false).view(), limit);
    return write(string, "h", limit);
}

int32_t mold(const Cell& value, Node string, bool, bool all, bool, const Cell* part, int32_t limit, int32_t) {
    if (!all) return write(string, "handle!", limit);
    limit = write(string, "#[handle! ", limit);
    limit = form(value, string, part, limit);
    int32_t kind = handle_cell::kind(value);
    if (kind > 0 && kind < int32_t(std::size(kKindNames))) {
        limit = write(string, " ", limit);
        limit = write(string, kKindNames[kind], limit);
    }
    return write(string, "]", limit);
}

int32_t compare(const Cell& a, const Cell& b, CompareOp) {
    if (!is(b, TypeId::handle)) return 1;
    auto x = int32_t(handle_cell::value(a)), y = int32_t(handle_cell::value(b));
    return x < y ? -1 : x > y ? 1 : 0;
}

// ---- registration ----

void init() {
    gc::define_refs(TypeId::handle, {.visit = [](const Cell& c, const gc::RefVisitor& v) {
        if (handle_cell::resource(c) >= 0) v.resource(handle_cell::resource(c));
    }});
    // Nothing of integer!, its parent, but showing and comparing.
    registry::define(TypeId::handle, exactly(ActionTable{.form = form, .mold = mold, .compare = compare}));
}

}  // namespace kaz::handle
