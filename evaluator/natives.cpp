#include "evaluator/natives.h"

#include "runtime/error.h"

namespace kaz {
namespace natives {
namespace {

NativeFn table[kSlots + 1];

constexpr const char* kNames[] = {
    nullptr,
#define KAZ_NATIVE(number, cname, name) name,
#include "evaluator/natives.def"
#undef KAZ_NATIVE
};
static_assert(std::size(kNames) == kNatives + 1, "natives run from 1 without gaps");

void not_built(const int32_t*) { error::raise(ErrorId::internal_not_done); }

}  // namespace

NativeFn at(uint32_t number) { return number >= 1 && number <= kSlots && table[number] ? table[number] : not_built; }
const char* name_of(uint32_t number) { return number >= 1 && number <= kNatives ? kNames[number] : nullptr; }
void define(uint32_t number, NativeFn fn) { table[number] = fn; }

void init() {
    for (uint32_t i = 1; i <= kNatives; ++i)
        if (!table[i]) table[i] = not_built;
}

}  // namespace natives

namespace actions {
namespace {
natives::NativeFn table[kSlots + 1];
void not_built(const int32_t*) { error::raise(ErrorId::internal_not_done); }
}  // namespace

natives::NativeFn at(uint32_t slot) { return slot >= 1 && slot <= kSlots && table[slot] ? table[slot] : not_built; }
void define(uint32_t slot, natives::NativeFn fn) { table[slot] = fn; }
void init() {}

}  // namespace actions
}  // namespace kaz
