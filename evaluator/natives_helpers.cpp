// The helper loops: every Nth value of a block, the pieces of a text between delimiters, and
// a text with every occurrence of a pattern replaced, each done in one pass here instead of a
// loop of the interpreter.
#include "evaluator/natives_helpers.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "datatypes/actions.h"
#include "datatypes/block.h"
#include "datatypes/internal.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "evaluator/actions.h"
#include "evaluator/natives_frame.h"
#include "runtime/case_fold.h"
#include "runtime/error.h"
#include "runtime/gc.h"
#include "runtime/memory.h"
#include "runtime/stack.h"

namespace kaz::natives {
namespace {

// The code points of a char! or string pattern that can be matched unit by unit: every one
// without another case, unless the search heeds case. False for anything else (bitsets,
// letters under a case-insensitive search), which the find action then searches.
bool plain_pattern(const Cell& pattern, bool case_, std::vector<uint32_t>& cps) {
    cps.clear();
    if (is(pattern, TypeId::char_)) {
        cps.push_back(scalar_cell::value(pattern));
    } else if (string::any_string_q(type_of(pattern))) {
        uint32_t n = series_::total_length(pattern);
        for (uint32_t i = pattern.data1; i < n; ++i) cps.push_back(string::char_at(pattern, i));
    } else {
        return false;
    }
    if (cps.empty()) return false;
    if (!case_)
        for (uint32_t cp : cps)
            if (case_::change_char(cp, true) != cp || case_::change_char(cp, false) != cp) return false;
    return true;
}

template <typename Unit>
int64_t scan_units(const Unit* units, uint32_t from, uint32_t n, const std::vector<uint32_t>& cps) {
    size_t m = cps.size();
    for (size_t i = from; i + m <= n; ++i) {
        if (units[i] != cps[0]) continue;
        size_t k = 1;
        while (k < m && units[i + k] == cps[k]) ++k;
        if (k == m) return int64_t(i);
    }
    return -1;
}

// The index of the first occurrence of `cps` in the text's buffer at or after `from`, or -1.
int64_t scan_plain(const Cell& text, uint32_t from, const std::vector<uint32_t>& cps) {
    SeriesBuffer* b = series_::buffer(text);
    uint32_t n = b->length();
    if (from >= n) return -1;
    switch (b->unit()) {
        case 1: {
            std::string needle;
            for (uint32_t cp : cps) {
                if (cp > 0xFF) return -1;  // a one-byte text holds no such code point
                needle.push_back(char(cp));
            }
            const uint8_t* start = b->head + from;
            const void* hit = needle.size() == 1 ? std::memchr(start, needle[0], n - from)
                                                 : memmem(start, n - from, needle.data(), needle.size());
            return hit ? int64_t(static_cast<const uint8_t*>(hit) - b->head) : -1;
        }
        case 2: return scan_units(reinterpret_cast<const uint16_t*>(b->head), from, n, cps);
        default: return scan_units(reinterpret_cast<const uint32_t*>(b->head), from, n, cps);
    }
}

// The position of the next `pattern` in `text` from its index, or -1. `plain` holds the
// pattern's code points when plain_pattern accepted it.
int64_t next_match(const Cell& text, const Cell& pattern, bool case_, const std::vector<uint32_t>* plain) {
    if (plain) return scan_plain(text, text.data1, *plain);
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
    std::vector<uint32_t> cps;
    const std::vector<uint32_t>* plain = plain_pattern(dlm, false, cps) ? &cps : nullptr;
    // A plain delimiter is counted first, so that the block is made once at its size.
    uint32_t count = 1;
    if (plain && num >= 1)
        for (int64_t at = scan_plain(text, text.data1, cps); at >= 0 && uint64_t(at) + uint64_t(num) <= end;
             at = scan_plain(text, uint32_t(at + num), cps))
            ++count;
    Cell* pieces = block::push_new(int32_t(count));
    Cell* piece = stack::push(cell::unset());
    gc::Pause pause;
    uint32_t pos = text.data1;
    while (true) {
        if (pos >= end) {  // the input ended just after a delimiter (or was empty)
            *piece = string::make_cell(0);
            block::append_cell(*pieces, *piece);
            break;
        }
        Cell at = text;
        at.data1 = pos;
        int64_t found = next_match(at, dlm, false, plain);
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
    std::vector<uint32_t> cps;
    const std::vector<uint32_t>* plain = plain_pattern(pattern, case_, cps) ? &cps : nullptr;
    uint32_t pos = text.data1;
    while (pos < end) {
        Cell at = text;
        at.data1 = pos;
        int64_t found = size == 0 ? -1 : next_match(at, pattern, case_, plain);
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
