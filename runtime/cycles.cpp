#include "runtime/cycles.h"

#include <string_view>

#include "runtime/error.h"
#include "runtime/heap.h"
#include "runtime/memory.h"
#include "runtime/text.h"

namespace kaz {
namespace cycles {
namespace {

Node* entries = nullptr;
Node* top = nullptr;
Node* end = nullptr;

// The node a value is visited by: the context of an object, the series of anything else.
Node node_of(const Cell& value) { return is(value, TypeId::object) ? value.data1 : value.data2; }

}  // namespace

void init() {
    if (!entries) entries = static_cast<Node*>(heap::alloc(kCapacity * sizeof(Node)));
    top = entries;
    end = entries + kCapacity;
}

void push(Node node) {
    *top++ = node;
    if (top == end) {
        reset();
        error::raise(ErrorId::internal_too_deep);
    }
}

void pop() {
    if (top > entries) --top;
}

void pop_n(uint32_t n) { top = uint32_t(top - entries) < n ? entries : top - n; }
void reset() { top = entries; }

bool find_q(Node node) {
    for (Node* p = entries; p < top; ++p)
        if (*p == node) return true;
    return false;
}

uint32_t depth() { return uint32_t(top - entries); }

}  // namespace cycles

bool cycles::mold_marker(const Cell& value, Node string, int32_t& limit, bool mold) {
    if (!find_q(node_of(value))) return false;
    std::string_view marker = "...";
    if (mold) {
        switch (type_of(value)) {
            case TypeId::block: case TypeId::hash: marker = "[...]"; break;
            case TypeId::paren: marker = "(...)"; break;
            case TypeId::map: marker = "#[...]"; break;
            case TypeId::object: marker = "make object! [...]"; break;
            default: break;
        }
    }
    text::append_ascii(string, marker);
    limit -= int32_t(marker.size());
    return true;
}

int32_t mold::indent(Node string, int32_t count, int32_t limit) {
    for (int32_t i = 0; i < count; ++i) text::append_ascii(string, "    ");
    return limit - 4 * count;
}

int32_t mold::new_line(Node string, int32_t indent, int32_t limit) {
    return mold::indent(string, indent, text::write(string, "\n", limit));
}

}  // namespace kaz
