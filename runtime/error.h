// Language errors: the catalog of categories and ids, and raising an error from C++.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "runtime/cell.h"

namespace kaz {

enum class ErrorCategory : uint8_t {
#define KAZ_ERROR_CATEGORY(cname, name, code, title) cname,
#define KAZ_ERROR(cat, cname, name, tmpl)
#include "runtime/errors.def"
#undef KAZ_ERROR
#undef KAZ_ERROR_CATEGORY
};

// One enumerator per catalog entry, named category_id (script_no_value).
enum class ErrorId : uint16_t {
#define KAZ_ERROR_CATEGORY(cname, name, code, title)
#define KAZ_ERROR(cat, cname, name, tmpl) cat##_##cname,
#include "runtime/errors.def"
#undef KAZ_ERROR
#undef KAZ_ERROR_CATEGORY
};

namespace error {

inline constexpr int kCategoryCount = 0
#define KAZ_ERROR_CATEGORY(cname, name, code, title) +1
#define KAZ_ERROR(cat, cname, name, tmpl)
#include "runtime/errors.def"
#undef KAZ_ERROR
#undef KAZ_ERROR_CATEGORY
    ;
inline constexpr size_t kIdCount = 0
#define KAZ_ERROR_CATEGORY(cname, name, code, title)
#define KAZ_ERROR(cat, cname, name, tmpl) +1
#include "runtime/errors.def"
#undef KAZ_ERROR
#undef KAZ_ERROR_CATEGORY
    ;

struct CategoryInfo {
    const char* name;   // the category word: "script"
    int code;           // base code: 300
    const char* title;  // "Script Error"
};
struct IdInfo {
    ErrorCategory category;
    const char* name;      // the id word: "no-value"
    int code;              // 100 x category position + id position
    const char* template_; // Kaz source of the message template
};

const CategoryInfo& category_info(ErrorCategory c);
const IdInfo& info(ErrorId id);
inline int code_of(ErrorId id) { return info(id).code; }
std::optional<ErrorId> from_code(int code);
std::optional<ErrorId> find(std::string_view category, std::string_view id);

// Fields of an error value, in order, each named by the word of its C++ name.
#define KAZ_ERROR_FIELDS(X) X(code) X(type) X(id) X(arg1) X(arg2) X(arg3) X(near) X(where) X(stack) X(files)
enum Field : uint32_t {
#define KAZ_ERROR_FIELD(name) name,
    KAZ_ERROR_FIELDS(KAZ_ERROR_FIELD)
#undef KAZ_ERROR_FIELD
    kFieldCount
};

// Makes the error! value for catalog entry `id` with its arguments (null: none!).
Cell create(ErrorId id, const Cell* a1 = nullptr, const Cell* a2 = nullptr,
            const Cell* a3 = nullptr);
// Reads a field of an error! value. Valid until the next allocation.
Cell& field(const Cell& error, Field f);
// The catalog entry an error! value names (by its code).
std::optional<ErrorId> id_of(const Cell& error);

// Makes the error and throws it to the nearest trap (code 0x7FFFFFFF); with no trap at all
// the error is shown and the process ends with exit code -2. Never returns.
[[noreturn]] void raise(ErrorId id);
[[noreturn]] void raise(ErrorId id, const Cell& a1);
[[noreturn]] void raise(ErrorId id, const Cell& a1, const Cell& a2);
[[noreturn]] void raise(ErrorId id, const Cell& a1, const Cell& a2, const Cell& a3);
// Throws an error value already made.
[[noreturn]] void raise_value(const Cell& error);

// Makes, once the error! datatype is ready, the internal no-memory error that raise_no_memory
// throws: running out of memory must not need memory to be reported.
void prepare_no_memory();
// Raises internal no-memory without allocating: the prepared error, its fields as they were
// made. Before it is prepared (early start-up), ends the process with runtime error 94.
[[noreturn]] void raise_no_memory();

// The "*** " report of an error value.
std::string report(const Cell& error);

// Shows an error that no trap takes and ends the process with exit code -2.
[[noreturn]] void show_untrapped(const Cell& error);

}  // namespace error
}  // namespace kaz
