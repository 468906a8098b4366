// PARSE: the engine (a state machine over explicit frames), the matching and searching of
// single values, and the collection and modification commands.
#include "evaluator/parse.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "datatypes/bitset.h"
#include "datatypes/block.h"
#include "datatypes/internal.h"
#include "datatypes/registry.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/triple.h"
#include "datatypes/typeset.h"
#include "datatypes/word.h"
#include "evaluator/actions.h"
#include "evaluator/interp.h"
#include "evaluator/lexer.h"
#include "evaluator/natives.h"
#include "runtime/case_fold.h"
#include "runtime/error.h"
#include "runtime/memory.h"
#include "runtime/stack.h"
#include "runtime/unicode.h"

namespace kaz::parse {
namespace {

// ---- lengths without a division ----

// Cells of a buffer of unit 16.
inline uint32_t cell_count(const SeriesBuffer* b) { return uint32_t(size_t(b->tail - b->head) / sizeof(Cell)); }
// Units of a buffer of any unit (1, 2, 4, 16).
inline uint32_t unit_count(const SeriesBuffer* b) { return b->used() >> __builtin_ctz(b->unit()); }

// Copies a cell word by word: the engine builds frame cells a field at a time, and one wide
// load of fields just stored singly stalls the pipeline.
inline void store(Cell& to, const Cell& from) {
    to.header = from.header;
    to.data1 = from.data1;
    to.data2 = from.data2;
    to.data3 = from.data3;
}

// ---- the shared stacks ----

// A block shared by every run; `head` is where the running (innermost) run's part begins.
struct SharedStack {
    Node node = kNoNode;
    uint32_t head = 0;

    SeriesBuffer* buffer() const { return memory::buffer_of(node); }
    uint32_t length() const { return cell_count(buffer()); }
    Cell* at(uint32_t i) const { return buffer()->cells() + i; }
    void push(const Cell& c) const {
        SeriesBuffer* b = buffer();
        *series::reserve_cell(b) = c;
    }
    void push3(const Cell& a, const Cell& b, const Cell& c) const {
        const Cell x = a, y = b, z = c;  // taken first: growing may move where they lie
        SeriesBuffer* buf = buffer();
        Cell* top = series::reserve_cells(buf, 3);
        store(top[0], x);
        store(top[1], y);
        store(top[2], z);
    }
    // Cuts the stack to `n` cells (never raises it).
    void truncate(uint32_t n) const {
        SeriesBuffer* b = buffer();
        if (n < b->length()) b->tail = b->head + size_t(n) * sizeof(Cell);
    }
    Cell as_block() const {
        uint32_t n = length();
        return cell::make(TypeId::block, std::min(head, n), node, 0);
    }
};

SharedStack inputs;
SharedStack rules_stack;

// Sized so that the limit is reached before either buffer has to grow.
constexpr uint32_t kStackCells = kStackLimit + 15;

// ---- keywords ----

// The keywords: C++ name and the symbol naming it (read at start-up).
#define KAZ_PARSE_KEYWORDS(X)                                                                      \
    X(any, sym::any) X(break_, sym::break_) X(copy, sym::copy) X(end, sym::end)                    \
    X(fail, sym::fail) X(into, sym::into) X(opt, sym::opt) X(not_, sym::not_) X(quote, sym::quote) \
    X(case_, sym::case_) X(reject, sym::reject) X(set, sym::set) X(skip, sym::skip)                \
    X(some, sym::some) X(thru, sym::thru) X(to, sym::to) X(none, sym::none) X(bar, sym::bar)       \
    X(if_, sym::if_) X(remove, sym::remove) X(while_, sym::while_) X(insert, sym::insert)          \
    X(only, sym::only) X(collect, sym::collect) X(keep, sym::keep) X(pick, sym::pick)              \
    X(ahead, sym::ahead) X(after, sym::after) X(change, words::change.data2)

// none_: a word that is no keyword.
enum class Keyword : uint8_t {
    none_,
#define KAZ_KEYWORD(cname, symbol) cname,
    KAZ_PARSE_KEYWORDS(KAZ_KEYWORD)
#undef KAZ_KEYWORD
};
// The size of a table indexed by Keyword: none_ and one entry per keyword.
constexpr size_t kKeywordCount = 1
#define KAZ_KEYWORD(cname, symbol) +1
    KAZ_PARSE_KEYWORDS(KAZ_KEYWORD)
#undef KAZ_KEYWORD
    ;

// Indexed by canonical symbol id; built once at start-up, read-only afterwards.
std::vector<Keyword> keyword_table;
// The keyword words, for error arguments.
Cell keyword_words[kKeywordCount];

// Every symbol below the table's size has its entry.
Keyword keyword_of(const Cell& word) {
    uint32_t id = word.data2;
    if (id >= keyword_table.size()) [[unlikely]] {
        // Symbols made since: their entries are added once (a symbol's canonical id never
        // changes, so an entry stays true).
        size_t from = keyword_table.size();
        keyword_table.resize(size_t(id) + 1, Keyword::none_);
        for (size_t i = from; i <= id; ++i) {
            uint32_t canonical = symbol::canonical_id(uint32_t(i));
            if (canonical < from) keyword_table[i] = keyword_table[canonical];
        }
    }
    return keyword_table[id];
}

const Cell& keyword_word(Keyword k) { return keyword_words[size_t(k)]; }

void build_keywords() {
    struct Entry {
        uint32_t symbol;
        Keyword keyword;
    };
    const Entry entries[] = {
#define KAZ_KEYWORD(cname, symbol) {symbol, Keyword::cname},
        KAZ_PARSE_KEYWORDS(KAZ_KEYWORD)
#undef KAZ_KEYWORD
    };
    keyword_table.clear();
    for (const Entry& e : entries) {
        uint32_t id = symbol::canonical_id(e.symbol);
        if (id >= keyword_table.size()) keyword_table.resize(id + 1, Keyword::none_);
        keyword_table[id] = e.keyword;
        keyword_words[size_t(e.keyword)] = word::from_symbol(e.symbol);
    }
    // A symbol made before the keywords may be a case variant of one.
    for (uint32_t id = 1; id < keyword_table.size(); ++id) {
        uint32_t canonical = symbol::canonical_id(id);
        if (canonical != id) keyword_table[id] = keyword_table[canonical];
    }
}

// ---- small helpers ----

SeriesBuffer* buf(Node n) { return memory::buffer_of(n); }

bool any_block(TypeId t) { return series_::any_block_q(t); }
bool any_string(TypeId t) { return series_::any_string_q(t); }

bool string_like(TypeId t) {
    return t == TypeId::string || t == TypeId::file || t == TypeId::url || t == TypeId::tag ||
           t == TypeId::email || t == TypeId::ref;
}

// The value of a word, or unset! when it has none (never raises for that).
Cell lookup(const Cell& w) {
    if (w.data3 == word::kNoIndex || !w.data1) return cell::unset();
    return *word::get(w);
}

bool truthy(const Cell& v) { return interp::true_q(v, false); }

Cell word_of(const Cell& w) {
    Cell c = w;
    return cell::set_type(c, TypeId::word);
}

// Whether cp is in the bitset: its bit when stored, else the complement flag.
inline bool in_bits(const uint8_t* bits, uint32_t nbytes, bool complement, uint32_t cp) {
    uint32_t byte = cp >> 3;
    return byte < nbytes ? (bits[byte] & (0x80u >> (cp & 7))) != 0 : complement;
}

inline uint32_t fold(uint32_t cp) { return case_::upper_char(cp); }
inline uint32_t fold_lower(uint32_t cp) { return case_::change_char(cp, false); }

// The text a rule value stands for: its buffer, first unit and length.
struct Text {
    const uint8_t* p;
    uint32_t unit;
    uint32_t length;
    uint32_t at(uint32_t i) const { return string::get_char(p + size_t(i) * unit, unit); }
};

Text text_of(const Cell& value) {
    SeriesBuffer* b = buf(value.data2);
    uint32_t n = b->length();
    uint32_t h = std::min(value.data1, n);
    return {b->head + size_t(h) * b->unit(), b->unit(), n - h};
}

// Hides the input stack's entries from code run outside the engine, and shows them again
// however that code ends.
struct HideInputs {
    uint32_t saved;
    HideInputs() : saved(inputs.head) { inputs.head = inputs.length(); }
    ~HideInputs() { inputs.head = saved; }
    HideInputs(const HideInputs&) = delete;
    HideInputs& operator=(const HideInputs&) = delete;
};

// Ends the engine at once: the callback asked to stop.
struct Stop {};

// The fourteen states of the engine.
enum State : uint8_t {
    st_push_block = 0, st_pop_block, st_push_rule, st_pop_rule, st_check_pending, st_do_action,
    st_next_input, st_next_action, st_match_value, st_match_rule, st_find_alternative, st_rule_word,
    st_end, st_exit,
};

// One run of the engine. Everything a run changes lives here, on the machine stack: a
// nested run is another Engine.
class Engine {
public:
    Engine(CompareOp mode, uint32_t limit, const Cell* callback)
        : mode_(mode), limit_(limit), callback_(callback ? *callback : cell::unset()),
          tracing_(callback != nullptr) {}

