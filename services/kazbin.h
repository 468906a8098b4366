// Kazbin: the binary serialisation of values. An image is the magic "KAZBIN", a version byte,
// a flags byte (bit 0 compact encoding, bit 1 the rest is one LZ block, bit 2 a symbol table
// follows), the root record count and the payload size, the optional symbol table, then one
// record per value. The plain encoding writes every field as a little-endian 32-bit word; the
// compact one writes numbers as LEB128 varints and small values as one byte.
//
// A series, object, function or bound word met a second time is written once and referenced
// by its path (the positions from the root down to it), so shared values stay shared and
// cycles stay cycles when read back.
//
// The same reader loads the image of the environment that the build embeds in the executable
// (boot mode): there, word records may name a root record as their context and a set-word
// prefix sets a word while loading.
#pragma once

#include <cstddef>
#include <cstdint>

#include "evaluator/routines.h"
#include "runtime/cell.h"

namespace kaz::kazbin {

inline constexpr uint8_t kMagic[6] = {'K', 'A', 'Z', 'B', 'I', 'N'};
inline constexpr uint8_t kVersion = 2;
namespace flag {
inline constexpr uint8_t compact = 1;
inline constexpr uint8_t compressed = 2;
inline constexpr uint8_t symbols = 4;
}  // namespace flag

// The plain writer: a new binary! holding the image of `value`. Types with no Kazbin form
// (routine!, triple!, handle!, port!, event!, image!) raise access no-codec with the datatype.
Cell encode(const Cell& value);
// The compact writer: the same, in the compact encoding.
Cell encode_cp(const Cell& value);

enum class Mode { boot, call };

// Appends the values of the image in data[0, length) to the block `target`. No byte outside
// the data is ever read: a bound failure raises script kb-invalid-record with the position of
// the failing byte (compact) or record (plain), counted from 1; the values decoded before it
// stay in the target. Data that does not begin with the magic raises script invalid-data with
// `subject` in call mode, and ends the process with a message in boot mode. Returns the index
// of the first cell appended.
uint32_t decode(const uint8_t* data, size_t length, Node target, Mode mode, const Cell& subject);

// The boot entry: decodes the image into `target` in boot mode with the collector held off.
uint32_t load_root_image(const uint8_t* image, size_t length, Node target);

// The routines of the kazbin codec object: encode* [data [any-type!] compact? [logic!]] and
// decode [payload [any-type!]] (a file or URL is read as binary first; the value itself when
// the image holds one, else the block of them).
extern const routines::Definition kCodecEncode;
extern const routines::Definition kCodecDecode;

}  // namespace kaz::kazbin
