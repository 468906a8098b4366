#include "boot/hooks.h"

#include "datatypes/actions.h"
#include "datatypes/error.h"
#include "datatypes/file.h"
#include "datatypes/hooks.h"
#include "datatypes/ownership.h"
#include "datatypes/registry.h"
#include "datatypes/symbol.h"
#include "datatypes/url.h"
#include "evaluator/hooks.h"
#include "evaluator/interp.h"
#include "evaluator/lexer.h"
#include "runtime/stack.h"
#include "runtime/hooks.h"
#include "runtime/throw.h"
#include "services/file_natives.h"
#include "services/http_natives.h"
#include "services/natives.h"

namespace kaz::boot {

namespace {

// Hash tables compare their keys through the compare action of the first key's type.
int32_t compare_keys(const Cell& a, const Cell& b, CompareOp op) {
    CompareAction compare = registry::actions(type_of(a)).compare;
    return compare ? compare(a, b, op) : kNotComparable;
}

Cell call_function(const Cell& function, const Cell* args, int count) {
    return interp::call(function, args, uint32_t(count));
}

void call_handler(const Cell& handler, Node, const Cell& name) {
    interp::call_function(handler, name);
    frame::raise_pending();
}

Cell load_first(const char* utf8, uint32_t length) {
    Cell first = cell::unset();
    Cell source = cell::none();
    lexer::ScanFlags flags;
    flags.one = true;
    lexer::scan(first, reinterpret_cast<const uint8_t*>(utf8), length, flags, nullptr, source, 0, nullptr);
    return first;
}

}  // namespace

void install_hooks() {
    runtime_hooks = RuntimeHooks{
        .compare_cells = compare_keys,
        .canonical_symbol = symbol::canonical_id,
        .make_error = error::create_value,
        .error_field = error::field_of,
        .error_report = error::report_of,
        .case_changed = ownership::case_changed,
        .raising = interp::on_raising,
    };
    datatype_hooks = DatatypeHooks{
        .call_function = call_function,
        .call_handler = call_handler,
        .eval_block = interp::do_block,
        .load_text = lexer::load_text,
        .load_first = load_first,
        .build_argument_table = interp::argument_table,
        .stack_trace_depth = nullptr,  // no environment setting names a depth yet
    };
    service_hooks = ServiceHooks{
        .checksum = service_natives::checksum,
        .compress = service_natives::compress,
        .decompress = service_natives::decompress,
        .read_file = service_natives::read_file,
        .call = file_natives::call,
    };
    file::service = file::Service{
        .read = file_natives::read,
        .write = file_natives::write,
        .query = file_natives::query,
        .delete_ = file_natives::delete_,
        .rename = file_natives::rename,
    };
    url::service.http = http_natives::request;
}

}  // namespace kaz::boot
