// Dynamic arrays of bytes or 32-bit items kept in a series buffer, for the hash tables and the
// GUI back-end. The buffer's unit bits hold the item size; items run from the head to the
// tail. Every function that appends may move the buffer: addresses taken before the call are
// invalid after it. The pick and poke functions count items from 1, insert_int from 0.
#pragma once

#include <cstdint>

#include "runtime/cell.h"

namespace kaz::array {

// A series with room for `count` items of `unit` bytes (1 or 4).
Node make(uint32_t count, uint32_t unit);
uint32_t length(Node array);
void clear(Node array);
// Keeps the first n - 1 items (so 1 empties the array); n beyond the length keeps them all.
void truncate(Node array, uint32_t n);
uint8_t* start(Node array);

void append_byte(Node array, uint8_t value);
void append_int(Node array, int32_t value);
// Node handles and other 32-bit references.
void append_ptr(Node array, uint32_t value);
// Appends n bytes (which may lie in the array itself); returns where they were written.
uint8_t* append_bytes(Node array, const void* source, uint32_t n);

// Item n read as a byte or a 32-bit value; 0 outside the array.
uint8_t pick_byte(Node array, uint32_t n);
int32_t pick_int(Node array, uint32_t n);
uint32_t pick_ptr(Node array, uint32_t n);
// Replaces 32-bit item n; nothing outside the array.
void poke_ptr(Node array, uint32_t n, uint32_t value);
// Inserts a 32-bit item before item `index` (0-based), moving the rest up; an index past
// the end appends.
void insert_int(Node array, int32_t value, uint32_t index);

// Byte offset from the first item of the first 32-bit item equal to `value`, or -1.
int32_t find_int(Node array, int32_t value);
int32_t find_ptr(Node array, uint32_t value);
// Removes the first 32-bit item equal to `value`, if any.
void remove_ptr(Node array, uint32_t value);
// Removes n bytes at a byte offset (clipped to the array), moving the rest down.
void remove_bytes(Node array, uint32_t offset, uint32_t n);

// A new array holding a copy of the buffer.
Node copy(Node array);

}  // namespace kaz::array
