// The CSV codec's loops (see csv.h).
#include "services/csv.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "datatypes/block.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "evaluator/actions.h"
#include "evaluator/natives_frame.h"
#include "runtime/error.h"
#include "runtime/gc.h"
#include "runtime/memory.h"
#include "runtime/stack.h"
#include "services/json.h"

namespace kaz::csv {
namespace {

using natives::arg;

// The code points of a char! or of a text from its index.
std::vector<uint32_t> chars_of(const Cell& v) {
    if (is(v, TypeId::char_)) return {scalar_cell::value(v)};
    if (!string::any_string_q(type_of(v))) error::raise(ErrorId::script_invalid_arg, v);
    return json::code_points(v);
}

// Leading and trailing whitespace, as trim removes it.
bool blank(uint32_t c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// ---- reading ----

enum Outcome : int32_t { done = 0, not_aligned = 1, too_small = 2 };

template <typename Unit>
class Reader {
public:
    Reader(const Unit* s, size_t n, std::vector<uint32_t> delimiter, uint32_t quote, bool trim)
        : s_(s), n_(n), dlm_(std::move(delimiter)), qc_(quote), trim_(trim) {}

    // Reads the header line (with `header`) and every line after it into `rows` (one block
    // per line, or every field in turn with `flat`).
    Outcome run(Cell& header, Cell& rows, bool has_header, bool flat, bool strict, int64_t& longest);

private:
    bool delimiter_at(size_t i) const {
        if (dlm_.empty() || n_ - i < dlm_.size()) return false;
        for (size_t k = 0; k < dlm_.size(); ++k)
            if (s_[i + k] != dlm_[k]) return false;
        return true;
    }
    bool in_delimiter(uint32_t c) const { return std::find(dlm_.begin(), dlm_.end(), c) != dlm_.end(); }
    // Consumes one line break (CR LF, LF or CR).
    bool line_break() {
        if (i_ >= n_) return false;
        if (s_[i_] == '\r') {
            ++i_;
            if (i_ < n_ && s_[i_] == '\n') ++i_;
            return true;
        }
        if (s_[i_] == '\n') {
            ++i_;
            return true;
        }
        return false;
    }
    void field(const Cell& line);
    void values(const Cell& line) {
        while (true) {
            field(line);
            if (!delimiter_at(i_)) return;
            i_ += dlm_.size();
        }
    }

    const Unit* s_;
    size_t n_, i_ = 0;
    std::vector<uint32_t> dlm_;
    uint32_t qc_;
    bool trim_;
    json::TextOut text_;
};

template <typename Unit>
void Reader<Unit>::field(const Cell& line) {
    text_.clear();
    bool quoted = false;
    if (i_ < n_ && s_[i_] == qc_) {
        size_t k = i_ + 1;
        while (k < n_) {
            if (s_[k] == qc_) {
                if (k + 1 < n_ && s_[k + 1] == qc_) {
                    text_.add(qc_);
                    k += 2;
                    continue;
                }
                quoted = true;
                break;
            }
            text_.add(s_[k++]);
        }
        if (quoted) i_ = k + 1;
        else text_.clear();
    }
    if (!quoted) {
        size_t start = i_;
        while (i_ < n_ && s_[i_] != '\n' && s_[i_] != '\r' && !in_delimiter(s_[i_])) ++i_;
        if (!trim_) {
            // The common case: the field's characters copied at once.
            uint32_t widest = 0;
            for (size_t k = start; k < i_; ++k) widest = std::max<uint32_t>(widest, s_[k]);
            uint32_t unit = widest < 0x80 ? 1 : widest < 0x10000 ? 2 : 4;
            size_t count = i_ - start;
            Node node = series::alloc_units(uint32_t(count), unit);
            SeriesBuffer* b = memory::buffer_of(node);
            auto fill = [&](auto* dst) {
                if (sizeof(*dst) == sizeof(Unit)) std::memcpy(dst, s_ + start, count * sizeof(Unit));
                else
                    for (size_t k = 0; k < count; ++k) dst[k] = decltype(+*dst)(s_[start + k]);
            };
            if (unit == 1) fill(b->head);
            else if (unit == 2) fill(reinterpret_cast<uint16_t*>(b->head));
            else fill(reinterpret_cast<uint32_t*>(b->head));
            b->tail = b->head + count * unit;
            block::append_cell(line, cell::make(TypeId::string, 0, node, 0));
            return;
        }
        text_.add_units(s_ + start, i_ - start);
    }
    if (trim_) {
        Cell whole = text_.make_string(TypeId::string);
        std::vector<uint32_t> cps = json::code_points(whole);
        size_t a = 0, z = cps.size();
        while (a < z && blank(cps[a])) ++a;
        while (z > a && blank(cps[z - 1])) --z;
        if (z - a >= 2 && cps[a] == qc_ && cps[z - 1] == qc_) {
            ++a;
            --z;
        }
        text_.clear();
        for (size_t k = a; k < z; ++k) text_.add(cps[k]);
    }
    block::append_cell(line, text_.make_string(TypeId::string));
}

template <typename Unit>
Outcome Reader<Unit>::run(Cell& header, Cell& rows, bool has_header, bool flat, bool strict, int64_t& longest) {
    if (has_header) {
        Cell* line = block::push_new(20);
        values(*line);
        if (line_break()) header = *line;
        else i_ = 0;
        --stack::data_top;
        if (i_ == 0 || i_ >= n_) return too_small;
    }
    bool first = true;
    Cell* line = stack::push(cell::none());
    while (i_ < n_) {
        *line = *block::push_new(20);
        --stack::data_top;
        values(*line);
        if (!line_break() && i_ < n_) break;  // a malformed line ends the reading
        int64_t count = block::length_from_head(*line);
        if (first) longest = count;
        else if (strict && count != longest) return not_aligned;
        longest = std::max(longest, count);
        first = false;
        if (flat) block::append_all(rows, *line);
        else block::append_cell(rows, *line);
    }
    --stack::data_top;
    return done;
}

// csv-decode data delimiter quote trim? header? flat? strict?: the block [header rows longest]
// (header none without header?), or the integer 1 when lines have different field counts
// under strict?, 2 when header? finds no header line with data after it.
routines::Result csv_decode(const routines::Arg* args, uint32_t) {
    Cell data = arg(0);
    std::vector<uint32_t> delimiter = chars_of(arg(1));
    uint32_t quote = scalar_cell::value(arg(2));
    bool trim = args[3].integer != 0, has_header = args[4].integer != 0, flat = args[5].integer != 0,
         strict = args[6].integer != 0;
    Cell* header = stack::push(cell::none());
    Cell* rows = block::push_new(int32_t(std::max<uint32_t>(1, series_::total_length(data) / 80)));
    gc::Pause pause;
    SeriesBuffer* b = series_::buffer(data);
    uint32_t from = std::min(data.data1, b->length());
    uint32_t n = b->length() - from;
    int64_t longest = 0;
    Outcome outcome = done;
    // The collector is held off, so the input's buffer stays where it is while it is read.
    auto read = [&](auto* units) {
        using Unit = std::remove_const_t<std::remove_pointer_t<decltype(units)>>;
        Reader<Unit> r(units + from, n, delimiter, quote, trim);
        outcome = r.run(*header, *rows, has_header, flat, strict, longest);
    };
    switch (b->unit()) {
        case 1: read(static_cast<const uint8_t*>(b->head)); break;
        case 2: read(reinterpret_cast<const uint16_t*>(b->head)); break;
        default: read(reinterpret_cast<const uint32_t*>(b->head)); break;
    }
    if (outcome != done) {
        arg(0) = cell::integer(outcome);
    } else {
        Cell* out = block::push_new(3);
        block::append_cell(*out, *header);
        block::append_cell(*out, *rows);
        block::append_cell(*out, cell::integer(int32_t(std::min<int64_t>(longest, INT32_MAX))));
        arg(0) = *out;
    }
    stack::data_top = header;
    return {};
}

// ---- writing ----

class Writer {
public:
    // `scratch` is a string on the data stack that every value not a string is formed into.
    Writer(std::vector<uint32_t> delimiter, uint32_t quote, Cell* scratch)
        : dlm_(std::move(delimiter)), qc_(quote), scratch_(scratch) {
        single_ = dlm_.size() == 1 ? dlm_[0] : 0xFFFFFFFFu;
    }

    // One field: the value formed, its quote characters doubled, and quoted when it holds a
    // quote character, a space, a line feed or a character of the delimiter.
    void field(const Cell& v) {
        if (is(v, TypeId::string)) {
            text(v);
            return;
        }
        string::reset(*scratch_);
        actions::form(v, scratch_->data2, nullptr, INT32_MAX);
        text(*scratch_);
    }
    void text(const Cell& s) {
        SeriesBuffer* b = series_::buffer(s);
        uint32_t n = b->length(), from = std::min(s.data1, n);
        switch (b->unit()) {
            case 1: units(b->head + from, n - from); break;
            case 2: units(reinterpret_cast<const uint16_t*>(b->head) + from, n - from); break;
            default: units(reinterpret_cast<const uint32_t*>(b->head) + from, n - from); break;
        }
    }
    template <typename Unit>
    void units(const Unit* u, size_t count) {
        bool quote = false;
        for (size_t k = 0; k < count && !quote; ++k) {
            uint32_t c = u[k];
            quote = c == qc_ || c == ' ' || c == '\n' || c == single_ ||
                    (dlm_.size() > 1 && std::find(dlm_.begin(), dlm_.end(), c) != dlm_.end());
        }
        if (quote) out.add(qc_);
        // Runs of ASCII go out at once; a quote character is doubled inside quotes.
        size_t k = 0;
        while (k < count) {
            size_t run = k;
            while (run < count && u[run] < 0x80 && u[run] != qc_) ++run;
            if (run > k) out.add_ascii_units(u + k, run - k);
            if (run < count) {
                if (u[run] == qc_) out.add(qc_);
                out.add(u[run++]);
            }
            k = run;
        }
        if (quote) out.add(qc_);
    }
    void delimiter() {
        for (uint32_t c : dlm_) out.add(c);
    }
    // The values from `from`, `count` of them, as one line.
    void line(const Cell& values, uint32_t from, uint32_t count) {
        for (uint32_t k = 0; k < count; ++k) {
            if (k) delimiter();
            Cell v = *block::cell_at(values, from + k);
            field(v);
        }
        out.add('\n');
    }

    json::TextOut out;

private:
    std::vector<uint32_t> dlm_;
    uint32_t qc_;
    Cell* scratch_;
    uint32_t single_;
};

// csv-encode output records delimiter quote size: appends the records as CSV lines to the
// output and returns it: with a size above 0 the block's values taken size at a time, else
// each value of the block a record of its own (a block). None when the records are not all
// of one length (or the values not a multiple of the size).
routines::Result csv_encode(const routines::Arg* args, uint32_t) {
    Cell output = arg(0), records = arg(1);
    Cell* scratch = stack::push(string::make_cell(16));
    Writer w(chars_of(arg(2)), scalar_cell::value(arg(3)), scratch);
    int64_t size = args[4].integer;
    uint32_t from = records.data1, end = series_::total_length(records);
    if (from > end) from = end;
    if (size > 0) {
        if ((end - from) % uint64_t(size) != 0) {
            arg(0) = cell::none();
            stack::data_top = scratch;
            return {};
        }
        for (uint32_t k = from; k < end; k += uint32_t(size)) w.line(records, k, uint32_t(size));
    } else {
        int64_t fields = -1;
        for (uint32_t k = from; k < end; ++k) {
            Cell r = *block::cell_at(records, k);
            if (!series_::any_block_q(type_of(r))) {
                arg(0) = cell::none();
                stack::data_top = scratch;
                return {};
            }
            uint32_t count = series_::total_length(r) - std::min(r.data1, series_::total_length(r));
            if (fields < 0) fields = count;
            if (count != fields) {
                arg(0) = cell::none();
                stack::data_top = scratch;
                return {};
            }
        }
        for (uint32_t k = from; k < end; ++k) {
            Cell r = *block::cell_at(records, k);
            w.line(r, r.data1, uint32_t(fields));
        }
    }
    json::append_to(output, w.out);
    stack::data_top = scratch;
    arg(0) = output;
    return {};
}

constexpr routines::Definition kRoutines[] = {
    {"csv-decode",
     R"k(data [string!] delimiter [any-type!] quote [char!] trim? [logic!] header? [logic!] flat? [logic!] strict? [logic!])k",
     csv_decode, TypeId(0)},
    {"csv-encode",
     R"k(output [string!] records [block!] delimiter [any-type!] quote [char!] size [integer!])k", csv_encode,
     TypeId(0)},
};

}  // namespace

std::span<const routines::Definition> routines() { return kRoutines; }

}  // namespace kaz::csv
