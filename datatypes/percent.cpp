// percent! — float!'s cell and actions with a text form of its own.
#include "datatypes/percent.h"

#include <algorithm>
#include <string_view>

#include "datatypes/float.h"
#include "datatypes/registry.h"
#include "runtime/memory.h"
#include "runtime/stack.h"
#include "runtime/text.h"

namespace kaz::percent {

void set_return(double value) { init_cell(stack::base[0], value); }

Cell& init_cell(Cell& c, double value) {
    cell::set_type(c, TypeId::percent);
    cell::put_float(c, value);
    return c;
}

Cell& init_words(Cell& c, uint32_t high, uint32_t low) {
    cell::set_type(c, TypeId::percent);
    c.data2 = low;
    c.data3 = high;
    return c;
}

Cell* make_in_block(Node block, uint32_t high, uint32_t low) {
    SeriesBuffer* b = memory::buffer_of(block);
    Cell* c = series::reserve_cell(b);
    *c = cell::make(TypeId::percent, 0, low, high);
    return c;
}

Cell* push(double value) {
    Cell c = cell::make(TypeId::percent);
    cell::put_float(c, value);
    return stack::push(c);
}

// ---- actions ----

int32_t form(const Cell& value, Node string, const Cell*, int32_t limit) {
    // The formatter trims the noise that scaling by 100 leaves: 0.1% is 0.1%, not 0.1000...01%.
    float_::Text t = float_::format(get(value) * 100.0, float_::FormatKind::percent);
    std::string_view s = t.view().substr(0, size_t(std::max(limit, 0)));
    text::append_ascii(string, s);
    return limit - int32_t(s.size());
}

int32_t mold(const Cell& value, Node string, bool, bool, bool, const Cell* part, int32_t limit, int32_t) {
    return form(value, string, part, limit);
}

// ---- registration ----

void init() { registry::define(TypeId::percent, {.form = form, .mold = mold}); }

}  // namespace kaz::percent
