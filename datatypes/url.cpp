// url!'s open, read and write: HTTP for http URLs, the scheme's port for any other.
#include "datatypes/url.h"

#include "datatypes/block.h"
#include "datatypes/string.h"
#include "datatypes/word.h"
#include "runtime/error.h"
#include "runtime/memory.h"
#include "runtime/stack.h"

namespace kaz::url {
namespace {

template <typename F>
F need(F fn) {
    if (!fn) error::raise(ErrorId::internal_not_done);
    return fn;
}

bool data_q(const Cell& value) {
    TypeId t = type_of(value);
    return t == TypeId::string || t == TypeId::binary || t == TypeId::block;
}

Cell method_word(const char* name) { return word::from_c_string(name); }

}  // namespace

Service service{};

bool http_q(const Cell& url) {
    const Cell u = url;
    constexpr char kPrefix[] = "http";
    uint32_t h = u.data1, n = memory::buffer_of(u.data2)->length();
    if (n < h + 4) return false;
    for (uint32_t i = 0; i < 4; ++i)
        if (string::char_at(u, h + i) != uint32_t(kPrefix[i])) return false;
    return true;
}

// ---- actions ----

void open() { stack::base[0] = need(service.open)(stack::base[0]); }

Cell read(const Cell& url, const ReadOptions& o) {
    if (!http_q(url)) return need(service.read)(url, o);
    if (o.part || o.seek || o.as) error::raise(ErrorId::internal_not_done);
    return need(service.http)(method_word("get"), url, nullptr, nullptr, o.binary, o.lines, o.info);
}

Cell write(const Cell& url, const Cell& data, const WriteOptions& o) {
    if (!http_q(url)) return need(service.write)(url, data, o);
    if (o.seek || o.allow || o.as) error::raise(ErrorId::internal_not_done);
    // The request's parts stay in their cells: the data argument holds the block.
    // The parts are copied out to the data stack: the request allocates before it reads them.
    Cell* parts = stack::push(method_word("post"));  // method, headers, data
    stack::push(cell::none());
    stack::push(data);
    bool headers = false, body = true;
    if (is(data, TypeId::block)) {
        parts[0] = method_word("get");
        const Cell* items = memory::buffer_of(data.data2)->cells() + data.data1;
        uint32_t count = block::length_from_head(data);
        body = count > 2;
        if (count > 0) {
            if (!is(items[0], TypeId::word)) error::raise(ErrorId::script_invalid_arg, items[0]);
            parts[0] = items[0];
        }
        if (count > 1) {
            if (!is(items[1], TypeId::block)) error::raise(ErrorId::script_invalid_arg, items[1]);
            parts[1] = items[1];
            headers = true;
        }
        if (body) parts[2] = items[2];
    }
    if (body && !data_q(parts[2])) error::raise(ErrorId::script_invalid_arg, parts[2]);
    Cell result = need(service.http)(parts[0], url, headers ? &parts[1] : nullptr, body ? &parts[2] : nullptr,
                                     o.binary, o.lines, o.info);
    stack::pop(3);
    return result;
}

}  // namespace kaz::url
