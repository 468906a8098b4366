// tag!, email! and ref! — strings with literal forms of their own: <a href="x">, user@host and
// @name. Each is a child of string! and keeps its text without the delimiters; only the text
// forms and email!'s user and host accessors are their own.
#pragma once

#include <cstdint>

#include "datatypes/actions.h"
#include "runtime/cell.h"

namespace kaz::tag {

Cell* push(const Cell& tag);
// form and mold: the text between "<" and ">".
int32_t mold(const Cell& value, Node string, bool only, bool all, bool flat, const Cell* part,
             int32_t limit, int32_t indent);
int32_t form(const Cell& value, Node string, const Cell* part, int32_t limit);
void init();

}  // namespace kaz::tag

namespace kaz::email {

Cell* push(const Cell& email);
// The text as it stands.
int32_t mold(const Cell& value, Node string, bool only, bool all, bool flat, const Cell* part,
             int32_t limit, int32_t indent);
// An integer reaches a character as in a string!; user and host the text before and after
// the first "@" (the whole text and "" when there is none): read as a new string!, set in
// place with the value formed as text.
Cell eval_path(const Cell& parent, const Cell& element, const Cell* value, const PathStep& step);
void init();

}  // namespace kaz::email

namespace kaz::ref {

Cell* push(const Cell& ref);
// "@" and the text.
int32_t mold(const Cell& value, Node string, bool only, bool all, bool flat, const Cell* part,
             int32_t limit, int32_t indent);
void init();

}  // namespace kaz::ref
