#include "evaluator/natives.h"

#include "datatypes/word.h"
#include "evaluator/natives_compare.h"
#include "evaluator/natives_control.h"
#include "evaluator/natives_frame.h"
#include "evaluator/natives_math.h"
#include "evaluator/natives_series.h"
#include "evaluator/natives_system.h"
#include "evaluator/natives_text.h"
#include "evaluator/parse.h"
#include "runtime/error.h"

namespace kaz {
namespace natives {

NativeFn table[kSlots + 1];

namespace {

constexpr const char* kNames[] = {
    nullptr,
#define KAZ_NATIVE(number, cname, name) name,
#include "evaluator/natives.def"
#undef KAZ_NATIVE
};

}  // namespace

void not_built(const int32_t*) { error::raise(ErrorId::internal_not_done); }

const char* name_of(uint32_t number) { return number >= 1 && number <= kNatives ? kNames[number] : nullptr; }
void define(uint32_t number, NativeFn fn) { table[number] = fn; }

void raise_expect_arg(const Cell& value, const char* argument) {
    error::raise(ErrorId::script_expect_arg, frame::function_word(), cell::datatype(type_of(value)),
                 word::from_c_string(argument));
}

void init() {
    init_compare();
    init_control();
    init_math();
    init_series();
    init_system();
    init_text();
    init_parse();
}

}  // namespace natives

namespace actions {

natives::NativeFn table[kSlots + 1];

void define(uint32_t slot, natives::NativeFn fn) { table[slot] = fn; }

}  // namespace actions
}  // namespace kaz
