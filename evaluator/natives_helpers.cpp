// The helper loops: every Nth value of a block, the pieces of a text between delimiters, and
// a text with every occurrence of a pattern replaced, each done in one pass here instead of a
// loop of the interpreter.
#include "evaluator/natives_helpers.h"

#include <cstdint>

#include "datatypes/actions.h"
#include "datatypes/block.h"
#include "datatypes/internal.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "evaluator/actions.h"
#include "evaluator/natives_frame.h"
#include "runtime/error.h"
#include "runtime/stack.h"

namespace kaz::natives {
namespace {

// The position of the next `pattern` in `text` from its index, or -1.
int64_t next_match(const Cell& text, const Cell& pattern, bool case_) {
    FindOptions options;
    options.case_ = case_;
    Cell found = actions::find(text, pattern, options);
    return is(found, TypeId::none) ? -1 : int64_t(found.data1);
}

// Appends the code points of `text` from index `from`, `count` of them, to `out`.
void append_part(Cell& out, const Cell& text, uint32_t from, uint32_t count) {
    if (count == 0) return;
    Cell part = text;
    part.data1 = from;
    string::concatenate(out, part, int32_t(count), 0, false, string::ConcatMode::append);
}

// extract-values series width output: appends every width-th value of the block from its
// index to the output block, as one value each; the output is the result. The values are
// those present at the call: an output that is the series itself does not feed the loop.
routines::Result extract_values(const routines::Arg*, uint32_t) {
    Cell series = arg(0), output = arg(2);
    int64_t width = cell::get_integer(arg(1));
    if (width < 1) width = 1;
    uint32_t end = series_::total_length(series);
    uint32_t count = 0;
    for (uint64_t i = series.data1; i < end; i += uint64_t(width)) ++count;
    // Collected first, so that an owner of the output hears of one insert of them all.
    Cell* picked = block::push_new(int32_t(count));
    for (uint64_t i = series.data1; i < end; i += uint64_t(width))
        block::append_cell(*picked, *block::cell_at(series, uint32_t(i)));
    uint32_t old_tail = series_::total_length(output);
    series_::notify(output, gwords::insert, picked, int32_t(old_tail), int32_t(count));
    for (uint32_t i = 0; i < count; ++i) block::append_cell(output, *block::cell_at(*picked, i));
    arg(0) = output;
    return {};
}

// split-text series dlm num: the pieces of the text between occurrences of the delimiter,
// each skipped by num code points; a delimiter at the very end gives a last empty string.
routines::Result split_text(const routines::Arg*, uint32_t) {
    Cell text = arg(0), dlm = arg(1);
    int64_t num = cell::get_integer(arg(2));
    uint32_t end = series_::total_length(text);
    Cell* pieces = block::push_new(16);
    Cell* piece = stack::push(cell::unset());
    uint32_t pos = text.data1;
    while (true) {
        if (pos >= end) {  // the input ended just after a delimiter (or was empty)
            *piece = string::make_cell(0);
            block::append_cell(*pieces, *piece);
            break;
        }
        Cell at = text;
        at.data1 = pos;
        int64_t found = next_match(at, dlm, false);
        uint32_t stop = found < 0 ? end : uint32_t(found);
        *piece = string::make_cell(stop - pos, type_of(text));
        append_part(*piece, text, pos, stop - pos);
        block::append_cell(*pieces, *piece);
        if (found < 0 || num < 1 || uint64_t(stop) + uint64_t(num) > end) break;
        pos = stop + uint32_t(num);
    }
    stack::data_top = piece;
    arg(0) = *pieces;
    return {};
}

// replace-text series pattern value case?: the text from the series' index with every
// occurrence of the pattern replaced by the value's text, searched from after each
// replacement; a new string that the caller puts in place of that part.
routines::Result replace_text(const routines::Arg* args, uint32_t) {
    Cell text = arg(0), pattern = arg(1);
    bool case_ = args[3].integer != 0;
    uint32_t end = series_::total_length(text);
    uint32_t size = series_::total_length(pattern) - pattern.data1;
    Cell* out = stack::push(string::make_cell(end - text.data1));
    Cell* with = stack::push(string::make_cell(8));
    actions::form(arg(2), with->data2, nullptr, -1);
    uint32_t pos = text.data1;
    while (pos < end) {
        Cell at = text;
        at.data1 = pos;
        int64_t found = size == 0 ? -1 : next_match(at, pattern, case_);
        if (found < 0) break;
        append_part(*out, text, pos, uint32_t(found) - pos);
        append_part(*out, *with, 0, series_::total_length(*with));
        pos = uint32_t(found) + size;
    }
    if (pos < end) append_part(*out, text, pos, end - pos);
    arg(0) = *out;
    stack::data_top = with;
    return {};
}

constexpr routines::Definition kRoutines[] = {
    {"extract-values", R"k(series [block! paren! hash!] width [integer!] output [block! paren!])k", extract_values,
     TypeId(0)},
    {"split-text", R"k(series [any-string!] dlm [any-type!] num [integer!])k", split_text, TypeId(0)},
    {"replace-text", R"k(series [any-string!] pattern [any-string!] value [any-type!] case? [logic!])k",
     replace_text, TypeId(0)},
};

}  // namespace

std::span<const routines::Definition> helper_routines() { return kRoutines; }

}  // namespace kaz::natives
