#include "evaluator/routines.h"

#include <string>
#include <vector>

#include "runtime/error.h"

namespace kaz::routines {
namespace {

struct Entry {
    std::string name;
    PlainFn plain;
    CellFn cells;
};
// Entries never leave: an id stays valid for the life of the process.
std::vector<Entry>& entries() {
    static std::vector<Entry> list;
    return list;
}

uint32_t add(const char* name, PlainFn plain, CellFn cells) {
    auto& list = entries();
    for (size_t i = 0; i < list.size(); ++i) {
        if (list[i].name == name) {
            list[i] = {name, plain, cells};
            return uint32_t(i + 1);
        }
    }
    list.push_back({name, plain, cells});
    return uint32_t(list.size());
}

const Entry& entry(uint32_t id) {
    auto& list = entries();
    if (id == 0 || id > list.size()) error::raise(ErrorId::internal_not_done);
    return list[id - 1];
}

}  // namespace

uint32_t define(const char* name, PlainFn fn) { return add(name, fn, nullptr); }
uint32_t define_cells(const char* name, CellFn fn) { return add(name, nullptr, fn); }

uint32_t find(const char* name) {
    auto& list = entries();
    for (size_t i = 0; i < list.size(); ++i)
        if (list[i].name == name) return uint32_t(i + 1);
    return 0;
}

Result call(uint32_t id, const Arg* args, uint32_t count) {
    const Entry& e = entry(id);
    if (!e.plain) error::raise(ErrorId::internal_not_done);
    return e.plain(args, count);
}

const Cell* call_cells(uint32_t id, Cell* const* args, uint32_t count) {
    const Entry& e = entry(id);
    if (!e.cells) error::raise(ErrorId::internal_not_done);
    return e.cells(args, count);
}

}  // namespace kaz::routines
