// unset!, none! and logic!: the value of nothing, the absent value, and true and false; with
// the truth test that conditionals, loops and compiled code use.
#pragma once

#include <cstdint>

#include "datatypes/actions.h"
#include "runtime/cell.h"

namespace kaz::unset {

// The shared unset! value (also the content of fresh cells).
inline constexpr Cell value = cell::unset();

void set_return();
Cell* make_in_block(Node block);
Cell* push();

// ---- actions ----
Cell make(const Cell& proto, const Cell& spec, TypeId type);
int32_t form(const Cell& value, Node string, const Cell* part, int32_t limit);
int32_t mold(const Cell& value, Node string, bool only, bool all, bool flat, const Cell* part,
             int32_t limit, int32_t indent);
int32_t compare(const Cell& a, const Cell& b, CompareOp op);

void init();

}  // namespace kaz::unset

namespace kaz::none {

// The shared none! value: what failed searches and selects return.
inline constexpr Cell value = cell::none();

void set_return();
Cell* make_in_block(Node block);
Cell* push();

// ---- actions ----
Cell make(const Cell& proto, const Cell& spec, TypeId type);
int32_t form(const Cell& value, Node string, const Cell* part, int32_t limit);
int32_t mold(const Cell& value, Node string, bool only, bool all, bool flat, const Cell* part,
             int32_t limit, int32_t indent);
int32_t compare(const Cell& a, const Cell& b, CompareOp op);
// The series actions of none!: each answers none!.
void clear(Cell& value);
Cell find(const Cell& series, const Cell& value, const FindOptions& options);
int32_t length_q(const Cell& value);  // -1: the length? entry answers none!
void remove(Cell& series, const Cell* part, const Cell* key);
Cell take(const Cell& series, const Cell* part, bool deep, bool last);

void init();

}  // namespace kaz::none

namespace kaz::logic {

// The shared true and false values (what `to logic!` returns).
inline constexpr Cell true_ = cell::logic(true);
inline constexpr Cell false_ = cell::logic(false);

// The 0/1 payload.
constexpr uint32_t get(const Cell& c) { return c.data1; }

void set_return(uint32_t truth);
Cell* make_in_block(Node block, uint32_t truth);
Cell* push(uint32_t truth);

// False only for none! and logic! false. With `check_unset`, an unset! raises script
// no-value.
bool cell_true_q(const Cell& c, bool check_unset);
// The same test (no unset! check) on the top of the data stack.
bool top_true_q();
bool top_false_q();
// The test on the current frame's return slot: an unset! raises script no-return.
bool return_true_q();
// Its negation, without the unset! check.
bool return_false_q();

// ---- actions ----
Cell make(const Cell& proto, const Cell& spec, TypeId type);
void random(Cell& value, bool seed, bool secure, bool only);
Cell to(const Cell& proto, const Cell& spec, TypeId type);
int32_t form(const Cell& value, Node string, const Cell* part, int32_t limit);
int32_t mold(const Cell& value, Node string, bool only, bool all, bool flat, const Cell* part,
             int32_t limit, int32_t indent);
int32_t compare(const Cell& a, const Cell& b, CompareOp op);
void and_();
Cell complement(const Cell& value);
void or_();
void xor_();

void init();

}  // namespace kaz::logic
