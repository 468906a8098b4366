// triple! — an inert scalar of three integers: it can only be formed and molded.
#include "datatypes/triple.h"

#include <string_view>

#include "datatypes/integer.h"
#include "datatypes/registry.h"
#include "runtime/text.h"

namespace kaz::triple {
namespace {

using text::write;

int32_t write_integer(Node string, uint32_t word, int32_t limit) {
    return write(string, integer::format_decimal(int32_t(word)).view(), limit);
}

}  // namespace

// ---- actions ----

int32_t form(const Cell& value, Node string, const Cell*, int32_t limit) {
    limit = write(string, "make triple! [", limit);
    limit = write_integer(string, value.data1, limit);
    limit = write(string, " ", limit);
    limit = write_integer(string, value.data2, limit);
    limit = write(string, " ", limit);
    limit = write_integer(string, value.data3, limit);
    return write(string, "]", limit);
}

int32_t mold(const Cell& value, Node string, bool, bool, bool, const Cell* part, int32_t limit,
             int32_t) {
    return form(value, string, part, limit);
}

void init() {
    registry::define(TypeId::triple, {.form = form, .mold = mold});
}

}  // namespace kaz::triple
