// date! — dates with an optional time and zone, over the calendar core.
#include "datatypes/date.h"

#include <cmath>
#include <optional>
#include <string>
#include <string_view>

#include "datatypes/cells.h"
#include "datatypes/float.h"
#include "datatypes/hooks.h"
#include "datatypes/internal.h"
#include "datatypes/logic.h"
#include "datatypes/object.h"
#include "datatypes/registry.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "datatypes/time.h"
#include "runtime/error.h"
#include "runtime/memory.h"
#include "runtime/number.h"
#include "runtime/random.h"
#include "runtime/stack.h"
#include "runtime/text.h"
#include "runtime/unicode.h"

namespace kaz::date {
namespace {

// ---- helpers ----

[[noreturn]] void bad_to_arg(const Cell& spec) {
    error::raise(ErrorId::script_bad_to_arg, cell::datatype(TypeId::date), spec);
}

bool word_q(const Cell& c) {
    TypeId t = type_of(c);
    return t >= TypeId::word && t <= TypeId::refinement;
}

constexpr int64_t floor_div(int64_t a, int64_t b) { return a / b - (a % b != 0 && (a < 0) != (b < 0)); }

// ---- fields from a block ----

// What a block of fields gave, before any carrying: [day month year], then a time! or hours,
// minutes and seconds, then a zone as a time! or as hours and minutes.
struct BlockFields {
    int32_t first = 0, month = 0, third = 0;
    double time = 0.0;         // a time!
    bool clock_given = false;  // or hours and minutes
    int32_t hour = 0, minute = 0;
    double second = 0.0;
    bool zone_time_given = false, zone_hours_given = false;
    double zone_time = 0.0;
    int32_t zone_hours = 0, zone_minutes = 0;
    uint32_t count = 0;
};

// The states of the reading: what each state takes next, by the kind of value (integer!, time!,
// float!); -1 where the value is not allowed. The state entered names the field it fills.
enum : int8_t {
    kStart = 0, kFirst = 1, kMonthRead = 2, kThird = 3, kTimeRead = 4, kZoneTime = 5,
    kZoneHours = 6, kZoneMinutes = 7, kHourRead = 8, kMinuteRead = 9, kSecondRead = 10,
    kClockZoneTime = 11, kClockZoneHours = 12, kClockZoneMinutes = 13,
};
constexpr int8_t kNext[14][3] = {
    {kFirst, -1, -1},           {kMonthRead, -1, -1},      {kThird, -1, -1},
    {kHourRead, kTimeRead, -1}, {kZoneHours, kZoneTime, -1}, {-1, -1, -1},
    {kZoneMinutes, -1, -1},     {-1, -1, -1},              {kMinuteRead, -1, -1},
    {kSecondRead, -1, kSecondRead}, {kClockZoneHours, kClockZoneTime, -1}, {-1, -1, -1},
    {kClockZoneMinutes, -1, -1}, {-1, -1, -1},
};
// The states a block may end in: a date, then a time, then a zone, each complete.
constexpr bool kFinal[14] = {false, false, false, true, true, true, true,
                             true,  false, true,  true, true, true, true};

BlockFields read_block(const Cell& spec) {
    SeriesBuffer* b = memory::buffer_of(series_cell::node(spec));
    uint32_t head = series_cell::head(spec), length = b->length();
    BlockFields f;
    f.count = head < length ? length - head : 0;
    int8_t state = kStart;
    for (uint32_t i = 0; i < f.count; ++i) {
        const Cell& v = memory::buffer_of(series_cell::node(spec))->cells()[head + i];
        int kind = is(v, TypeId::integer) ? 0 : is(v, TypeId::time) ? 1 : is(v, TypeId::float_) ? 2 : -1;
        if (kind < 0) bad_to_arg(spec);
        state = kNext[state][kind];
        if (state < 0) bad_to_arg(spec);
        int32_t n = kind == 0 ? cell::get_integer(v) : 0;
        double d = kind == 0 ? double(n) : cell::get_float(v);
        switch (state) {
            case kFirst: f.first = n; break;
            case kMonthRead: f.month = n; break;
            case kThird: f.third = n; break;
            case kTimeRead: f.time = d; break;
            case kHourRead: f.clock_given = true; f.hour = n; break;
            case kMinuteRead: f.minute = n; break;
            case kSecondRead: f.second = d; break;
            case kZoneTime:
            case kClockZoneTime: f.zone_time_given = true; f.zone_time = d; break;
            case kZoneHours:
            case kClockZoneHours: f.zone_hours_given = true; f.zone_hours = n; break;
            default: f.zone_minutes = n; break;  // kZoneMinutes, kClockZoneMinutes
        }
    }
    if (!kFinal[state]) bad_to_arg(spec);
    return f;
}

// The zone bits of the zone a block gave: a zone of 16 hours or more, or minutes outside 0-59,
// is refused rather than folded into the other bits.
uint32_t block_zone(const BlockFields& f, const Cell& spec) {
    std::optional<uint32_t> zone = 0u;
    if (f.zone_time_given) {
        if (!std::isfinite(f.zone_time)) bad_to_arg(spec);
        double magnitude = std::fabs(f.zone_time);
        if (magnitude >= 16 * time::kSecondsPerHour) bad_to_arg(spec);
        auto hours = int32_t(magnitude / time::kSecondsPerHour);
        auto minutes = int32_t(std::fmod(magnitude, time::kSecondsPerHour) / time::kSecondsPerMinute);
        zone = zone_from_fields(f.zone_time < 0.0, hours, minutes);
    } else if (f.zone_hours_given) {
        int32_t hours = f.zone_hours;
        if (hours < -15 || hours > 15) bad_to_arg(spec);
        zone = zone_from_fields(hours < 0, hours < 0 ? -hours : hours, f.zone_minutes);
    }
    if (!zone) bad_to_arg(spec);
    return *zone;
}

// A date from a block of fields. With `check` (make), a field out of its range is refused;
// without it (to), it carries into the fields above it.
Cell from_block(const Cell& spec, bool check) {
    BlockFields f = read_block(spec);
    int32_t day = f.first, year = f.third;
    if (f.first >= 100 && f.first > f.third) std::swap(day, year);  // year first: [2024 1 15]
    uint32_t zone = block_zone(f, spec);
    bool timed = f.count > 3;
    double local = f.clock_given ? f.hour * time::kSecondsPerHour + f.minute * time::kSecondsPerMinute + f.second
                                 : f.time;
    Cell c = make_cell(from_fields(year, f.month, day, 0, timed), 0.0);
    uint32_t given = date_part(packed_of(c));
    if (check) {
        if (year_of(given) != year || month_of(given) != f.month || day_of(given) != day) bad_to_arg(spec);
        if (local != 0.0) {
            // The clock as given, against the clock once carried into a day.
            if (!std::isfinite(local)) bad_to_arg(spec);
            double hour = f.clock_given ? f.hour : std::trunc(local / time::kSecondsPerHour);
            int32_t minute = f.clock_given ? f.minute : time::get_minutes(local);
            double carried = local - std::floor(local / kSecondsPerDay) * kSecondsPerDay;
            if (hour < 0 || hour > 23 || time::get_minutes(carried) != minute) bad_to_arg(spec);
            // Seconds of a minute or more would carry into minutes the check above may not see
            // (10:30 and 3600 seconds reads 11:30).
            if (f.clock_given && !(f.second >= 0.0 && f.second < 60.0)) bad_to_arg(spec);
        }
    }
    c.data1 |= zone;
    set_time(c, local, true);
    if (check && date_part(packed_of(c)) != given) bad_to_arg(spec);
    return c;
}

// ---- text ----

// The first three characters of the month's name in system/locale/months, as UTF-8.
std::string month_abbreviation(int32_t month) {
    Cell months = object::system_field({"locale", "months"});
    if (!is(months, TypeId::block)) error::raise(ErrorId::script_invalid_months);
    SeriesBuffer* b = memory::buffer_of(series_cell::node(months));
    uint32_t at = series_cell::head(months) + uint32_t(month - 1);
    if (month < 1 || at >= b->length()) error::raise(ErrorId::script_invalid_months);
    Cell name = b->cells()[at];
    if (!is(name, TypeId::string)) error::raise(ErrorId::script_invalid_months);
    uint32_t length = string::length_from_head(name);
    std::string text;
    for (uint32_t i = 0; i < length && i < 3; ++i) {
        uint8_t bytes[4];
        uint32_t n = utf8::encode_char(string::char_at(name, i), bytes);
        text.append(reinterpret_cast<const char*>(bytes), n);
    }
    return text;
}

int32_t form_text(const Cell& date, Node string, int32_t limit) {
    uint32_t packed = packed_of(date);
    int32_t year = year_of(packed);
    std::string text = std::to_string(day_of(packed));
    char separator = year < 0 ? '/' : '-';
    text += separator;
    text += month_abbreviation(month_of(packed));
    text += separator;
    if (year < 0) text += '-';
    std::string digits = std::to_string(year < 0 ? -int64_t(year) : int64_t(year));
    if (year >= 0 && digits.size() < 4) digits.insert(0, 4 - digits.size(), '0');
    text += digits;
    limit -= int32_t(text::append_utf8(string, text));
    if (!time_q(packed)) return limit;
    text::append_ascii(string, "/");
    limit = time::form_text(to_local(time_of(date), zone_of(packed)), string, limit - 1);
    uint32_t zone = zone_of(packed);
    if (zone == 0) return limit;
    char z[7] = {(zone & kZoneWest) ? '-' : '+', '0', '0', ':', '0', '0', 0};
    uint32_t hours = zone >> 2 & 0xF, quarters = zone & 3;
    z[1] = char('0' + hours / 10);
    z[2] = char('0' + hours % 10);
    z[4] = char('0' + quarters * 15 / 10);
    z[5] = char('0' + quarters * 15 % 10);
    text::append_ascii(string, z);
    return limit - 6;
}

// ---- setting fields ----

int32_t integer_arg(const Cell& value) {
    if (!is(value, TypeId::integer)) error::raise(ErrorId::script_invalid_arg, value);
    return cell::get_integer(value);
}

// The zone bits of a zone assigned through a path: whole hours of an integer! (its remainder by
// 16), or the hours and minutes of a time! (its remainder by 16 hours).
uint32_t assigned_zone(const Cell& value) {
    std::optional<uint32_t> zone;
    if (is(value, TypeId::integer)) {
        int32_t hours = cell::get_integer(value) % 16;
        zone = zone_from_fields(hours < 0, hours < 0 ? -hours : hours, 0);
    } else if (is(value, TypeId::time)) {
        zone = zone_from_seconds(cell::get_float(value));
    }
    if (!zone) error::raise(ErrorId::script_invalid_arg, value);
    return *zone;
}

// Changes one field of `date`. The hour, minute and second are set in the local clock, then
// stored back under the zone, so that a zone of quarter hours leaves the other fields as they
// read.
void set_field(Cell& date, int32_t id, const Cell& value) {
    switch (id) {
        case kDate: {
            if (!is(value, TypeId::date)) error::raise(ErrorId::script_invalid_arg, value);
            uint32_t packed = packed_of(date);
            date.data1 = date_part(packed_of(value)) | (packed & (kZoneMask | kTimeFlag));
            return;
        }
        case kYear: return set_year(date, integer_arg(value));
        case kMonth: return set_month(date, integer_arg(value));
        case kDay: return set_day(date, integer_arg(value));
        case kWeekday: return set_weekday(date, integer_arg(value));
        case kYearday: return set_yearday(date, integer_arg(value));
        case kWeek: return set_week(date, integer_arg(value));
        case kIsoweek: return set_isoweek(date, integer_arg(value));
        case kZone:
        case kTimezone: return set_zone(date, assigned_zone(value), id == kTimezone);
        case kTime:
            if (is(value, TypeId::none)) {
                date.data1 &= ~kTimeFlag;
                cell::put_float(date, 0.0);
                return;
            }
            if (!is(value, TypeId::time)) error::raise(ErrorId::script_invalid_arg, value);
            date.data1 |= kTimeFlag;
            return set_time(date, cell::get_float(value), true);
        default: {  // kHour, kMinute, kSecond
            Cell clock = cell::make(TypeId::time);
            cell::put_float(clock, to_local(time_of(date), zone_of(packed_of(date))));
            time::eval_path(clock, cell::integer(id - kHour + 1), &value, PathStep{});
            date.data1 |= kTimeFlag;
            return set_time(date, cell::get_float(clock), true);
        }
    }
}

// An object that holds the date in a field, and watches its fields, hears of the change.
void notify_owner(const PathStep& step, const Cell& old_value, const Cell& new_value) {
    if (!step.owner || !step.grandparent || !step.previous) return;
    Cell owner = *step.grandparent, field = *step.previous;
    if (is(owner, TypeId::object) && object_cell::notifies_q(owner) && word_q(field))
        object::fire_on_change(owner, field, old_value, new_value);
}

// The field an element names: 1-14, or an accessor word; -1 for anything else.
int32_t field_of(const Cell& element, const Cell& date) {
    if (is(element, TypeId::integer)) {
        int32_t i = cell::get_integer(element);
        return i >= kDate && i <= kIsoweek ? i : kNoField;
    }
    return field_id(element, date);
}

}  // namespace

Cell* push(uint32_t packed, double time) { return stack::push(make_cell(packed, time)); }

Cell* make_in_block(Node block, uint32_t packed, double time) {
    SeriesBuffer* b = memory::buffer_of(block);
    Cell* c = series::reserve_cell(b);
    *c = make_cell(packed, time);
    return c;
}

Cell from_epoch(int64_t seconds) {
    int64_t days = floor_div(seconds, 86400);
    return make_cell(from_day_number(kEpochDay + days, 0, true), double(seconds - days * 86400));
}

int32_t to_integer(const Cell& date) {
    int64_t seconds = to_epoch(date);
    if (seconds < INT32_MIN || seconds > INT32_MAX)
        error::raise(ErrorId::script_type_limit, cell::datatype(TypeId::integer));
    return int32_t(seconds);
}

void do_math(MathOp op) {
    Cell& date = stack::base[0];
    const Cell& operand = stack::base[1];
    uint32_t packed = packed_of(date);
    int64_t days = 0;
    double seconds = 0.0;
    bool timed = time_q(packed);
    switch (type_of(operand)) {
        case TypeId::integer: days = cell::get_integer(operand); break;
        case TypeId::time:
            seconds = cell::get_float(operand);
            timed = true;
            break;
        case TypeId::date:
            if (op != MathOp::subtract)
                error::raise(ErrorId::script_not_related, words::add, cell::datatype(TypeId::date));
            days = day_number(packed_of(operand));
            seconds = time_of(operand);
            break;
        default: error::raise(ErrorId::script_invalid_type, cell::datatype(type_of(operand)));
    }
    if (op == MathOp::subtract) {
        days = -days;
        seconds = -seconds;
    }
    double time = time_of(date) + seconds;
    if (is(operand, TypeId::date)) {
        // Whole days elapsed between the two instants: the stored times differ as the instants
        // do, so they carry with no zone (the date's own would count a day too many or too few
        // for differences within its offset of a whole day).
        int64_t n = normalize_time(int64_t(day_number(packed)) + days, time, 0);
        integer::init_cell(date, int32_t(n));
        return;
    }
    int64_t n = normalize_time(int64_t(day_number(packed)) + days, time, zone_of(packed));
    date.data1 = from_day_number(n, zone_of(packed), timed);
    cell::put_float(date, time);
}

// ---- actions ----

Cell make(const Cell& proto, const Cell& spec, TypeId type) {
    switch (type_of(spec)) {
        case TypeId::block:
        case TypeId::paren:
        case TypeId::hash: return from_block(spec, true);
        default: return to(proto, spec, type);
    }
}

Cell to(const Cell&, const Cell& spec, TypeId) {
    switch (type_of(spec)) {
        case TypeId::date: return spec;
        case TypeId::block:
        case TypeId::paren:
        case TypeId::hash: return from_block(spec, false);
        case TypeId::integer: return from_epoch(cell::get_integer(spec));
        case TypeId::string:
        case TypeId::file:
        case TypeId::url:
        case TypeId::tag:
        case TypeId::email:
        case TypeId::ref: {
            // The text is loaded as source; its first value must be a date.
            if (!datatype_hooks.load_text) error::raise(ErrorId::internal_not_done);
            Cell loaded = datatype_hooks.load_text(spec);
            SeriesBuffer* b = memory::buffer_of(series_cell::node(loaded));
            uint32_t head = series_cell::head(loaded);
            if (head >= b->length() || !is(b->cells()[head], TypeId::date)) bad_to_arg(spec);
            return b->cells()[head];
        }
        default: bad_to_arg(spec);
    }
}

void random(Cell& value, bool seed, bool secure, bool) {
    uint32_t packed = packed_of(value);
    double time = time_of(value);
    if (seed) {
        int32_t whole = number::fits_int32(time) ? int32_t(time) : 0;
        kaz::random::seed(packed + uint32_t(whole));
        value = cell::unset();
        return;
    }
    // A day from the first of the calendar's count to the day before the date.
    int32_t n = kaz::random::int_(secure, day_number(packed) - 1);
    if (!time_q(packed)) {
        value.data1 = from_day_number(n, zone_of(packed), false);
        return;
    }
    uint32_t bits = secure ? uint32_t(kaz::random::next_secure()) : kaz::random::next();
    uint32_t zone = bits & kZoneMask;
    if ((zone & ~kZoneWest) == 0) zone = 0;  // no zone is written "-00:00"
    value.data1 = from_day_number(n, zone, true);
    // A clock time in steps of 24 seconds (a 3600th of the day).
    double u = float_::random_value(1.0, secure);
    set_time(value, std::floor(u * 3600.0) / 3600.0 * kSecondsPerDay, true);
}

int32_t form(const Cell& value, Node string, const Cell*, int32_t limit) { return form_text(value, string, limit); }

int32_t mold(const Cell& value, Node string, bool, bool, bool, const Cell*, int32_t limit, int32_t) {
    return form_text(value, string, limit);
}

Cell eval_path(const Cell& parent, const Cell& element, const Cell* value, const PathStep& step) {
    int32_t id = field_of(element, parent);
    if (id == kNoField) error::raise(ErrorId::script_invalid_path, step.path ? *step.path : none::value, element);
    if (!value) return get_field(parent, id);

    // The path walk hands over the cell the date lives in: the change is made there, once it
    // has succeeded.
    Cell& date = const_cast<Cell&>(parent);
    Cell assigned = *value, old_value = date, changed = date;
    set_field(changed, id, assigned);
    date = changed;
    notify_owner(step, old_value, changed);
    return assigned;
}

int32_t compare(const Cell& a, const Cell& b, CompareOp op) {
    if (!is(b, TypeId::date)) return kNotComparable;
    auto pa = int32_t(date_part(packed_of(a))), pb = int32_t(date_part(packed_of(b)));
    double ta = time_of(a), tb = time_of(b);
    switch (op) {
        case CompareOp::equal:
        case CompareOp::not_equal:
        case CompareOp::strict_equal:
        case CompareOp::match_case:
        case CompareOp::match:
        case CompareOp::find: return pa == pb && float_::almost_equal_q(ta, tb) ? 0 : 1;
        case CompareOp::same: return pa == pb && a.data2 == b.data2 && a.data3 == b.data3 ? 0 : 1;
        default: break;
    }
    if (pa != pb) return pa < pb ? -1 : 1;
    return ta < tb ? -1 : ta > tb ? 1 : 0;
}

void add() { do_math(MathOp::add); }
void subtract() { do_math(MathOp::subtract); }

Cell pick(const Cell& date, int32_t index, const Cell& index_value) {
    int32_t id = word_q(index_value) ? field_id(index_value, date) : index >= kDate && index <= kIsoweek ? index : kNoField;
    if (id == kNoField) error::raise(ErrorId::script_out_of_range, index_value);
    return get_field(date, id);
}

// ---- registration ----

void init() {
    registry::define(TypeId::date, {.make = make, .random = random, .to = to, .form = form,
                                    .mold = mold, .eval_path = eval_path, .compare = compare,
                                    .add = add, .subtract = subtract, .pick = pick});
}

}  // namespace kaz::date
