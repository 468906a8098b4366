// tag!, email! and ref! — string! with delimiters of their own around the stored text.
#include "datatypes/tag.h"

#include <algorithm>

#include "datatypes/internal.h"
#include "datatypes/registry.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "runtime/error.h"
#include "runtime/gc.h"
#include "runtime/memory.h"
#include "runtime/stack.h"
#include "runtime/text.h"

namespace kaz {
namespace {

// ---- helpers ----

// The text and, when it has one, its conversion cache.
constexpr gc::CellRefs kTextRefs{.data2 = gc::Ref::series, .data3 = gc::Ref::series_opt};

// Stops at the limit and subtracts exactly what it wrote.
constexpr auto& write = text::write_within;

// The text between `open` and `close` (either may be empty), within the limit.
int32_t delimited(const Cell& value, Node string, const Cell* part, int32_t limit, std::string_view open,
                  std::string_view close) {
    limit = write(string, open, limit);
    limit = string::form(value, string, part, limit);
    return write(string, close, limit);
}

}  // namespace

// ---- tag! ----

namespace tag {

Cell* push(const Cell& tag) { return stack::push(tag); }

int32_t mold(const Cell& value, Node string, bool, bool, bool, const Cell* part, int32_t limit, int32_t) {
    return delimited(value, string, part, limit, "<", ">");
}

int32_t form(const Cell& value, Node string, const Cell* part, int32_t limit) {
    return delimited(value, string, part, limit, "<", ">");
}

void init() {
    gc::define_refs(TypeId::tag, kTextRefs);
    registry::define(TypeId::tag, {.random = lacks, .form = form, .mold = mold, .sort = lacks, .trim = lacks});
}

}  // namespace tag

// ---- email! ----

namespace email {
namespace {

bool word_q(const Cell& c) { return type_of(c) >= TypeId::word && type_of(c) <= TypeId::get_word; }

enum class Part { none, user, host };

Part part_of(const Cell& element) {
    if (!word_q(element)) return Part::none;
    uint32_t id = symbol::canonical_id(element.data2);
    if (id == symbol::canonical_id(sym::user)) return Part::user;
    if (id == symbol::canonical_id(sym::host)) return Part::host;
    return Part::none;
}

}  // namespace

Cell* push(const Cell& email) { return stack::push(email); }

int32_t mold(const Cell& value, Node string, bool, bool, bool, const Cell* part, int32_t limit, int32_t) {
    return string::form(value, string, part, limit);
}

Cell eval_path(const Cell& parent, const Cell& element, const Cell* value, const PathStep& step) {
    if (is(element, TypeId::integer)) return string::eval_path(parent, element, value, step);
    const Part which = part_of(element);
    if (which == Part::none) error::raise(ErrorId::script_invalid_path, step.path ? *step.path : cell::none(), element);

    Cell address = parent;
    const uint32_t length = string::length_from_head(address);
    const int32_t at = string::find_char(address, '@');
    // Code points from the head: the user part is [0, end), the host part [end + 1, length).
    const uint32_t end = at < 0 ? length : uint32_t(at);
    const uint32_t start = which == Part::user ? 0 : std::min(end + 1, length);
    const uint32_t count = which == Part::user ? end : length - start;
    if (!value) {
        Node copy = series::copy_range(address.data2, address.data1 + start, count);
        return cell::make(TypeId::string, 0, copy, 0);
    }
    // A host given to an address without "@" goes after one: the parts stay apart.
    if (which == Part::host && at < 0) string::add_code_point(memory::buffer_of(address.data2), '@');
    Cell from = address;
    from.data1 = address.data1 + (which == Part::host && at < 0 ? length + 1 : start);
    string::change(from, *value, int32_t(count), false, 1, false);
    return *value;
}

void init() {
    gc::define_refs(TypeId::email, kTextRefs);
    registry::define(TypeId::email, {.random = lacks, .mold = mold, .eval_path = eval_path, .sort = lacks,
                                     .trim = lacks});
}

}  // namespace email

// ---- ref! ----

namespace ref {

Cell* push(const Cell& ref) { return stack::push(ref); }

int32_t mold(const Cell& value, Node string, bool, bool, bool, const Cell* part, int32_t limit, int32_t) {
    return delimited(value, string, part, limit, "@", "");
}

void init() {
    gc::define_refs(TypeId::ref, kTextRefs);
    registry::define(TypeId::ref, {.random = lacks, .mold = mold, .eval_path = lacks, .append = lacks,
                                   .put = lacks, .sort = lacks, .trim = lacks});
}

}  // namespace ref
}  // namespace kaz
