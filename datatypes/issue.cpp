// issue! — constructors, make and to, mold and comparison; form is the word's.
#include "datatypes/issue.h"

#include "datatypes/context.h"
#include "datatypes/integer.h"
#include "datatypes/registry.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "runtime/memory.h"
#include "runtime/stack.h"
#include "runtime/text.h"

namespace kaz::issue {
namespace {

// ---- helpers ----

Cell of_symbol(uint32_t symbol) {
    return cell::make(TypeId::issue, context::global, symbol, word::kNoIndex);
}

// The word kinds an issue is made from by changing the type alone.
bool word_family_q(TypeId t) { return word::any_word_type_q(t); }

}  // namespace

Cell from_c_string(const char* name) { return of_symbol(symbol::intern(name)); }

Cell& init_cell(Cell& c, const char* name) {
    c = from_c_string(name);
    return c;
}

Cell* make_in_block(Node block, const char* name) {
    Cell issue = from_c_string(name);
    SeriesBuffer* b = memory::buffer_of(block);
    Cell* c = series::reserve_cell(b);
    *c = issue;
    return c;
}

Cell* push(const Cell& word) {
    Cell c = word;
    c.header = uint32_t(TypeId::issue);
    return stack::push(c);
}

int32_t to_integer(const Cell& issue) { return integer::issue_to_integer(symbol::name(issue.data2), issue); }

// ---- actions ----

Cell make(const Cell& proto, const Cell& spec, TypeId type) {
    TypeId t = type_of(spec);
    if (t == TypeId::string) return of_symbol(symbol::from_string(spec));
    if (t == TypeId::char_) {
        Cell s = string::make_cell(1);
        string::add_code_point(memory::buffer_of(s.data2), spec.data2);
        return of_symbol(symbol::from_string(s));
    }
    if (word_family_q(t)) {
        Cell c = spec;
        c.header = uint32_t(TypeId::issue);
        return c;
    }
    MakeAction word_make = registry::actions(TypeId::word).make;
    Cell c = word_make(proto, spec, type);
    c.header = uint32_t(TypeId::issue);
    return c;
}

int32_t mold(const Cell& value, Node string, bool, bool, bool, const Cell* part, int32_t limit,
             int32_t) {
    text::append_ascii(string, "#");
    return word::form(value, string, part, limit - 1);
}

int32_t compare(const Cell& a, const Cell& b, CompareOp op) {
    if (!is(b, TypeId::issue)) return kNotComparable;
    return word::compare(a, b, op);
}

// ---- registration ----

void init() {
    registry::define(TypeId::issue, {.make = make, .to = make, .mold = mold, .compare = compare,
                                     .index_q = lacks});
}

}  // namespace kaz::issue
