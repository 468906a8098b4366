// Three small registries for what the collector cannot see: native resources held by
// values, hooks that capture printed text, and slots that native windows refer to values by.
#pragma once

#include <cstddef>
#include <cstdint>

#include "runtime/cell.h"

namespace kaz::resource {

inline constexpr uint32_t kKindCapacity = 20;
inline constexpr uint32_t kInitialRecords = 1000;
inline constexpr uint32_t kFreeWord = 0x40000000;
inline constexpr uint32_t kMarkBit = 0x80000000;

using Release = void (*)(uintptr_t handle);

struct Record {
    uint32_t kind;     // bits 0-7 kind id; bit 31 the collector mark; 0x40000000 when free
    int32_t next;      // next record of the live or free list; -1 ends
    uintptr_t handle;
};

void init();
// Registers a kind; returns its id (1-based). More than 20 kinds raises internal limit-hit.
uint32_t register_kind(const char* name, Release release);
const char* kind_name(uint32_t kind);
// Takes a record for `handle` of `kind`; returns its index.
int32_t add(uintptr_t handle, uint32_t kind);
void release_handle(uint32_t kind_word, uintptr_t handle);
void release(int32_t index);
void set_handle(int32_t index, uintptr_t handle);
void remove(int32_t index, bool release_handle);
// Marks a record; a non-zero handle replaces the stored one. True when it was not marked.
bool mark(int32_t index, uintptr_t handle);
void for_each_of_kind(uint32_t kind, void (*callback)(uintptr_t handle));
// After marking: releases every unmarked live record and clears the marks.
void sweep();

const Record& record(int32_t index);
uint32_t capacity();
uint32_t live_count();
int32_t live_head();
int32_t free_head();

}  // namespace kaz::resource

namespace kaz::print_hooks {

// A value hook receives each string the print natives output and the new-line flag.
using ValueHook = void (*)(const Cell& string, bool new_line);
// A text hook receives every text the console writers output, as UTF-8.
using TextHook = void (*)(const char* text, size_t length, int flag);

void init();
bool ready();
void add(ValueHook value, TextHook text);
void remove(ValueHook value, TextHook text);
void call_value(const Cell& string, bool new_line);
void call_text(const char* text, size_t length, int flag);
uint32_t value_count();
uint32_t text_count();

}  // namespace kaz::print_hooks

namespace kaz::value_slots {

inline constexpr uint32_t kInitialCapacity = 100;

// The block of slots, a collector root.
extern Node block;

void init();
// Stores a copy of `value`; returns its slot number (from 1).
uint32_t store(const Cell& value);
Cell* cell_at(uint32_t slot);
void release(uint32_t slot);
uint32_t capacity();

}  // namespace kaz::value_slots
