// float! — the 64-bit IEEE 754 number. Its arithmetic core, comparison, rounding and
// formatting also serve percent! and time!, which share its cell (the double in data2-data3,
// low word first) and inherit its actions.
#pragma once

#include <cstdint>
#include <string_view>

#include "datatypes/actions.h"
#include "datatypes/integer.h"
#include "runtime/cell.h"

namespace kaz::float_ {

// The switches of system/options/float, set by its on-change* handler: pretty? turns on the
// noise removal of `format`; nothing here reads full?.
extern bool pretty_print_q;
extern bool full_support_q;


// ---- cell and number helpers ----
inline double get(const Cell& c) { return cell::get_float(c); }
void set_return(double value);
Cell* make_in_block(Node block, uint32_t high, uint32_t low);
Cell* push_halves(uint32_t high, uint32_t low);
Cell* push(double value);

double abs(double x);
// x + 0.49999999999999994 truncated toward zero; out of the 32-bit range raises script
// type-limit.
int32_t round_to_integer(double x);
bool nan_q(double x);
bool not_finite_q(double x);
bool nan32_q(float x);
// Equal within 2^-52 absolute, or within 10 units in the last place; NaN equals nothing.
bool almost_equal_q(double x, double y);
bool almost_equal32_q(float x, float y);
// The comparison of two doubles for a compare operation: -1, 0 or 1 (equality with the
// tolerance above, strict equality and sameness exact, every ordering with NaN false).
int32_t compare_doubles(double v, double o, CompareOp op);

// What `format` is forming.
enum class FormatKind : uint8_t {
    float32 = 0,    // a 32-bit float
    float_ = 1,     // a float!
    percent32 = 2,  // a 32-bit percent
    percent = 3,    // a percent!
    time = 4,       // the seconds of a time!
    point = 5,      // a coordinate of a point
};
// The text of a formatted number, held by value (no shared buffer).
struct Text {
    char text[40];
    uint8_t length;
    std::string_view view() const { return {text, length}; }
};
Text format(double x, FormatKind kind);

// One operation on two doubles: IEEE results, never an error, except that the bitwise
// operations raise script cannot-use with the running action's word and float!.
double do_math(double x, double y, MathOp op);
// The arithmetic core for arguments 1 and 2 of the current frame: the left one an integer!,
// float!, percent! or time!; the result, with its type, is left in argument 1.
void math_core(MathOp op);
// A random double between 0 and `max`.
double random_value(double max, bool secure);
// Raises script expect-arg naming power unless `exponent` is an integer! or float!.
void check_exponent(const Cell& exponent);

// ---- actions ----
// make and to are one function: `type` (float!, percent! or time!) is the result's type.
Cell make(const Cell& proto, const Cell& spec, TypeId type);
void random(Cell& value, bool seed, bool secure, bool only);
int32_t form(const Cell& value, Node string, const Cell* part, int32_t limit);
int32_t mold(const Cell& value, Node string, bool only, bool all, bool flat, const Cell* part,
             int32_t limit, int32_t indent);
int32_t compare(const Cell& a, const Cell& b, CompareOp op);
void absolute();
void add();
void divide();
void multiply();
void negate(Cell& value);
void power();
void remainder();
void round(Cell& value, const Cell* scale, bool even, bool down, bool half_down, bool floor,
           bool ceiling, bool half_ceiling);
void subtract();
bool even_q(const Cell& value);
bool odd_q(const Cell& value);

// ---- registration ----
void init();

}  // namespace kaz::float_
