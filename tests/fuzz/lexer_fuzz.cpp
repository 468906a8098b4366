// Arbitrary bytes through the lexer: each input loads to values or raises a syntax error (or
// internal not-done, for a literal of a datatype not built yet), never crashes, hangs or reads
// outside the input. Scanning without loading refuses exactly the inputs the load refuses with
// a syntax error, prescanning never raises, and the mold of what loaded loads back the same.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

#include "boot/boot.h"
#include "datatypes/file.h"
#include "datatypes/issue.h"
#include "datatypes/map.h"
#include "datatypes/registry.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "evaluator/lexer.h"
#include "runtime/error.h"
#include "runtime/stack.h"
#include "runtime/throw.h"
#include "tests/fuzz/fuzz_trap.h"

using namespace kaz;

namespace {

using fuzz::check;
using fuzz::trap_word;
using fuzz::trapped;

bool syntax_error_q(const Cell& error) {
    auto id = error::id_of(error);
    check(id.has_value());
    return error::info(*id).category == ErrorCategory::syntax;
}

// Whether mold writes source that loads back as the value: not for a NaN, nor for what only
// the construction syntax writes (logic, none, unset, datatypes), nor for a url (its mold
// escapes what the scheme may hold, and an escaped scheme reads as a file), nor for an issue
// holding a comma (a paren around it may look like a point literal), nor for a file holding a
// NUL (mold writes it as it is, and a NUL ends source text), nor for a time of more hours than
// an integer holds (its hours do not load back), nor for a string in a path (a long one molds
// in braces, which cannot follow a /), nor for a map (it molds its word keys as set-words, and
// not every word has one: <: reads as a tag), nor for text or a char holding a surrogate (mold
// writes it as UTF-8 no reader takes), in any nesting.
bool surrogate_q(const Cell& text) {
    SeriesBuffer* b = memory::buffer_of(text.data2);
    for (uint8_t* p = b->head; p < b->tail; p += b->unit()) {
        uint32_t cp = string::get_char(p, b->unit());
        if (cp >= 0xD800 && cp <= 0xDFFF) return true;
    }
    return false;
}

bool moldable_q(const Cell& c) {
    switch (type_of(c)) {
        case TypeId::float_:
            return cell::get_float(c) == cell::get_float(c);
        case TypeId::logic:
        case TypeId::none:
        case TypeId::unset:
        case TypeId::datatype:
        case TypeId::url:
        case TypeId::map:
            return false;
        case TypeId::issue:
            return symbol::name(c.data2).find(',') == std::string_view::npos;
        case TypeId::file:
            return string::find_char(c, 0) < 0 && !surrogate_q(c);
        case TypeId::string:
            return !surrogate_q(c);
        case TypeId::char_:
            return c.data2 < 0xD800 || c.data2 > 0xDFFF;
        case TypeId::time:
            return std::fabs(cell::get_float(c)) / 3600.0 < 2147483647.0;
        case TypeId::block:
        case TypeId::paren:
        case TypeId::path:
        case TypeId::lit_path:
        case TypeId::set_path:
        case TypeId::get_path: {
            bool path = type_of(c) >= TypeId::path && type_of(c) <= TypeId::get_path;
            SeriesBuffer* b = memory::buffer_of(c.data2);
            for (Cell* e = b->cells(); e < b->cells_end(); ++e)
                if (!moldable_q(*e) || (path && is(*e, TypeId::string))) return false;
            return true;
        }
        default:
            return true;
    }
}

// The molded text, when mold can write it (a time of more hours than an integer holds loads,
// but does not mold).
std::optional<std::string> mold_only(const Cell& block) {
    if (!moldable_q(block)) return std::nullopt;
    std::string text;
    if (trapped([&] {
            Cell s = string::make_cell(64);
            registry::actions(TypeId::block).mold(block, s.data2, true, false, false, nullptr, 1 << 30, 0);
            int32_t length = -1;
            const char* utf8 = string::to_utf8(s, length);
            text.assign(utf8, size_t(length));
        }))
        return std::nullopt;
    return text;
}

// A map's keys and their count are checked as its values are made: a scan that makes none
// cannot refuse them.
bool map_error_q(const Cell& error) {
    return error::id_of(error) == ErrorId::syntax_invalid &&
           error::field(error, error::arg2).data1 == uint32_t(TypeId::map);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    boot::run();
    url::init();
    file::init();
    issue::init();
    map::init();
    trap_word = word::from_c_string("lexer-fuzz");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const Cell source = cell::make(TypeId::binary);
    const uint32_t count = uint32_t(size);

    Cell loaded = cell::none();
    std::optional<Cell> load_error = trapped([&] {
        lexer::scan(loaded, data, count, lexer::ScanFlags{}, nullptr, source, 0, nullptr);
    });
    if (load_error) check(syntax_error_q(*load_error) || error::id_of(*load_error) == ErrorId::internal_not_done);

    lexer::ScanResult scanned{};
    check(!trapped([&] {
        Cell unused;
        scanned = lexer::scan(unused, data, count, lexer::ScanFlags{.load = false}, nullptr, source, 0, nullptr);
    }));
    check(scanned.consumed <= count);
    if (!load_error)
        check(scanned.type != -1);
    else if (syntax_error_q(*load_error) && !map_error_q(*load_error))
        check(scanned.type == -1);

    check(!trapped([&] {
        Cell unused;
        lexer::scan(unused, data, count, lexer::ScanFlags{.full = false}, nullptr, source, 0, nullptr);
    }));

    if (!load_error) {
        std::optional<std::string> text = mold_only(loaded);
        if (text) {
            Cell again = cell::none();
            std::optional<Cell> error = trapped([&] {
                lexer::scan(again, reinterpret_cast<const uint8_t*>(text->data()), uint32_t(text->size()),
                            lexer::ScanFlags{}, nullptr, source, 0, nullptr);
            });
            check(!error);
            check(mold_only(again) == text);
        }
    }
    stack::frames_top = stack::frames_begin;
    stack::base = stack::data_top = stack::data_begin;
    return 0;
}
