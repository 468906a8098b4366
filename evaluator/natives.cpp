#include "evaluator/natives.h"

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


}  // namespace natives

namespace actions {

natives::NativeFn table[kSlots + 1];

void define(uint32_t slot, natives::NativeFn fn) { table[slot] = fn; }

}  // namespace actions
}  // namespace kaz