    Cell run(const Cell& input, const Cell& rules);

private:
    // ---- configuration ----
    CompareOp mode_;
    uint32_t limit_;   // absolute limit on the parsed series, 0 for none
    Cell callback_;
    bool tracing_;

    // ---- state ----
    Cell input_ = cell::none();   // the series being matched and its position
    uint32_t part_ = 0;           // the limit on the current input (none inside into)
    Cell rules_ = cell::none();   // the current rule block
    int32_t cursor_ = -1;         // cell index in rules_; head - 1 before its first value
    bool match_ = true;
    bool end_ = false;
    bool break_ = false;
    bool pop_ = false;
    bool walked_ = false;         // the last block popped was walked to its tail
    int32_t collect_depth_ = 0;
    bool collected_ = false;      // an outermost collect left its block as the result
    uint32_t scratch_ = 0;        // data-stack index of the engine's scratch cell
    Cell value_ = cell::none();   // the rule value being acted on
    Cell last_copied_ = cell::none();
    Cell kept_ = cell::none();    // the value of a `keep (paren)`
    // What state 0 and state 2 push.
    bool enter_value_ = false;    // state 0 enters the block in value_
    Cell frame_bottom_ = cell::none();
    int32_t frame_code_ = 0;
    int32_t frame_flag_ = 0;
    // Heads of the stacks of the run below, when this run is nested.
    bool nested_ = false;
    uint32_t saved_input_head_ = 0;
    uint32_t saved_rule_head_ = 0;

    // ---- lifecycle ----
    void enter();
    void reset();
    struct Guard {
        Engine& e;
        ~Guard() { e.reset(); }
    };
    void check_limits() const {
        if (stack_top() >= kStackLimit || inputs.length() >= kStackLimit) stack_full();
    }
    [[noreturn]] static void stack_full();

    // ---- input ----
    uint32_t pos() const { return input_.data1; }
    uint32_t total() const { return unit_count(buf(input_.data2)); }
    uint32_t end_pos() const {
        uint32_t t = total();
        return part_ && part_ < t ? part_ : t;
    }
    uint32_t left() const {
        uint32_t e = end_pos();
        return pos() < e ? e - pos() : 0;
    }
    void update_end() { end_ = pos() >= end_pos(); }
    void set_pos(uint32_t p) {
        uint32_t t = total();
        if (p > t) p = t;
        input_.data1 = p;
        end_ = p >= (part_ && part_ < t ? part_ : t);
    }
    uint32_t input_length() const {
        uint32_t t = total();
        return pos() < t ? t - pos() : 0;
    }
    TypeId input_type() const { return type_of(input_); }

    // ---- rules ----
    uint32_t rule_tail() const { return cell_count(buf(rules_.data2)); }
    Cell rule_at(int32_t i) const { return buf(rules_.data2)->cells()[i]; }
    bool has_rule(int32_t i) const { return i >= 0 && uint32_t(i) < rule_tail(); }
    bool next_is_word(Keyword k) const {
        return has_rule(cursor_ + 1) && is(rule_at(cursor_ + 1), TypeId::word) &&
               keyword_of(rule_at(cursor_ + 1)) == k;
    }

    // ---- frames ----
    // The rule stack's buffer, kept at hand: it lives in the tracked heap and only code run
    // outside the engine could make it grow (refresh takes it again).
    SeriesBuffer* rs_ = nullptr;
    uint32_t stack_top() const { return cell_count(rs_); }
    Cell* stack_at(uint32_t i) const { return rs_->cells() + i; }
    uint32_t frame_cells() const {
        uint32_t n = stack_top();
        return n > rules_stack.head ? n - rules_stack.head : 0;
    }
    bool rule_frame_on_top() const {
        uint32_t n = stack_top();
        return n >= rules_stack.head + 3 && is(rs_->cells()[n - 1], TypeId::pair);
    }
    Cell* top_frame() const { return stack_at(stack_top() - 3); }
    void push_frame(const Cell& a, const Cell& b, const Cell& c) {
        rules_stack.push3(a, b, c);
        rs_ = rules_stack.buffer();
    }
    void drop_frame() {
        if (frame_cells() >= 3) rs_->tail -= 3 * sizeof(Cell);
        else rules_stack.truncate(rules_stack.head);
    }
    // Drops the top rule frame and tells the rule frame below which command completed.
    void drop_rule_frame(int32_t code) {
        drop_frame();
        if (rule_frame_on_top()) stack_at(stack_top() - 1)->data1 = uint32_t(code);
    }
    int32_t top_code() const { return rule_frame_on_top() ? int32_t(top_frame()[2].data2) : 0; }
    // Puts the cursor back on a position kept in a frame (which a callback could have changed).
    void cursor_from(uint32_t kept) { cursor_ = std::clamp(int32_t(kept), -1, int32_t(rule_tail())); }
    // Whether the cursor is on the sub-rule that directly follows a command's prefix.
    bool after_command() const {
        if (!rule_frame_on_top()) return false;
        const Cell* f = top_frame();
        int32_t code = int32_t(f[2].data2);
        if (code == collect || code == keep || code == keep_paren) return false;
        return cursor_ == int32_t(f[1].data1) + 1;
    }
    void begin_rule(const Cell& bottom, int32_t code, int32_t flag = 0) {
        frame_bottom_ = bottom;
        frame_code_ = code;
        frame_flag_ = flag;
    }

    // Setting a word may run an object's on-change handler.
    void set_word(Cell& w, const Cell& value) {
        word::set(w, value);
        refresh();
    }

    // ---- events and calls out ----
    // Code run outside the engine may have changed the input or the rules: the position and
    // the cursor are brought back inside them.
    void refresh() {
        rs_ = rules_stack.buffer();
        set_pos(pos());
        if (cursor_ > int32_t(rule_tail())) cursor_ = int32_t(rule_tail());
    }
    void fire(const Cell& event) {
        if (tracing_) fire_now(event);
    }
    void fire_now(const Cell& event);
    Cell eval_paren(const Cell& paren);

    // ---- states ----
    State do_push_block();
    State do_pop_block();
    State do_push_rule();
    State do_pop_rule();
    State after_pending() const { return rule_frame_on_top() ? st_pop_rule : match_ ? st_next_action : st_find_alternative; }
    State do_action_state();
    State do_next_action();
    State do_match_rule();
    State do_find_alternative();
    State do_rule_word();
    State do_end();
    State at_block_tail() const { return rule_frame_on_top() ? st_pop_rule : st_pop_block; }
    State integer_rule();
    State typed_rule(const Cell& rule);
    State command_literal(int32_t code);
    State command(int32_t code, int32_t min, int32_t max);
    State complete(Cell* frame);

