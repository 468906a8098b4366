// money! — decimal amounts with currencies, over the decimal engine.
#include "datatypes/money.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "datatypes/cells.h"
#include "datatypes/internal.h"
#include "datatypes/logic.h"
#include "datatypes/object.h"
#include "datatypes/registry.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/text_number.h"
#include "datatypes/word.h"
#include "runtime/error.h"
#include "runtime/memory.h"
#include "runtime/random.h"
#include "runtime/stack.h"
#include "runtime/text.h"

namespace kaz::money {
namespace {

// ---- helpers ----

bool word_q(const Cell& c) {
    TypeId t = type_of(c);
    return t >= TypeId::word && t <= TypeId::refinement;
}

[[noreturn]] void bad_make_arg(const Cell& value) {
    error::raise(ErrorId::script_bad_make_arg, cell::datatype(TypeId::money), value);
}

[[noreturn]] void bad_to_arg(const Cell& value) {
    error::raise(ErrorId::script_bad_to_arg, cell::datatype(TypeId::money), value);
}

[[noreturn]] void invalid_type(TypeId t) { error::raise(ErrorId::script_invalid_type, cell::datatype(t)); }

Cell currency_list() { return object::system_field({"locale", "currencies", "list"}); }

// The fraction digits that form writes: system/options/money-digits, 2 when that is no
// integer!, at most all five.
int32_t money_digits() {
    Cell digits = object::system_field({"options", "money-digits"});
    if (!is(digits, TypeId::integer)) return 2;
    return std::min(cell::get_integer(digits), kFractionDigits);
}

// "-USD$1'234.50": the sign, the code, "$", the integer digits from the first significant one
// (grouped by three with "'" when asked), and `fraction` fraction digits, cut.
std::string text_of(const Cell& m, int32_t fraction, bool groups) {
    std::string text;
    if (sign(m) < 0) text += '-';
    if (uint8_t index = currency_of(m)) {
        Cell code = currency_word(index);
        if (word_q(code)) text += symbol::name(word_cell::symbol(code));
    }
    text += '$';
    const uint8_t* d = digits_of(m);
    int32_t first = 1;
    while (first < kIntegerDigits && get_digit(d, first) == 0) ++first;
    for (int32_t i = first; i <= kIntegerDigits; ++i) {
        if (groups && i > first && (kIntegerDigits - i + 1) % 3 == 0) text += '\'';
        text += char('0' + get_digit(d, i));
    }
    if (fraction >= 1) {
        text += '.';
        for (int32_t i = 1; i <= fraction; ++i) text += char('0' + get_digit(d, kIntegerDigits + i));
    }
    return text;
}

int32_t write(Node string, const std::string& text, int32_t limit) {
    return limit - int32_t(text::append_utf8(string, text));
}

// Writes an amount (a money! made by the engine) into `slot`, whose flag bits stay.
void store(Cell& slot, const Cell& amount) {
    uint32_t flags = slot.header & ~(cell_flag::type_mask | kSignBit);
    slot = amount;
    slot.header = (amount.header & (cell_flag::type_mask | kSignBit)) | flags;
}

// An arithmetic operand as an amount.
Cell operand(const Cell& v) {
    switch (type_of(v)) {
        case TypeId::money: return v;
        case TypeId::integer: return from_integer(cell::get_integer(v));
        case TypeId::float_:
        case TypeId::percent: return from_float(cell::get_float(v), false);
        default: invalid_type(type_of(v));
    }
}

// The sort order of two currencies: none first, then by code.
int32_t compare_currencies(uint8_t a, uint8_t b) {
    if (a == 0 || b == 0) return a == b ? 0 : a == 0 ? -1 : 1;
    Cell wa = currency_word(a), wb = currency_word(b);
    if (!word_q(wa) || !word_q(wb)) return a < b ? -1 : a > b ? 1 : 0;
    int32_t r = symbol::compare_names(word_cell::symbol(wa), word_cell::symbol(wb), CompareOp::sort);
    return r < 0 ? -1 : r > 0 ? 1 : 0;
}

// [currency amount fraction]: an optional currency word, an integer! or float! amount, and
// after an integer one an optional count of 0.00001 to add.
Cell from_spec_block(const Cell& spec) {
    SeriesBuffer* b = memory::buffer_of(series_cell::node(spec));
    uint32_t head = series_cell::head(spec), length = b->length();
    uint32_t count = head < length ? length - head : 0;
    auto at = [&](uint32_t i) { return memory::buffer_of(series_cell::node(spec))->cells()[head + i]; };
    uint32_t i = 0;
    uint8_t currency = 0;
    if (count > 0 && word_q(at(0))) {
        Cell code = at(i++);
        currency = currency_index(word_cell::symbol(code));
        if (!currency) bad_make_arg(code);
    }
    if (i >= count) bad_make_arg(spec);
    Cell amount = at(i++), m;
    if (is(amount, TypeId::integer)) {
        m = from_integer(cell::get_integer(amount));
        if (i < count) {
            Cell units = at(i++);
            if (!is(units, TypeId::integer) || cell::get_integer(units) < 0 || cell::get_integer(units) > 99999)
                bad_make_arg(units);
            std::string digits = std::to_string(cell::get_integer(units));
            digits.insert(0, size_t(kFractionDigits) - digits.size(), '0');
            Cell fraction = make_cell();
            init_from_digits(fraction, false, 0, "", digits);
            add_amounts(m, fraction);
        }
    } else if (is(amount, TypeId::float_)) {
        m = from_float(cell::get_float(amount), true);
    } else {
        bad_make_arg(amount);
    }
    if (i < count) bad_make_arg(at(i));
    set_currency(m, currency);
    return m;
}

// The field a path element or pick index names: 1 the code, 2 the amount; 0 for none.
int32_t field_of(const Cell& element) {
    if (is(element, TypeId::integer)) {
        int32_t i = cell::get_integer(element);
        return i == 1 || i == 2 ? i : 0;
    }
    if (!word_q(element)) return 0;
    uint32_t id = symbol::canonical_id(word_cell::symbol(element));
    if (id == symbol::canonical_id(sym::code)) return 1;
    if (id == symbol::canonical_id(sym::amount)) return 2;
    return 0;
}

Cell get_field(const Cell& m, int32_t field) {
    if (field == 1) return currency_word(currency_of(m));
    Cell amount = m;
    set_currency(amount, 0);
    return amount;
}

}  // namespace

uint8_t currency_index(uint32_t symbol) {
    Cell list = currency_list();
    if (!is(list, TypeId::block)) return 0;
    uint32_t wanted = symbol::canonical_id(symbol);
    SeriesBuffer* b = memory::buffer_of(series_cell::node(list));
    uint32_t head = series_cell::head(list), length = b->length();
    for (uint32_t i = head; i < length && i - head < uint32_t(kMaxCurrencies); ++i) {
        const Cell& c = b->cells()[i];
        if (word_q(c) && symbol::canonical_id(word_cell::symbol(c)) == wanted) return uint8_t(i - head + 1);
    }
    return 0;
}

uint8_t currency_index(std::string_view code) { return currency_index(symbol::intern(code)); }

Cell currency_word(uint8_t index) {
    Cell list = currency_list();
    if (index == 0 || !is(list, TypeId::block)) return none::value;
    SeriesBuffer* b = memory::buffer_of(series_cell::node(list));
    uint32_t at = series_cell::head(list) + index - 1u;
    if (at >= b->length() || !word_q(b->cells()[at])) return none::value;
    Cell code = b->cells()[at];
    cell::set_type(code, TypeId::word);
    cell::clear_new_line(code);
    return code;
}

Cell* push(bool negative, uint8_t currency, const uint8_t* digits) {
    Cell c = make_cell(currency);
    std::memcpy(digits_of(c), digits, kDigitBytes);
    set_sign(c, negative && !zero_q(c));
    return stack::push(c);
}

bool from_text(const Cell& string, Cell& out) {
    Cell s = string;
    uint32_t count = string::length_from_head(s);
    text_number::MoneyText parts;
    uint32_t unit = memory::buffer_of(series_cell::node(s))->unit();
    if (!text_number::parse_money(string::head_pointer(s), count, unit, parts)) return false;
    uint8_t currency = 0;
    if (!parts.currency.empty() && (currency = currency_index(parts.currency)) == 0) return false;
    return init_from_digits(out, parts.negative, currency, parts.integer, parts.fraction);
}

void do_math(MathOp op) {
    Cell& left = stack::base[0];
    const Cell right = stack::base[1];
    bool left_money = is(left, TypeId::money), right_money = is(right, TypeId::money);
    if (op > MathOp::remainder)
        error::raise(ErrorId::script_cannot_use, frame::function_word(), cell::datatype(TypeId::money));
    if (left_money && right_money && op == MathOp::multiply) invalid_type(TypeId::money);
    if (!left_money && (op == MathOp::divide || op == MathOp::remainder)) invalid_type(type_of(left));
    Cell a = operand(left), b = operand(right);
    uint8_t ca = currency_of(a), cb = currency_of(b);
    if (ca && cb && ca != cb) error::raise(ErrorId::script_wrong_denom, left, right);
    switch (op) {
        case MathOp::add: add_amounts(a, b); break;
        case MathOp::subtract: subtract_amounts(a, b); break;
        case MathOp::multiply: multiply_amounts(a, b); break;
        default: divide_amounts(a, b, op == MathOp::remainder); break;
    }
    if (op == MathOp::divide && right_money) {
        double quotient = to_float(a);
        left.header &= ~kSignBit;
        cell::set_type(left, TypeId::float_);
        cell::put_float(left, quotient);
        return;
    }
    set_currency(a, cb ? cb : ca);
    store(left, a);
}

// ---- actions ----

Cell make(const Cell& proto, const Cell& spec, TypeId type) {
    if (word_q(spec)) {
        uint8_t currency = currency_index(word_cell::symbol(spec));
        if (!currency) bad_make_arg(spec);
        return make_cell(currency);
    }
    switch (type_of(spec)) {
        case TypeId::block:
        case TypeId::paren:
        case TypeId::hash: return from_spec_block(spec);
        default: return to(proto, spec, type);
    }
}

Cell to(const Cell&, const Cell& spec, TypeId) {
    switch (type_of(spec)) {
        case TypeId::money: return spec;
        case TypeId::integer: return from_integer(cell::get_integer(spec));
        case TypeId::float_: return from_float(cell::get_float(spec), true);
        case TypeId::string:
        case TypeId::file:
        case TypeId::url:
        case TypeId::tag:
        case TypeId::email:
        case TypeId::ref: {
            Cell m = make_cell();
            if (!from_text(spec, m)) bad_to_arg(spec);
            return m;
        }
        default: bad_to_arg(spec);
    }
}

void random(Cell& value, bool seed, bool secure, bool) {
    if (seed) {
        kaz::random::seed(value.data1 ^ value.data2 ^ value.data3 ^ get_sign(value));
        value = cell::unset();
        return;
    }
    random_amount(value, secure);
}

int32_t form(const Cell& value, Node string, const Cell*, int32_t limit) {
    return write(string, text_of(value, money_digits(), true), limit);
}

int32_t mold(const Cell& value, Node string, bool, bool all, bool, const Cell*, int32_t limit, int32_t) {
    return write(string, text_of(value, all ? kFractionDigits : money_digits(), false), limit);
}

Cell eval_path(const Cell& parent, const Cell& element, const Cell* value, const PathStep&) {
    int32_t field = field_of(element);
    if (!field) error::raise(ErrorId::script_invalid_path, element, parent);
    if (value) error::raise(ErrorId::script_bad_path_set, element, *value);
    return get_field(parent, field);
}

int32_t compare(const Cell& a, const Cell& b, CompareOp op) {
    bool strict = op == CompareOp::strict_equal || op == CompareOp::same || op == CompareOp::find;
    if (strict && !is(b, TypeId::money)) return 1;
    switch (type_of(b)) {
        case TypeId::money: {
            uint8_t ca = currency_of(a), cb = currency_of(b);
            if (ca != cb) {
                switch (op) {
                    case CompareOp::lesser:
                    case CompareOp::lesser_or_equal:
                    case CompareOp::greater:
                    case CompareOp::greater_or_equal:
                        if (ca && cb) error::raise(ErrorId::script_wrong_denom, a, b);
                        break;
                    case CompareOp::sort:
                    case CompareOp::case_sort:
                        if (int32_t r = compare_currencies(ca, cb)) return r;
                        break;
                    default:  // the equalities: an amount in another currency is another amount
                        if (strict || (ca && cb)) return 1;
                        break;
                }
            }
            return compare_amounts(a, b);
        }
        case TypeId::integer: return compare_amounts(a, from_integer(cell::get_integer(b)));
        case TypeId::float_: return compare_to_float(a, cell::get_float(b));
        default: return kNotComparable;
    }
}

void absolute() { set_sign(stack::base[0], 0); }
void add() { do_math(MathOp::add); }
void divide() { do_math(MathOp::divide); }
void multiply() { do_math(MathOp::multiply); }
void remainder() { do_math(MathOp::remainder); }
void subtract() { do_math(MathOp::subtract); }

void negate(Cell& value) {
    if (!zero_q(value)) set_sign(value, get_sign(value) ^ 1);
}

void round(Cell& value, const Cell* scale, bool even, bool down, bool half_down, bool floor, bool ceiling,
           bool half_ceiling) {
    if (zero_q(value)) return;
    Cell s = from_integer(1);
    if (scale) {
        switch (type_of(*scale)) {
            case TypeId::money: s = *scale; break;
            case TypeId::integer: s = from_integer(cell::get_integer(*scale)); break;
            case TypeId::float_: s = from_float(cell::get_float(*scale), true); break;
            default:
                error::raise(ErrorId::script_not_related, word::from_c_string("round"),
                             cell::datatype(type_of(*scale)));
        }
    }
    Rounding mode = down           ? Rounding::down
                    : floor        ? Rounding::floor
                    : ceiling      ? Rounding::ceiling
                    : even         ? Rounding::even
                    : half_down    ? Rounding::half_down
                    : half_ceiling ? Rounding::half_ceiling
                                   : Rounding::nearest;
    round_amount(value, s, mode);
}

bool even_q(const Cell& value) { return get_digit(digits_of(value), kIntegerDigits) % 2 == 0; }
bool odd_q(const Cell& value) { return get_digit(digits_of(value), kIntegerDigits) % 2 != 0; }

Cell pick(const Cell& money, int32_t index, const Cell& index_value) {
    int32_t field = word_q(index_value) ? field_of(index_value) : index == 1 || index == 2 ? index : 0;
    if (!field) error::raise(ErrorId::script_out_of_range, index_value);
    return get_field(money, field);
}

// ---- registration ----

void init() {
    registry::define(TypeId::money, {.make = make, .random = random, .to = to, .form = form,
                                     .mold = mold, .eval_path = eval_path, .compare = compare,
                                     .absolute = absolute, .add = add, .divide = divide,
                                     .multiply = multiply, .negate = negate, .remainder = remainder,
                                     .round = round, .subtract = subtract, .even_q = even_q,
                                     .odd_q = odd_q, .pick = pick});
}

}  // namespace kaz::money
