// The text natives: case, percent and base encodings, hexadecimal, and transcode.
#include "evaluator/natives_text.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include "datatypes/base_codec.h"
#include "datatypes/binary.h"
#include "datatypes/bitset.h"
#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/file.h"
#include "datatypes/function.h"
#include "datatypes/internal.h"
#include "datatypes/issue.h"
#include "datatypes/map.h"
#include "datatypes/object.h"
#include "datatypes/registry.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/typeset.h"
#include "datatypes/word.h"
#include "evaluator/actions.h"
#include "evaluator/interp.h"
#include "evaluator/natives.h"
#include "evaluator/lexer.h"
#include "evaluator/natives_frame.h"
#include "evaluator/natives_math.h"
#include "platform/os.h"
#include "runtime/case_fold.h"
#include "runtime/console.h"
#include "runtime/error.h"
#include "runtime/hashtable.h"
#include "runtime/heap.h"
#include "runtime/memory.h"
#include "runtime/number.h"
#include "runtime/resource.h"
#include "runtime/stack.h"
#include "runtime/text.h"
#include "runtime/throw.h"
#include "runtime/unicode.h"

namespace kaz::natives {

namespace text_natives {

void change_case(const int32_t* refs, bool upper) {
    Cell value = arg(0);
    Cell limit = cell::none();
    if (given(refs, 0)) {
        limit = *ref_arg(refs, 0);
        if (is(limit, TypeId::float_) || is(limit, TypeId::percent)) limit = cell::integer(number_to_integer(limit));
    }
    case_::change_string(value, &limit, upper);
    result(value);
}

void uppercase(const int32_t* refs) { change_case(refs, true); }
void lowercase(const int32_t* refs) { change_case(refs, false); }

// ---- percent encoding ----

void dehex(const int32_t*) {
    Cell source = arg(0);
    Cell* out = stack::push(string::make_cell(series_::length_from_head(source)));
    url::percent_decode(source, out->data2);
    arg(0) = *out;
}

void enhex(const int32_t*) {
    Cell source = arg(0);
    Cell* out = stack::push(string::make_cell(series_::length_from_head(source)));
    // A string! is escaped strictly; the other text types keep what URLs allow.
    uint32_t kind = is(source, TypeId::string) ? url::kStrict : uint32_t(type_of(source));
    url::percent_encode(source, out->data2, kind);
    arg(0) = *out;
}

void to_hex(const int32_t* refs) {
    string::Hex hex = string::int_to_hex(cell::get_integer(arg(0)), false);
    int32_t n = 8;
    if (const Cell* size = ref_arg(refs, 0)) {
        n = cell::get_integer(*size);
        if (n <= 0) error::raise(ErrorId::script_invalid_arg, *size);
        n = std::min(n, 8);
    }
    std::string digits(hex.view().substr(size_t(8 - n)));
    arg(0) = issue::from_c_string(digits.c_str());
}

// ---- base encodings ----

// The base a /base argument names, 64 without one; any other number raises script invalid-arg.
binary::Base base_argument(const int32_t* refs) {
    const Cell* base = ref_arg(refs, 0);
    if (!base) return binary::Base::base64;
    std::optional<binary::Base> b = binary::base_of(cell::get_integer(*base));
    if (!b) error::raise(ErrorId::script_invalid_arg, *base);
    return *b;
}

// enbase value /base base-value: the bytes of a binary!, or a string's UTF-8, as text.
void enbase(const int32_t* refs) {
    binary::Base base = base_argument(refs);
    binary::Source in = binary::source_of(arg(0));
    // The room the text needs, checked before anything is made.
    size_t length = binary::encoded_length(base, in.size);
    if (length > size_t(INT32_MAX)) error::raise(ErrorId::script_too_long);
    Cell text = string::make_cell(uint32_t(length));
    SeriesBuffer* out = buffer(text.data2);
    char* end = binary::encode(base, reinterpret_cast<char*>(out->head), in.data(), in.size);
    out->tail = reinterpret_cast<uint8_t*>(end);
    result(text);
}

// debase value /base base-value: the bytes the text spells, or none! for text the base refuses.
void debase(const int32_t* refs) {
    binary::Base base = base_argument(refs);
    Cell text = arg(0);
    uint32_t count = series_::length_from_head(text);
    Cell bytes = binary::make_cell(uint32_t(binary::decoded_capacity(base, count)));
    SeriesBuffer* in = buffer(text.data2);
    SeriesBuffer* out = buffer(bytes.data2);
    binary::Text units(in->head + size_t(text.data1) * in->unit(), in->unit(), count);
    std::optional<size_t> n = binary::decode(base, out->head, units);
    if (!n) return result(cell::none());
    out->tail = out->head + *n;
    result(bytes);
}

// ---- transcode ----

// transcode src /next /one /prescan /scan /part length /into dst /trace callback
void transcode(const int32_t* refs) {
    lexer::TranscodeOptions o;
    o.next = given(refs, 0);
    o.one = given(refs, 1);
    o.prescan = given(refs, 2);
    o.scan = given(refs, 3);
    o.part = given(refs, 4) ? &arg(uint32_t(refs[4])) : nullptr;
    o.into = given(refs, 5) ? &arg(uint32_t(refs[5])) : nullptr;
    o.trace = given(refs, 6) ? &arg(uint32_t(refs[6])) : nullptr;
    Cell source = arg(0);
    result(lexer::transcode(source, o));
}

}  // namespace text_natives

void init_text() {
    define(Number::uppercase, text_natives::uppercase);
    define(Number::lowercase, text_natives::lowercase);
    define(Number::dehex, text_natives::dehex);
    define(Number::enhex, text_natives::enhex);
    define(Number::to_hex, text_natives::to_hex);
    define(Number::debase, text_natives::debase);
    define(Number::enbase, text_natives::enbase);
    define(Number::transcode, text_natives::transcode);
}

}  // namespace kaz::natives