    // ---- matching (the single-value tests) ----
    bool match_literal(const Cell& rule);
    bool match_value_at(uint32_t i, const Cell& rule) const;
    bool match_type_binary(const Cell& rule);
    bool find_value(const Cell& rule, uint32_t& found, uint32_t& length);
    bool repeat_value(const Cell& rule, int32_t min, int32_t max);
    uint32_t prefix_length(uint32_t at, const Cell& rule) const;

    // ---- collection and modification ----
    State do_remove();
    State do_insert();
    State do_change();
    State do_collect();
    State do_keep();
    Cell command_value(const Cell& v);
    bool positional(const Cell& v, uint32_t& position) const;
    void finish_collect(const Cell* frame);
    void finish_keep(const Cell* frame, int32_t code);
    void keep_value(const Cell& v);
    bool keep_span(uint32_t start);
    Cell collect_target(const Cell& marker) const;
    bool compatible_target(const Cell& target) const;
    Cell copy_span(uint32_t from, uint32_t to) const;
    Cell value_at(uint32_t i) const { return series_::unit_value(input_, i); }
    void remove_span(uint32_t from, uint32_t count);
    void change_span(uint32_t a, uint32_t b, const Cell& value, bool only);
    Cell call_insert(const Cell& target, const Cell& value, int32_t part, bool only, bool append);
};

// ---- lifecycle ----

void Engine::enter() {
    if (rules_stack.length() > rules_stack.head) {
        // Called from a paren action or the callback: this run works above the one below.
        nested_ = true;
        saved_input_head_ = inputs.head;
        saved_rule_head_ = rules_stack.head;
        rules_stack.push(triple::make(int32_t(inputs.head), int32_t(rules_stack.head), 0));
        inputs.head = inputs.length();
        rules_stack.head = rules_stack.length();
    }
}

void Engine::reset() {
    rules_stack.truncate(rules_stack.head);
    inputs.truncate(inputs.head);
    if (nested_) {
        rules_stack.truncate(rules_stack.head - 1);  // the saved heads
        inputs.head = saved_input_head_;
        rules_stack.head = saved_rule_head_;
        nested_ = false;
    }
}

// ---- events and calls out ----

void Engine::fire_now(const Cell& event) {
    Cell rule = rules_;
    rule.data1 = cursor_ < 0 ? 0 : uint32_t(cursor_);
    Cell args[5] = {event, cell::logic(match_), rule, input_, rule_stack()};
    bool go;
    {
        HideInputs hide;
        go = truthy(interp::call(callback_, args, 5));
    }
    if (!go) throw Stop{};
    refresh();
}

Cell Engine::eval_paren(const Cell& paren) {
    Cell code = paren;
    cell::set_type(code, TypeId::block);
    Cell result;
    {
        HideInputs hide;
        result = interp::do_block(code);
    }
    refresh();
    return result;
}

void Engine::stack_full() { error::raise(ErrorId::script_parse_stack); }

// ---- the loop ----

Cell Engine::run(const Cell& input, const Cell& rules) {
    enter();
    Guard guard{*this};
    rs_ = rules_stack.buffer();
    scratch_ = stack::index_of(stack::data_top);
    stack::push(cell::none());

    input_ = input;
    series_::clamp_head(input_);
    inputs.push(input_);
    part_ = limit_;
    rules_ = rules;
    rules_.data1 = std::min(rules_.data1, rule_tail());
    cursor_ = int32_t(rules_.data1) - 1;
    update_end();

    State s = st_push_block;
    try {
        for (;;) {
            switch (s) {
                case st_push_block: s = do_push_block(); break;
                case st_pop_block: s = do_pop_block(); break;
                case st_push_rule: s = do_push_rule(); break;
                case st_pop_rule: s = do_pop_rule(); break;
                case st_check_pending:
                    // The common successions run without going round the loop.
                    s = after_pending();
                    if (s != st_next_action) break;
                    [[fallthrough]];
                case st_next_action:
                    s = do_next_action();
                    if (s != st_do_action) break;
                    [[fallthrough]];
                case st_do_action: s = do_action_state(); break;
                case st_next_input:
                    set_pos(pos() + 1);
                    s = after_pending();
                    break;
                case st_match_value:
                    match_ = match_literal(value_);
                    fire(words::match);
                    s = after_pending();
                    break;
                case st_match_rule: s = do_match_rule(); break;
                case st_find_alternative: s = do_find_alternative(); break;
                case st_rule_word: s = do_rule_word(); break;
                case st_end: s = do_end(); break;
                case st_exit: {
                    Cell result = collected_ ? *stack::at(scratch_) : cell::logic(match_);
                    stack::data_top = stack::at(scratch_);
                    return result;
                }
            }
        }
    } catch (const Stop&) {
        stack::data_top = stack::at(scratch_);
        return cell::logic(match_);
    }
}

State Engine::do_push_block() {
    check_limits();
    Cell saved = rules_;
    push_frame(cell::none(), triple::make(cursor_, int32_t(pos()), int32_t(input_length())), saved);
    if (enter_value_) {
        enter_value_ = false;
        rules_ = value_;
        rules_.data1 = std::min(rules_.data1, rule_tail());
    }
    cursor_ = int32_t(rules_.data1) - 1;
    match_ = true;
    update_end();
    fire(words::push);
    return st_next_action;
}

State Engine::do_pop_block() {
    if (frame_cells() <= 3) {
        fire(words::pop);
        return st_end;
    }
    walked_ = cursor_ >= int32_t(rule_tail());
    fire(words::pop);
    if (frame_cells() <= 3) return st_end;
    const Cell* f = top_frame();
    Cell saved = f[2];
    if (!any_block(type_of(saved))) error::raise(ErrorId::script_parse_rule, saved);
    uint32_t at = f[1].data1;
    rules_ = saved;
    cursor_from(at);
    drop_frame();
    return after_pending();
}

State Engine::do_push_rule() {
    check_limits();
    Cell marker = cell::make(TypeId::pair, 0, uint32_t(frame_code_), uint32_t(frame_flag_));
    push_frame(frame_bottom_, triple::make(cursor_, int32_t(pos()), int32_t(input_length())), marker);
    if (cursor_ < int32_t(rule_tail())) ++cursor_;
    fire(words::push);
    if (!has_rule(cursor_)) {
        // Nothing follows the command: an empty sub-rule where one may be left out.
        switch (frame_code_) {
            case to: error::raise(ErrorId::script_parse_end, keyword_word(Keyword::to));
            case thru: error::raise(ErrorId::script_parse_end, keyword_word(Keyword::thru));
            case not_: error::raise(ErrorId::script_parse_end, keyword_word(Keyword::not_));
            case remove: error::raise(ErrorId::script_parse_end, keyword_word(Keyword::remove));
            case while_: error::raise(ErrorId::script_parse_end, keyword_word(Keyword::while_));
            case collect: error::raise(ErrorId::script_parse_end, keyword_word(Keyword::collect));
            case ahead: error::raise(ErrorId::script_parse_end, keyword_word(Keyword::ahead));
            case keep:
            case keep_paren: error::raise(ErrorId::script_parse_end, keyword_word(Keyword::keep));
            default:
                match_ = true;
                return st_check_pending;
        }
    }
    value_ = rule_at(cursor_);
    return st_match_rule;
}

State Engine::do_next_action() {
    ++cursor_;
    SeriesBuffer* b = buf(rules_.data2);
    int32_t n = int32_t(cell_count(b));
    if (cursor_ >= n) {
        cursor_ = n;
        return at_block_tail();
    }
    if (tracing_) {
        fire_now(words::fetch);
        if (!has_rule(cursor_)) return at_block_tail();
        b = buf(rules_.data2);
    }
    value_ = b->cells()[cursor_];
    return st_do_action;
}

State Engine::do_find_alternative() {
    if (frame_cells() < 3) return st_end;
    const Cell* f = top_frame();
    set_pos(f[1].data2);
    uint32_t n = rule_tail();
    for (int32_t i = std::max(cursor_, 0); uint32_t(i) < n; ++i) {
        Cell c = rule_at(i);
        if (is(c, TypeId::word) && keyword_of(c) == Keyword::bar) {
            cursor_ = i;
            match_ = true;
            return st_next_action;
        }
    }
    return st_pop_block;
}

State Engine::do_end() {
    if (match_) match_ = cursor_ >= int32_t(rule_tail());
    if (left() > 0 && inputs.length() - inputs.head <= 1) match_ = false;
    fire(gwords::end);
    return st_exit;
}

// State 5: the value at the cursor, or the value of a rule word, by its type.
State Engine::do_action_state() {
    switch (type_of(value_)) {
        case TypeId::word:
            return st_rule_word;
        case TypeId::block:
            enter_value_ = true;
            return st_push_block;
        case TypeId::datatype:
        case TypeId::typeset:
            return typed_rule(value_);
        case TypeId::set_word: {
            Cell w = value_;
            set_word(w, input_);
            return st_next_action;
        }
        case TypeId::get_word: {
            Cell v = lookup(value_);
            if (!series_::same_series_q(v, input_)) error::raise(ErrorId::script_parse_invalid_ref, value_);
            set_pos(v.data1);
            match_ = true;
            return st_check_pending;
        }
        case TypeId::integer:
            return integer_rule();
        case TypeId::paren: {
            eval_paren(value_);
            fire(words::paren);
            // The action may have changed the rules or the input.
            int32_t last = int32_t(rule_tail()) - 1;
            if (cursor_ > last) cursor_ = last;
            set_pos(pos());
            return st_check_pending;
        }
        case TypeId::path:
            error::raise(ErrorId::script_parse_rule, value_);
        default:
            return st_match_value;
    }
}

State Engine::typed_rule(const Cell& rule) {
    TypeId it = input_type();
    if (any_string(it)) error::raise(ErrorId::script_parse_unsupported);
    if (end_) {
        match_ = false;
    } else if (it == TypeId::binary) {
        match_ = match_type_binary(rule);
    } else {
        TypeId t = type_of(*(buf(input_.data2)->cells() + pos()));
        match_ = is(rule, TypeId::datatype) ? TypeId(rule.data1) == t : typeset::has_q(rule, t);
    }
    fire(words::match);
    if (match_ && it != TypeId::binary) return st_next_input;
    return st_check_pending;
}

State Engine::integer_rule() {
    Cell count = value_;
    int32_t min = cell::get_integer(count);
    if (min < 0) error::raise(ErrorId::script_out_of_range, count);
    if (!has_rule(cursor_ + 1)) error::raise(ErrorId::script_parse_rule, count);
    int32_t max = min;
    Cell next = rule_at(cursor_ + 1);
    if (is(next, TypeId::word)) next = lookup(next);
    if (is(next, TypeId::integer)) {
        max = cell::get_integer(next);
        ++cursor_;
        if (!has_rule(cursor_ + 1) || max < min) error::raise(ErrorId::script_parse_rule, rule_at(cursor_));
    }
    if (min == 0 && max == 0) {
        ++cursor_;  // the rule that may not match even once is passed over
        match_ = true;
        return st_check_pending;
    }
    begin_rule(triple::make(min, max, 1), repeat);
    return command(repeat, min, max);
}

// State 9: the value after a command's prefix.
State Engine::do_match_rule() {
    int32_t code = top_code();
    if (code == keep_paren) {
        kept_ = eval_paren(value_);
        fire(words::paren);
        match_ = true;
        return st_check_pending;
    }
    switch (type_of(value_)) {
        case TypeId::block:
            enter_value_ = true;
            return st_push_block;
        case TypeId::word:
            return st_rule_word;
        case TypeId::integer:
        case TypeId::paren:
        case TypeId::typeset:
        case TypeId::datatype:
            return st_do_action;
        default:
            return command_literal(code);
    }
}

// A repetition or search whose rule is a literal (or a word holding one): done at once,
// without the frame that only a trace callback could see. With a callback, and for every
// other rule, the frame is pushed (state 2).
State Engine::command(int32_t code, int32_t min, int32_t max) {
    if (tracing_ || !has_rule(cursor_ + 1)) return st_push_rule;
    Cell v = rule_at(cursor_ + 1);
    if (is(v, TypeId::word)) {
        if (keyword_of(v) != Keyword::none_) return st_push_rule;
        v = lookup(v);
    }
    switch (type_of(v)) {
        case TypeId::block: case TypeId::word: case TypeId::integer: case TypeId::paren:
        case TypeId::typeset: case TypeId::datatype: case TypeId::unset:
            return st_push_rule;
        default:
            break;
    }
    check_limits();
    ++cursor_;
    if (code == to || code == thru) {
        uint32_t found = 0, length = 0;
        match_ = find_value(v, found, length);
        if (match_) set_pos(code == to ? found : found + length);
    } else {
        match_ = repeat_value(v, min, max) || min == 0;
    }
    if (rule_frame_on_top()) stack_at(stack_top() - 1)->data1 = uint32_t(code);
    return st_check_pending;
}

// A literal after a command: repeated, searched for, or matched once.
State Engine::command_literal(int32_t code) {
    if (code == repeat || code == while_) {
        const Cell* f = top_frame();
        int32_t min = int32_t(f[0].data1), max = int32_t(f[0].data2);
        match_ = repeat_value(value_, min, max) || min == 0;
    } else if (code == to || code == thru) {
        uint32_t found = 0, length = 0;
        match_ = find_value(value_, found, length);
        if (match_) {
            top_frame()[1].data2 = found;
            set_pos(code == to ? found : found + length);
        }
    } else {
        return st_do_action;
    }
    fire(words::match);
    fire(words::pop);
    drop_rule_frame(code);
    return st_check_pending;
}

// State 11: keywords, and the values of other words.
State Engine::do_rule_word() {
    Cell w = value_;
    Keyword k = keyword_of(w);
    switch (k) {
        case Keyword::none_:
        case Keyword::only:
        case Keyword::pick:
        case Keyword::after: {
            Cell v = lookup(w);
            if (is(v, TypeId::unset)) error::raise(ErrorId::script_parse_rule, w);
            if (after_command()) {
                value_ = v;
                return is(v, TypeId::word) ? st_match_value : st_match_rule;
            }
            if (is(v, TypeId::word)) error::raise(ErrorId::script_parse_rule, v);
            value_ = v;
            return st_do_action;
        }
        case Keyword::bar:
            cursor_ = int32_t(rule_tail());
            return at_block_tail();
        case Keyword::skip:
            if (end_) {
                match_ = false;
                return st_check_pending;
            }
            match_ = true;
            fire(words::match);
            return st_next_input;
        case Keyword::any:
        case Keyword::some:
        case Keyword::opt:
            if (!has_rule(cursor_ + 1)) error::raise(ErrorId::script_parse_end, keyword_word(k));
            begin_rule(triple::make(k == Keyword::some ? 1 : 0, k == Keyword::opt ? 1 : -1, 1), repeat);
            return command(repeat, k == Keyword::some ? 1 : 0, k == Keyword::opt ? 1 : -1);
        case Keyword::while_:
            begin_rule(triple::make(0, -1, 1), while_);
            return command(while_, 0, -1);
        case Keyword::to:
        case Keyword::thru:
            if (next_is_word(Keyword::end)) {
                match_ = true;
                set_pos(std::max(pos(), end_pos()));
                fire(words::match);
                ++cursor_;
                return st_check_pending;
            }
            begin_rule(triple::make(0, 0, 1), k == Keyword::to ? to : thru);
            return command(k == Keyword::to ? to : thru, 0, 0);
        case Keyword::copy:
        case Keyword::set:
            if (!has_rule(cursor_ + 2) || !is(rule_at(cursor_ + 1), TypeId::word))
                error::raise(ErrorId::script_parse_end, keyword_word(k));
            ++cursor_;
            begin_rule(rule_at(cursor_), k == Keyword::copy ? copy : set);
            return st_push_rule;
        case Keyword::not_:
            begin_rule(triple::make(0, 0, 1), not_);
            return st_push_rule;
        case Keyword::ahead:
            begin_rule(triple::make(0, 0, 1), ahead);
            return st_push_rule;
        case Keyword::break_:
        case Keyword::reject:
            match_ = k == Keyword::break_;
            break_ = pop_ = true;
            fire(words::match);
            return st_pop_rule;
        case Keyword::fail:
            match_ = false;
            fire(words::match);
            return st_pop_rule;
        case Keyword::none:
            match_ = true;
            fire(words::match);
            return st_check_pending;
        case Keyword::end:
            match_ = end_;
            fire(words::match);
            return st_check_pending;
        case Keyword::quote:
            if (!has_rule(cursor_ + 1)) error::raise(ErrorId::script_parse_end, keyword_word(k));
            value_ = rule_at(++cursor_);
            return st_match_value;
        case Keyword::if_: {
            if (!has_rule(cursor_ + 1) || !is(rule_at(cursor_ + 1), TypeId::paren))
                error::raise(ErrorId::script_parse_end, keyword_word(k));
            Cell v = eval_paren(rule_at(++cursor_));
            match_ = truthy(v);
            fire(words::match);
            return st_check_pending;
        }
        case Keyword::case_: {
            if (!has_rule(cursor_ + 1) || !is(rule_at(cursor_ + 1), TypeId::word))
                error::raise(ErrorId::script_parse_end, keyword_word(k));
            Cell v = lookup(rule_at(++cursor_));
            begin_rule(triple::make(0, int32_t(mode_), 1), case_);
            mode_ = truthy(v) ? CompareOp::strict_equal : CompareOp::equal;
            return st_push_rule;
        }
        case Keyword::into: {
            if (!any_block(input_type())) error::raise(ErrorId::script_parse_block, input_);
            Cell sub = has_rule(cursor_ + 1) ? rule_at(cursor_ + 1) : cell::none();
            if (is(sub, TypeId::word)) sub = lookup(sub);
            if (!is(sub, TypeId::block)) error::raise(ErrorId::script_parse_end, keyword_word(k));
            if (end_) {
                match_ = false;
                return st_check_pending;
            }
            Cell inner = *(buf(input_.data2)->cells() + pos());
            TypeId t = type_of(inner);
            if (!series_::series_type_q(t) || t == TypeId::vector || t == TypeId::image) {
                match_ = false;
                return st_check_pending;
            }
            check_limits();
            inputs.push(input_);
            input_ = inner;
            part_ = 0;
            series_::clamp_head(input_);
            update_end();
            begin_rule(triple::make(0, 0, 1), into);
            return st_push_rule;
        }
        case Keyword::remove: return do_remove();
        case Keyword::insert: return do_insert();
        case Keyword::change: return do_change();
        case Keyword::collect: return do_collect();
        case Keyword::keep: return do_keep();
    }
    return st_check_pending;
}

// State 3.
State Engine::do_pop_rule() {
    if (!rule_frame_on_top()) {
        if (pop_) {
            pop_ = false;
            return st_pop_block;
        }
        // After fail: the rest of the block is an alternative only past a `|`.
        return match_ ? st_next_action : st_find_alternative;
    }
    return complete(top_frame());
}

// Completes the command of the rule frame on top; the frame stays when its iteration goes on.
State Engine::complete(Cell* f) {
    int32_t code = int32_t(f[2].data2);
    uint32_t start = f[1].data2;
    uint32_t start_length = f[1].data3;
    uint32_t now = pos();
    switch (code) {
        case repeat:
        case while_: {
            int32_t min = int32_t(f[0].data1), max = int32_t(f[0].data2), counter = int32_t(f[0].data3);
            bool go_on = match_ && (max == -1 || counter < max) && !break_;
            // An iteration that consumed nothing would repeat forever.
            if (go_on && code == repeat && now == start && input_length() >= start_length) go_on = false;
            if (go_on) {
                f[1].data2 = now;
                f[1].data3 = input_length();
                f[0].data3 = uint32_t(counter + 1);
                cursor_from(f[1].data1);
                fire(words::iterate);
                return st_next_action;
            }
            break_ = false;
            if (match_) {
                if (counter < min) match_ = false;
            } else {
                match_ = min == 0 || counter - 1 >= min;
                // The failed attempt leaves nothing consumed behind.
                if (match_) set_pos(start);
            }
            break;
        }
        case to:
        case thru:
            if (!match_) {
                if (start < end_pos()) {
                    // Retry one unit further on.
                    set_pos(start + 1);
                    f[1].data2 = pos();
                    f[1].data3 = input_length();
                    cursor_from(f[1].data1);
                    match_ = true;
                    fire(words::pop);
                    fire(words::iterate);
                    return st_next_action;
                }
                break;
            }
            if (code == to) set_pos(start);
            break;
        case copy:
            if (match_) {
                Cell w = f[0];
                last_copied_ = copy_span(start, now);
                set_word(w, last_copied_);
            }
            break;
        case set:
            if (match_) {
                Cell w = f[0];
                set_word(w, now > start && start < total() ? value_at(start) : cell::none());
            }
            break;
        case not_:
            match_ = !match_;
            set_pos(start);
            break;
        case into: {
            bool ok = match_ && end_ && walked_;
            Cell outer = *inputs.at(inputs.length() - 1);
            inputs.truncate(inputs.length() - 1);
            input_ = outer;
            part_ = inputs.length() - inputs.head <= 1 ? limit_ : 0;
            match_ = ok;
            set_pos(ok ? outer.data1 + 1 : outer.data1);
            break;
        }
        case remove:
            if (match_ && now > start) {
                remove_span(start, now - start);
                set_pos(start);
            }
            break;
        case collect:
            finish_collect(f);
            break;
        case keep:
        case keep_paren:
            if (match_) finish_keep(f, code);
            break;
        case change:
        case change_only: {
            int32_t value_at_cursor = cursor_ + 1;
            if (match_) {
                if (!has_rule(value_at_cursor)) error::raise(ErrorId::script_parse_end, keyword_word(Keyword::change));
                Cell v = command_value(rule_at(value_at_cursor));
                change_span(start, now, v, code == change_only);
            }
            if (has_rule(value_at_cursor)) cursor_ = value_at_cursor;
            break;
        }
        case ahead:
            set_pos(start);
            break;
        case case_:
            mode_ = f[0].data2 == uint32_t(CompareOp::strict_equal) ? CompareOp::strict_equal : CompareOp::equal;
            break;
        default:
            break;
    }
    fire(words::pop);
    drop_rule_frame(code);
    return st_check_pending;
}

// ---- matching ----

// The units of the text rule value that match at `at`, or -1 (as the largest count) when it
// does not match there. Only string-like rules reach here.
uint32_t Engine::prefix_length(uint32_t at, const Cell& rule) const {
    constexpr uint32_t kNo = UINT32_MAX;
    uint32_t limit = end_pos();
    SeriesBuffer* ib = buf(input_.data2);
    Text r = text_of(rule);
    bool tag = is(rule, TypeId::tag);
    uint32_t need = r.length + (tag ? 2 : 0);
    if (at > limit || limit - at < need) return kNo;
    uint32_t iu = ib->unit();
    const uint8_t* p = ib->head + size_t(at) * iu;
    auto in = [&](uint32_t i) { return string::get_char(p + size_t(i) * iu, iu); };
    if (input_type() == TypeId::binary) {
        // Bytes against the rule's UTF-8 form (or its bytes, for a binary rule).
        if (is(rule, TypeId::binary)) return std::memcmp(p, r.p, r.length) == 0 ? r.length : kNo;
        uint32_t avail = limit - at;
        uint32_t k = 0;
        if (tag) {
            if (p[0] != '<') return kNo;
            k = 1;
        }
        for (uint32_t i = 0; i < r.length; ++i) {
            uint8_t enc[4];
            uint32_t n = utf8::encode_char_bounded(r.at(i), enc, 4);
            if (k + n > avail || std::memcmp(p + k, enc, n) != 0) return kNo;
            k += n;
        }
        if (tag) {
            if (k >= avail || p[k] != '>') return kNo;
            ++k;
        }
        return k;
    }
    uint32_t offset = 0;
    if (tag) {
        if (in(0) != '<' || in(r.length + 1) != '>') return kNo;
        offset = 1;
    }
    bool strict = mode_ == CompareOp::strict_equal;
    if (strict && iu == r.unit) {
        if (std::memcmp(p + size_t(offset) * iu, r.p, size_t(r.length) * iu) != 0) return kNo;
    } else {
        for (uint32_t i = 0; i < r.length; ++i) {
            uint32_t a = in(i + offset), b = r.at(i);
            if (a != b && (strict || fold(a) != fold(b))) return kNo;
        }
    }
    return need;
}

// The value at input index i against a rule value, for block input.
bool Engine::match_value_at(uint32_t i, const Cell& rule) const {
    const Cell& item = *(buf(input_.data2)->cells() + i);
    CompareOp op = mode_;
    if (is(rule, TypeId::lit_word) || is(rule, TypeId::lit_path))
        op = mode_ == CompareOp::strict_equal ? CompareOp::match_case : CompareOp::match;
    return actions::compare_values(item, rule, op);
}

// State 8: the literal match of a rule value at the input position, moving past it.
bool Engine::match_literal(const Cell& rule) {
    TypeId it = input_type(), rt = type_of(rule);
    uint32_t at = pos();
    if (end_) {
        if (any_string(it) && (rt == TypeId::string || rt == TypeId::file || rt == TypeId::url)) {
            Cell r = rule;
            return string::length_from_head(r) == 0;
        }
        return false;
    }
    uint32_t advance = 0;
    if (any_block(it)) {
        if (!match_value_at(at, rule)) return false;
        advance = 1;
    } else {
        SeriesBuffer* ib = buf(input_.data2);
        uint32_t cp = string::get_char(ib->head + size_t(at) * ib->unit(), ib->unit());
        if (rt == TypeId::bitset) {
            if (!bitset::member_q(rule, cp)) return false;
            advance = 1;
        } else if (rt == TypeId::char_) {
            uint32_t c = rule.data2;
            if (cp != c && (it == TypeId::binary || mode_ == CompareOp::strict_equal || fold(cp) != fold(c)))
                return false;
            advance = 1;
        } else if (string_like(rt) || (rt == TypeId::binary && it == TypeId::binary)) {
            uint32_t n = prefix_length(at, rule);
            if (n == UINT32_MAX) return false;
            advance = n;
        } else {
            return false;
        }
    }
    set_pos(at + advance);
    return true;
}

// A datatype or typeset against the next token of binary input read as source text.
bool Engine::match_type_binary(const Cell& rule) {
    SeriesBuffer* b = buf(input_.data2);
    uint32_t n = left();
    Cell destination = cell::none();
    lexer::ScanFlags flags;
    flags.one = true;
    flags.load = false;
    lexer::ScanResult r = lexer::scan(destination, b->head + pos(), n, flags, nullptr, input_, pos(), nullptr);
    if (r.type <= 0) return false;
    TypeId t = TypeId(r.type);
    bool ok = is(rule, TypeId::datatype) ? TypeId(rule.data1) == t : typeset::has_q(rule, t);
    if (ok) set_pos(pos() + r.consumed);
    return ok;
}

// The to/thru search for a literal from the input position: where the match starts and how
// many units it covers.
bool Engine::find_value(const Cell& rule, uint32_t& found, uint32_t& length) {
    TypeId it = input_type(), rt = type_of(rule);
    uint32_t from = pos(), limit = end_pos();
    if (any_block(it)) {
        for (uint32_t i = from; i < limit; ++i) {
            if (match_value_at(i, rule)) {
                found = i;
                length = 1;
                return true;
            }
        }
        return false;
    }
    SeriesBuffer* ib = buf(input_.data2);
    uint32_t iu = ib->unit();
    const uint8_t* p = ib->head;
    if (string_like(rt) || rt == TypeId::binary) {
        for (uint32_t i = from; i < limit; ++i) {
            uint32_t n = prefix_length(i, rule);
            if (n == UINT32_MAX) continue;
            found = i;
            length = n;
            return true;
        }
        return false;
    }
    if (rt == TypeId::char_) {
        uint32_t c = rule.data2;
        bool folding = mode_ != CompareOp::strict_equal && it != TypeId::binary;
        if (folding) c = fold_lower(c);
        if (iu == 1 && !folding && c <= 0xFF) {
            const void* hit = std::memchr(p + from, int(c), limit > from ? limit - from : 0);
            if (!hit) return false;
            found = uint32_t(static_cast<const uint8_t*>(hit) - p);
            length = 1;
            return true;
        }
        for (uint32_t i = from; i < limit; ++i) {
            uint32_t u = string::get_char(p + size_t(i) * iu, iu);
            if ((folding ? fold_lower(u) : u) == c) {
                found = i;
                length = 1;
                return true;
            }
        }
        return false;
    }
    if (rt == TypeId::bitset) {
        const uint8_t* bits = bitset::bits_pointer(rule);
        uint32_t nbytes = bitset::byte_count(rule);
        bool complement = bitset::complement_q(rule);
        for (uint32_t i = from; i < limit; ++i) {
            if (in_bits(bits, nbytes, complement, string::get_char(p + size_t(i) * iu, iu))) {
                found = i;
                length = 1;
                return true;
            }
        }
        return false;
    }
    error::raise(ErrorId::script_parse_rule, rule);
}

// The repetition of a literal, min to max times (max -1: unlimited). On success the input is
// past the matches; on failure it is left where it was.
bool Engine::repeat_value(const Cell& rule, int32_t min, int32_t max) {
    TypeId it = input_type(), rt = type_of(rule);
    if (rt == TypeId::bitset && !any_block(it)) {
        // The class of characters over text or bytes: the loop that word rules spend their
        // time in, with everything it needs read once.
        SeriesBuffer* ib = buf(input_.data2);
        uint32_t t = unit_count(ib);
        uint32_t limit = part_ && part_ < t ? part_ : t;
        uint32_t start = input_.data1;
        if (start >= limit || limit - start < uint32_t(min)) return false;
        uint32_t stop = max < 0 || limit - start < uint32_t(max) ? limit : start + uint32_t(max);
        const uint8_t* bits = bitset::bits_pointer(rule);
        uint32_t nbytes = bitset::byte_count(rule);
        bool complement = bitset::complement_q(rule);
        const uint8_t* p = ib->head;
        uint32_t iu = ib->unit();
        uint32_t at = start;
        if (iu == 1) {
            while (at < stop && in_bits(bits, nbytes, complement, p[at])) ++at;
        } else {
            while (at < stop && in_bits(bits, nbytes, complement, string::get_char(p + size_t(at) * iu, iu))) ++at;
        }
        if (at - start < uint32_t(min)) return false;
        input_.data1 = at;
        end_ = at >= limit;
        return true;
    }
    uint32_t start = pos(), limit = end_pos();
    if (end_ || limit - start < uint32_t(min)) return false;
    uint32_t most = max < 0 ? UINT32_MAX : uint32_t(max);
    uint32_t count = 0, at = start;
    if (any_block(it)) {
        while (count < most && at < limit && match_value_at(at, rule)) {
            ++at;
            ++count;
        }
    } else if (string_like(rt) || (rt == TypeId::binary && it == TypeId::binary)) {
        Cell r = rule;
        if (!is(rule, TypeId::binary) && string::length_from_head(r) == 0) return true;
        if (is(rule, TypeId::binary) && text_of(rule).length == 0) return true;
        while (count < most && at < limit) {
            uint32_t n = prefix_length(at, rule);
            if (n == UINT32_MAX) break;
            at += n;
            ++count;
        }
    } else if (rt == TypeId::char_ || rt == TypeId::bitset) {
        SeriesBuffer* ib = buf(input_.data2);
        uint32_t iu = ib->unit();
        const uint8_t* p = ib->head;
        uint32_t stop = most == UINT32_MAX || limit - start < most ? limit : start + most;
        if (rt == TypeId::char_) {
            uint32_t c = rule.data2;
            bool folding = mode_ != CompareOp::strict_equal && it != TypeId::binary;
            if (!folding && iu == 1) {
                while (at < stop && p[at] == c) ++at;
            } else {
                uint32_t fc = fold(c);
                while (at < stop) {
                    uint32_t u = string::get_char(p + size_t(at) * iu, iu);
                    if (u != c && (!folding || fold(u) != fc)) break;
                    ++at;
                }
            }
        } else {
            const uint8_t* bits = bitset::bits_pointer(rule);
            uint32_t nbytes = bitset::byte_count(rule);
            bool complement = bitset::complement_q(rule);
            if (iu == 1) {
                while (at < stop && in_bits(bits, nbytes, complement, p[at])) ++at;
            } else {
                while (at < stop && in_bits(bits, nbytes, complement, string::get_char(p + size_t(at) * iu, iu)))
                    ++at;
            }
        }
        count = at - start;
    } else {
        return false;
    }
    if (count < uint32_t(min)) return false;
    set_pos(at);
    return true;
}

// ---- collection and modification ----

// A word or get-word whose value is the input series at some position.
bool Engine::positional(const Cell& v, uint32_t& position) const {
    if (!is(v, TypeId::word) && !is(v, TypeId::get_word)) return false;
    Cell s = lookup(v);
    if (!series_::same_series_q(s, input_)) return false;
    position = std::min(s.data1, total());
    return true;
}

// The value an insert or change puts in.
Cell Engine::command_value(const Cell& v) {
    switch (type_of(v)) {
        case TypeId::path:
            error::raise(ErrorId::script_parse_rule, v);
        case TypeId::paren: {
            Cell r = eval_paren(v);
            fire(words::paren);
            return r;
        }
        case TypeId::word: {
            Cell r = lookup(v);
            if (is(r, TypeId::unset)) error::raise(ErrorId::script_no_value, v);
            return r;
        }
        default:
            return v;
    }
}

Cell Engine::call_insert(const Cell& target, const Cell& value, int32_t part, bool only, bool append) {
    InsertAction fn = registry::actions(type_of(target)).insert;
    if (!fn) actions::raise_lacks(type_of(target), actions::Slot::insert);
    Cell r;
    {
        HideInputs hide;
        r = fn(target, value, part, only, 1, append);
    }
    refresh();
    return r;
}

void Engine::remove_span(uint32_t from, uint32_t count) {
    RemoveAction fn = registry::actions(input_type()).remove;
    if (!fn) actions::raise_lacks(input_type(), actions::Slot::remove);
    Cell at = input_;
    at.data1 = from;
    Cell part = cell::integer(int32_t(count));
    {
        HideInputs hide;
        fn(at, &part, nullptr);
    }
    refresh();
}

State Engine::do_remove() {
    if (!has_rule(cursor_ + 1)) error::raise(ErrorId::script_parse_end, keyword_word(Keyword::remove));
    uint32_t mark = 0;
    if (positional(rule_at(cursor_ + 1), mark)) {
        uint32_t now = pos();
        uint32_t from = std::min(mark, now), count = mark > now ? mark - now : now - mark;
        if (count > 0) remove_span(from, count);
        ++cursor_;
        set_pos(from);
        match_ = true;
        return st_check_pending;
    }
    begin_rule(triple::make(0, 0, 1), remove);
    return st_push_rule;
}

State Engine::do_insert() {
    int32_t i = cursor_ + 1;
    bool only = false;
    if (has_rule(i) && is(rule_at(i), TypeId::word) && keyword_of(rule_at(i)) == Keyword::only) {
        only = true;
        ++i;
    }
    if (!has_rule(i)) error::raise(ErrorId::script_parse_end, keyword_word(Keyword::insert));
    uint32_t now = pos(), at = now;
    if (positional(rule_at(i), at)) {
        if (!has_rule(i + 1)) error::raise(ErrorId::script_parse_rule, rule_at(i));
        ++i;
    }
    cursor_ = i;
    Cell v = command_value(rule_at(i));
    uint32_t before = total();
    Cell target = input_;
    target.data1 = std::min(at, before);
    call_insert(target, v, -1, only, false);
    uint32_t inserted = total() - before;
    if (at <= now) set_pos(now + inserted);
    else update_end();
    return st_next_action;
}

State Engine::do_change() {
    int32_t i = cursor_ + 1;
    bool only = false;
    if (has_rule(i) && is(rule_at(i), TypeId::word) && keyword_of(rule_at(i)) == Keyword::only) {
        if (!has_rule(i + 1)) error::raise(ErrorId::script_parse_rule, rule_at(i));
        only = true;
        ++i;
    }
    if (!has_rule(i)) error::raise(ErrorId::script_parse_end, keyword_word(Keyword::change));
    uint32_t mark = 0;
    if (positional(rule_at(i), mark)) {
        if (!has_rule(i + 1)) error::raise(ErrorId::script_parse_rule, rule_at(i));
        cursor_ = i + 1;
        Cell v = command_value(rule_at(cursor_));
        change_span(mark, pos(), v, only);
        match_ = true;
        return st_next_action;
    }
    cursor_ = i - 1;
    begin_rule(triple::make(0, 0, 1), only ? change_only : change);
    return st_push_rule;
}

// Changes the input between positions `a` and `b`, in either order, to `value` (its items one by
// one unless `only`), and goes on from the end of the change.
void Engine::change_span(uint32_t a, uint32_t b, const Cell& value, bool only) {
    uint32_t from = std::min(a, b), count = a > b ? a - b : b - a;
    InsertAction fn = registry::actions(input_type()).change;
    if (!fn) actions::raise_lacks(input_type(), actions::Slot::change);
    Cell at = input_;
    at.data1 = from;
    Cell r;
    {
        HideInputs hide;
        r = fn(at, value, int32_t(count), only, 1, false);
    }
    refresh();
    set_pos(r.data1);
}

bool Engine::compatible_target(const Cell& target) const {
    TypeId t = type_of(target), it = input_type();
    if (!series_::series_type_q(t) || t == TypeId::vector || t == TypeId::image) return false;
    return t == it || t == TypeId::binary || (any_string(t) && any_string(it));
}

// The series an into/after marker names, checked again at every use.
Cell Engine::collect_target(const Cell& marker) const {
    Cell target = lookup(word_of(marker));
    if (!compatible_target(target)) error::raise(ErrorId::script_parse_into_type);
    return target;
}

State Engine::do_collect() {
    ++collect_depth_;
    Cell bottom = triple::make(0, 0, 1);
    Keyword k = next_is_word(Keyword::into) ? Keyword::into
              : next_is_word(Keyword::after) ? Keyword::after
              : next_is_word(Keyword::set) ? Keyword::set : Keyword::none_;
    if (k != Keyword::none_) {
        if (!has_rule(cursor_ + 2) || !is(rule_at(cursor_ + 2), TypeId::word))
            error::raise(ErrorId::script_parse_end, keyword_word(Keyword::collect));
        Cell w = rule_at(cursor_ + 2);
        if (k == Keyword::set) {
            stack::push(w);
            block::push_new(8);
        } else {
            Cell target = lookup(w);
            if (!compatible_target(target)) error::raise(ErrorId::script_parse_into_type);
            if (series_::same_series_q(target, input_)) error::raise(ErrorId::script_parse_into_bad);
            Cell marker = w;
            stack::push(cell::set_type(marker, k == Keyword::into ? TypeId::get_word : TypeId::refinement));
            bottom = triple::make(0, int32_t(target.data1), 1);
        }
        cursor_ += 2;
    } else {
        block::push_new(8);
    }
    begin_rule(bottom, collect);
    return st_push_rule;
}

void Engine::finish_collect(const Cell* f) {
    --collect_depth_;
    Cell top = stack::data_top[-1];
    --stack::data_top;
    if (!is(top, TypeId::block)) {
        // An into/after target: its word goes back to where the collect found it.
        Cell w = word_of(top);
        Cell target = lookup(w);
        if (series_::series_type_q(type_of(target))) {
            target.data1 = f[0].data2;
            set_word(w, target);
        }
        return;
    }
    Cell* below = stack::data_top - 1;
    if (stack::index_of(below) > scratch_ && is(*below, TypeId::word)) {
        Cell w = *below;
        --stack::data_top;
        set_word(w, top);
    } else if (collect_depth_ > 0) {
        keep_value(top);
    } else {
        *stack::at(scratch_) = top;
        collected_ = true;
    }
}

State Engine::do_keep() {
    if (collect_depth_ <= 0) error::raise(ErrorId::script_parse_keep, keyword_word(Keyword::keep));
    int32_t flag = 0;
    if (next_is_word(Keyword::pick)) {
        flag = 1;
        ++cursor_;
    }
    bool paren = has_rule(cursor_ + 1) && is(rule_at(cursor_ + 1), TypeId::paren);
    begin_rule(triple::make(0, 0, 1), paren ? keep_paren : keep, flag);
    return st_push_rule;
}

// Adds one kept value to the target on the data-stack top.
void Engine::keep_value(const Cell& v) {
    Cell top = stack::data_top[-1];
    if (is(top, TypeId::block)) {
        block::append_cell(top, v);
        return;
    }
    Cell target = collect_target(top);
    bool after = is(top, TypeId::refinement);
    Cell r = call_insert(target, v, -1, true, after);
    if (!after) {
        Cell w = word_of(top);
        set_word(w, r);
    }
}

// A string or binary span copied straight into a target of the same width. False when the
// widths or kinds differ, or the target is a block.
bool Engine::keep_span(uint32_t start) {
    Cell top = stack::data_top[-1];
    if (is(top, TypeId::block)) return false;
    Cell target = collect_target(top);
    TypeId tt = type_of(target), it = input_type();
    bool texts = any_string(tt) && any_string(it);
    bool bytes = tt == TypeId::binary && it == TypeId::binary;
    if (!texts && !bytes) return false;
    uint32_t unit = buf(input_.data2)->unit();
    if (buf(target.data2)->unit() != unit) return false;
    uint32_t n = pos() - start;
    bool after = is(top, TypeId::refinement);
    uint32_t tn = series_::total_length(target);
    uint32_t at = after ? tn : std::min(target.data1, tn);
    series_::open_gap(target, at, n);
    std::memcpy(buf(target.data2)->head + size_t(at) * unit, buf(input_.data2)->head + size_t(start) * unit,
                size_t(n) * unit);
    if (!after) {
        target.data1 = at + n;
        Cell w = word_of(top);
        set_word(w, target);
    }
    return true;
}

void Engine::finish_keep(const Cell* f, int32_t code) {
    bool pick = f[2].data3 != 0;
    if (!is(stack::data_top[-1], TypeId::block)) collect_target(stack::data_top[-1]);
    if (code == keep_paren) {
        Cell v = kept_;
        if (pick && any_block(type_of(v))) {
            for (uint32_t i = v.data1; i < series_::total_length(v); ++i) keep_value(*block::cell_at(v, i));
        } else {
            keep_value(v);
        }
        return;
    }
    uint32_t start = f[1].data2, now = pos();
    if (int32_t(f[2].data1) == copy && !pick) {
        keep_value(last_copied_);
        return;
    }
    if (now <= start) return;
    if (pick) {
        for (uint32_t i = start; i < now; ++i) keep_value(value_at(i));
    } else if (now - start == 1) {
        keep_value(value_at(start));
    } else if (!keep_span(start)) {
        keep_value(copy_span(start, now));
    }
}

Cell Engine::copy_span(uint32_t from, uint32_t to) const {
    if (to < from) std::swap(from, to);
    uint32_t t = total();
    from = std::min(from, t);
    to = std::min(to, t);
    Cell span = input_;
    span.data1 = from;
    Cell part = cell::integer(int32_t(to - from));
    Cell result = cell::unset();
    if (CopyAction fn = registry::actions(input_type()).copy) {
        fn(span, result, &part, false, nullptr);
    } else {
        Node n = series_::copy_units(input_, from, to - from);
        result = cell::make(input_type(), 0, n, 0);
    }
    return result;
}

}  // namespace

// ---- interfaces ----

void init(Node root) {
    if (inputs.node) return;  // made once for the whole process
    inputs.node = series::alloc_heap(kStackCells, sizeof(Cell));
    rules_stack.node = series::alloc_heap(kStackCells, sizeof(Cell));
    inputs.head = rules_stack.head = 0;
    SeriesBuffer* r = memory::buffer_of(root);
    *series::reserve_cell(r) = cell::make(TypeId::block, 0, inputs.node, 0);
    r = memory::buffer_of(root);
    *series::reserve_cell(r) = cell::make(TypeId::block, 0, rules_stack.node, 0);
    build_keywords();
}

Cell input_stack() { return inputs.as_block(); }
Cell rule_stack() { return rules_stack.as_block(); }

Cell parse_rules(const Cell& input, const Cell& rules, CompareOp mode, uint32_t limit, const Cell* callback) {
    if (!inputs.node) error::raise(ErrorId::internal_not_done);
    Engine engine(mode, limit, callback);
    return engine.run(input, rules);
}

}  // namespace kaz::parse

