// The garbage collector: marks every series reachable from the roots, frees the nodes of the
// rest, compacts the series frames and releases the frames and outside resources left unused.
//
// Roots are of two sorts. Those the runtime keeps in its own structures (the root block, the
// stacks, the tables registered here) are marked precisely. Those held by running C++ code
// are found by a conservative scan of the runtime thread's stack and saved registers: a word
// equal to a live node handle marks that series with all it reaches; a word pointing into a
// series buffer does the same and pins the buffer, which compaction then leaves where it is.
// Nodes never move; buffers in series frames do, unless pinned.
#pragma once

#include <cstdint>
#include <string>

#include "runtime/cell.h"

namespace kaz::gc {

// ---- switches, counters, statistics ----

struct Counters {
    uint32_t collections;  // collections done
    uint32_t refresh;      // raised when nodes move; they never do here, so it stays 0
};
extern Counters counters;

// What the last collection did, and totals since start-up.
struct Stats {
    uint32_t nodes_freed;        // last collection
    uint32_t buffers_moved;      // last collection
    uint64_t bytes_moved;        // last collection
    uint32_t buffers_pinned;     // last collection
    uint32_t frames_released;    // series, big and node frames, last collection
    uint32_t resources_released; // last collection
    uint64_t nodes_freed_total;
};
const Stats& stats();

// Zeroes the counters, installs the collector in the allocator and the record tables, and
// records the high end of the calling thread's stack unless set_stack_high_end came first.
// Leaves the collector off: start-up enables it once boot is done.
void init();
// The highest stack address the conservative scan reads: the frame of the outermost function
// of the thread that runs Kaz (for example __builtin_frame_address(0) there). Every frame
// that may hold a value across an allocation must lie below it.
void set_stack_high_end(const void* high);
const void* stack_high_end();

bool enabled();
void set_enabled(bool on);

// Holds the collector off for a scope, as a loop does that makes values which all stay
// reachable from its result: each collection would only walk the growing result again.
class Pause {
public:
    Pause() : was_(enabled()) { set_enabled(false); }
    ~Pause() { set_enabled(was_); }
    Pause(const Pause&) = delete;
    Pause& operator=(const Pause&) = delete;

private:
    bool was_;
};
bool collecting_q();

// One full collection, whether or not the collector is enabled; nothing when one is running.
void collect();
// A collection when the collector is enabled (what the allocator calls).
void collect_if_enabled();

// Bytes in use: node slots taken, series frame space carved, and every big frame.
uint64_t bytes_in_use();

// ---- roots ----

// How a registered root is marked.
enum class Root : uint8_t {
    series,   // the buffer alone
    block,    // the buffer and everything its cells reach (contexts too)
    table,    // a hash table: its record, arrays and block
};
// A series kept for the whole run (the root block, the symbol table, the global context).
void add_root(Node node, Root kind = Root::block);
void remove_root(Node node);

// The ownership table is marked weakly: its records keep neither the owned series nor the
// owner alive, and a record whose series or owner was not reached is dropped.
void set_ownership_table(Node table);

// Called while the roots are marked, in registration order; each marks what its module holds
// outside series (with the mark functions below). The list grows as needed.
using MarkCallback = void (*)();
void add_mark_callback(MarkCallback callback);
// Leaves the slot empty; the others keep their order.
void remove_mark_callback(MarkCallback callback);

// ---- what a datatype's cells name ----

// Each datatype tells the collector which of a cell's words name nodes, and of what kind; the
// collector and the heap check read nothing else of a cell. A type that tells nothing holds no
// nodes.
enum class Ref : uint8_t {
    none,
    series,      // a buffer alone
    series_opt,  // a buffer alone, or 0
    block,       // a block and everything its cells reach (a context record is one)
    block_opt,   // a block, or 0
    table,       // a hash table: its record, arrays and block
};
// What a cell of a type whose references depend on more than one word (header flags, a
// resource index) names, reported to these.
struct RefVisitor {
    void (*series)(Node node);
    void (*block)(Node node);
    void (*table)(Node node);
    void (*values)(Node values, Node word_table);  // a context's values, up to its word count
    void (*resource)(int32_t index);               // an external-resource record
};
struct CellRefs {
    Ref data1, data2, data3;
    // When set, reports the cell's references in place of the three words.
    void (*visit)(const Cell& cell, const RefVisitor& visitor);
};
void define_refs(TypeId type, const CellRefs& refs);

// ---- marking, for mark callbacks (only while a collection runs) ----

// Marks the series alone; true when it was not marked yet. A handle that names no live
// series is ignored.
bool mark_series(Node node);
// Marks the series and, when it holds cells, everything they reach.
void mark_block(Node node);
// A context record: its two cells reach the word table, the values and the owner.
void mark_context(Node node);
// A hash table: the record, its arrays, and its block with what the cells reach.
void mark_table(Node table);
void mark_cell(const Cell& cell);
void mark_cells(const Cell* first, const Cell* end);

// ---- checking ----

// Collects, then checks the heap: every node in use and its buffer point at each other, the
// node frames' free lists and counts agree, every buffer of every series frame is well formed
// and carries no collector bit, every value a surviving series holds names a live series, and
// the resource lists are consistent. Returns the first fault found, empty when none.
std::string check_heap();

}  // namespace kaz::gc

namespace kaz::frame {
// Marks what each call frame holds: the context of the called word, the function context
// and, for a context whose values are not on the data stack, the values saved at the call.
void gc_mark();
}  // namespace kaz::frame
