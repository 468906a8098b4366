#include "services/http_natives.h"

#include <climits>
#include <string>

#include "datatypes/binary.h"
#include "datatypes/block.h"
#include "datatypes/map.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "evaluator/actions.h"
#include "runtime/error.h"
#include "runtime/memory.h"
#include "runtime/stack.h"
#include "services/files.h"
#include "services/http.h"

namespace kaz::http_natives {
namespace {

bool any_word_q(TypeId t) {
    return t == TypeId::word || t == TypeId::set_word || t == TypeId::lit_word || t == TypeId::get_word;
}

std::string bytes_of(const Cell& value) {
    binary::Source s = binary::source_of(value);
    return std::string(reinterpret_cast<const char*>(s.data()), s.size);
}

// The formed text of a value as UTF-8.
std::string formed(const Cell& value) {
    Cell* text = stack::push(string::make_cell(16));
    actions::form(value, text->data2, nullptr, INT32_MAX);
    std::string out = bytes_of(*text);
    stack::pop(1);
    return out;
}

// A header's name: a word's spelling, else the formed value.
std::string name_of(const Cell& name) {
    if (any_word_q(type_of(name))) return std::string(symbol::name(name.data2));
    return formed(name);
}

std::string value_of(const Cell& value) { return is(value, TypeId::string) ? bytes_of(value) : formed(value); }

std::vector<http::Header> headers_of(const Cell& block) {
    std::vector<http::Header> out;
    for (uint32_t i = block.data1;; i += 2) {
        // Read through the node each time: forming a value may move the block's buffer.
        if (i + 1 >= memory::buffer_of(block.data2)->length()) break;
        Cell name = memory::buffer_of(block.data2)->cells()[i];
        Cell value = memory::buffer_of(block.data2)->cells()[i + 1];
        http::Header h{name_of(name), value_of(value)};
        if (!http::sendable_name(h.name)) error::raise(ErrorId::script_invalid_arg, name);
        if (!http::sendable_value(h.value)) error::raise(ErrorId::script_invalid_arg, value);
        out.push_back(std::move(h));
    }
    return out;
}

// The response headers as a map!: a word per name, a string! per value, a block! of them for a
// name that came more than once.
Cell headers_map(const std::vector<http::Field>& fields) {
    Cell* pairs = stack::push(cell::none());
    block::init_cell(*pairs, int32_t(2 * fields.size()));
    for (const http::Field& f : fields) {
        block::append_cell(*pairs, word::from_symbol(symbol::intern(f.name)));
        if (f.values.size() == 1) {
            block::append_cell(*pairs, string::from_utf8(f.values[0]));
            continue;
        }
        Cell* values = stack::push(cell::none());
        block::init_cell(*values, int32_t(f.values.size()));
        for (const std::string& v : f.values) block::append_cell(*values, string::from_utf8(v));
        block::append_cell(*pairs, *values);
        stack::pop(1);
    }
    Cell* map = stack::push(cell::none());
    map::init_cell(*map, pairs, 0);
    Cell result = *map;
    stack::pop(2);
    return result;
}

Cell body_of(const platform::Bytes& body, bool binary, bool lines) {
    if (binary) return binary::from_bytes({reinterpret_cast<const uint8_t*>(body.data()), body.size()});
    if (lines) return simple_io::bytes_to_lines(body.view());
    return simple_io::bytes_to_string(body.view());
}

}  // namespace

Cell request(const Cell& method, const Cell& url, const Cell* headers, const Cell* data, bool binary,
             bool lines, bool info) {
    http::Request r;
    r.method = std::string(symbol::name(method.data2));
    if (!http::method_of(r.method)) error::raise(ErrorId::script_invalid_arg, method);
    r.url = formed(url);
    if (headers) r.headers = headers_of(*headers);
    // The data's bytes are copied out: a value's buffer may move while the request is built.
    std::string body;
    if (data) {
        body = is(*data, TypeId::binary) || is(*data, TypeId::string) ? bytes_of(*data) : formed(*data);
        r.data = body;
    }
    http::Outcome outcome = http::request(r);
    if (!outcome.ok()) error::raise(http::error_of(outcome.failure), url);

    Cell* result = stack::push(body_of(outcome.response.body, binary, lines));
    if (info) {
        Cell* block = stack::push(cell::none());
        block::init_cell(*block, 3);
        block::append_cell(*block, cell::integer(outcome.response.status));
        block::append_cell(*block, headers_map(outcome.response.headers));
        block::append_cell(*block, result[0]);
        result[0] = *block;
    }
    Cell answer = result[0];
    stack::data_top = result;
    return answer;
}

}  // namespace kaz::http_natives