namespace kaz::natives {
namespace {

// parse input rules /case /part length /trace callback
void parse_native(const int32_t* refs) {
    Cell input = stack::base[0], rules = stack::base[1];
    series_::clamp_head(input);
    CompareOp mode = given(refs, 0) ? CompareOp::strict_equal : CompareOp::equal;
    uint32_t limit = 0;
    if (given(refs, 1)) {
        Cell part = stack::base[refs[1]];
        int64_t at;
        if (is(part, TypeId::integer)) at = int64_t(input.data1) + cell::get_integer(part);
        else if (series_::same_series_q(part, input)) at = part.data1;
        else error::raise(ErrorId::script_invalid_refine_arg, series_::part_word(), part);
        if (at < 1) {
            stack::base[0] = cell::logic(series_::total_length(input) <= input.data1);
            return;
        }
        limit = uint32_t(std::min<int64_t>(at, UINT32_MAX));
    }
    const Cell* callback = given(refs, 2) ? &stack::base[refs[2]] : nullptr;
    Cell trace = callback ? *callback : cell::none();
    stack::base[0] = parse::parse_rules(input, rules, mode, limit, callback ? &trace : nullptr);
}

}  // namespace

void init_parse() { define(Number::parse, parse_native); }

}  // namespace kaz::natives
