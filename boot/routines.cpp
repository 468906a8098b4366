// The environment's routines, made at start-up from the definitions each subject of natives
// keeps beside its natives.
#include "boot/routines.h"

#include "boot/startup.h"
#include "datatypes/function.h"
#include "datatypes/map.h"
#include "datatypes/string.h"
#include "datatypes/word.h"
#include "evaluator/lexer.h"
#include "evaluator/natives.h"
#include "evaluator/natives_math.h"
#include "evaluator/natives_series.h"
#include "evaluator/natives_system.h"
#include "evaluator/routines.h"
#include "runtime/error.h"
#include "runtime/gc.h"
#include "runtime/memory.h"
#include "runtime/stack.h"
#include "services/image_codecs.h"

namespace kaz::startup {
namespace {

Cell make_routine(const routines::Definition& d) {
    uint32_t id = routines::define(d.name, d.fn);
    Cell spec = lexer::load_text(string::from_utf8(d.spec));
    Cell r = *routine::make_value(spec, nullptr, id, uint32_t(d.returns), false);
    --stack::data_top;  // make_value pushed it
    return r;
}

}  // namespace

void define_routines() {
    for (auto group : {natives::series_routines(), natives::math_routines()}) {
        for (const routines::Definition& d : group) {
            Cell w = word::from_c_string(d.name);
            word::set(w, make_routine(d));
        }
    }
}

void fill_gc_object(const Cell& gc_object) {
    for (const routines::Definition& d : natives::collector_routines()) {
        Cell r = make_routine(d);
        *field(gc_object, d.name) = r;
    }
}

void fill_codecs(const Cell& codecs) {
    for (const image_codecs::Codec& c : image_codecs::codecs()) {
        Cell key = word::from_c_string(c.name);
        Cell codec = map::select(codecs, key, FindOptions{});
        Cell encode = make_routine(c.encode);
        *field(codec, "encode") = encode;
        Cell decode = make_routine(c.decode);
        *field(codec, "decode") = decode;
    }
}

}  // namespace kaz::startup
