// The environment's routines, made at start-up from the definitions each subject of natives
// keeps beside its natives.
#include "boot/routines.h"

#include <span>
#include <string_view>
#include <vector>

#include "boot/startup.h"
#include "boot/build_info.h"
#include "datatypes/block.h"
#include "datatypes/date.h"
#include "datatypes/function.h"
#include "datatypes/issue.h"
#include "datatypes/map.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "evaluator/lexer.h"
#include "evaluator/natives.h"
#include "evaluator/natives_environment.h"
#include "evaluator/natives_helpers.h"
#include "evaluator/natives_math.h"
#include "evaluator/natives_series.h"
#include "evaluator/natives_system.h"
#include "evaluator/routines.h"
#include "runtime/error.h"
#include "runtime/gc.h"
#include "runtime/memory.h"
#include "runtime/stack.h"
#include "services/csv.h"
#include "services/file_natives.h"
#include "services/image_codecs.h"
#include "services/json.h"
#include "services/kazbin.h"

namespace kaz::startup {
namespace {

Cell make_routine(const routines::Definition& d) {
    uint32_t id = routines::define(d.name, d.fn);
    Cell spec = lexer::load_text(string::from_utf8(d.spec));
    Cell r = *routine::make_value(spec, nullptr, id, uint32_t(d.returns), false);
    --stack::data_top;  // make_value pushed it
    return r;
}

// The global routines in the order the environment defines them (a name no subject defines
// yet is passed over).
constexpr std::string_view kOrder[] = {
    "quit-return", "set-quiet", "set-slot-quiet", "shift-right", "shift-left", "shift-logical",
    "last-lf?", "get-current-dir", "set-current-dir", "create-dir", "exists?", "os-info",
    "as-color", "as-ipv4", "as-rgba", "count-chars", "stack-size?", "pick-stack", "frame-index?",
    "collect-calls", "tracing?", "read-clipboard", "write-clipboard", "write-stdout",
};

// The value of a field of the sub-object at `path` (field names) of `system`.
Cell* system_field(std::initializer_list<const char*> path) {
    Cell at = *word::get(word::from_c_string("system"));
    Cell* slot = nullptr;
    for (const char* name : path) {
        slot = field(at, name);
        at = *slot;
    }
    return slot;
}

Cell text(const char* utf8) { return string::from_utf8(utf8); }

// An issue! of the text, or none when the build had no such text.
Cell issue_or_none(const char* text) {
    if (!*text) return cell::none();
    Cell w = word::from_c_string(text);
    w.header = (w.header & ~0xFFu) | uint32_t(TypeId::issue);
    return w;
}

}  // namespace

void define_routines() {
    std::vector<routines::Definition> all;
    for (auto group : {natives::series_routines(), natives::math_routines(), natives::environment_routines(),
                       file_natives::routines(), natives::helper_routines(),
                       json::routines(), csv::routines()})
        all.insert(all.end(), group.begin(), group.end());
    std::vector<bool> made(all.size(), false);
    auto define = [&](size_t i) {
        Cell w = word::from_c_string(all[i].name);
        word::set(w, make_routine(all[i]));
        made[i] = true;
    };
    for (std::string_view name : kOrder)
        for (size_t i = 0; i < all.size(); ++i)
            if (!made[i] && name == all[i].name) define(i);
    for (size_t i = 0; i < all.size(); ++i)
        if (!made[i]) define(i);
    for (const natives::CellRoutine& p : natives::type_predicates()) {
        uint32_t id = routines::define_cells(p.name.c_str(), p.fn);
        Cell spec = lexer::load_text(string::from_utf8(p.spec));
        Cell r = *routine::make_value(spec, nullptr, id, uint32_t(TypeId::logic), true);
        --stack::data_top;  // make_value pushed it
        Cell w = word::from_c_string(p.name.c_str());
        word::set(w, r);
    }
}

namespace {
// Functions of the environment call some routines through a word that stands for the routine
// in their body: the word becomes the routine itself, reachable from nowhere else.
// Puts the routine in place of every word of its name in the block, at any depth.
void plant_in_block(const Cell& block, uint32_t name, const Cell& routine) {
    SeriesBuffer* b = memory::buffer_of(block.data2);
    for (uint32_t i = block.data1; i < b->length(); ++i) {
        Cell& c = b->cells()[i];
        if (is(c, TypeId::word) && symbol::canonical_id(c.data2) == name) c = routine;
        else if (is(c, TypeId::block) || is(c, TypeId::paren)) plant_in_block(c, name, routine);
    }
}

void plant_routine(const Cell& fn, const routines::Definition& d) {
    Cell routine = make_routine(d);
    plant_in_block(*function::more_cell(fn, function::more_body), symbol::canonical_id(word::from_c_string(d.name).data2),
                   routine);
}
}  // namespace

void fill_routine_fields() {
    for (const routines::Definition& d : natives::collector_routines()) {
        Cell r = make_routine(d);
        *field(*system_field({"state", "GC"}), d.name) = r;
    }
    Cell interpreted = make_routine(natives::kInterpretedRoutine);
    *system_field({"state", "interpreted?"}) = interpreted;

    // The on-change* of system/options/float calls the float module's switch.
    plant_routine(*system_field({"options", "float", "on-change*"}), natives::kFloatSwitchRoutine);

    // The version, as a tuple loaded from its text.
    Cell version = lexer::load_text(text(build_info::kVersion));
    if (block::length_from_head(version) == 1) {
        Cell v = *block::cell_at(version, version.data1);
        *system_field({"version"}) = v;
    }

    // A cell, not a slot's address: the values made below may move the context's buffer.
    const Cell git = *system_field({"build", "git"});
    // Each value is made before the slot it goes to is looked up.
    auto set = [&](const char* name, const Cell& value) { *field(git, name) = value; };
    set("branch", *build_info::kGitBranch ? text(build_info::kGitBranch) : cell::none());
    set("tag", issue_or_none(build_info::kGitTag));
    set("ahead", cell::integer(build_info::kGitAhead));
    set("date", build_info::kGitDate ? date::from_epoch(build_info::kGitDate) : cell::none());
    set("commit", issue_or_none(build_info::kGitCommit));
    set("message", *build_info::kGitMessage ? text(build_info::kGitMessage) : cell::none());
}

void fill_tool_routines() { plant_routine(*word::get(word::from_c_string("trace")), natives::kTracingSwitchRoutine); }

void fill_codecs(const Cell& codecs) {
    for (const image_codecs::Codec& c : image_codecs::codecs()) {
        Cell key = word::from_c_string(c.name);
        Cell codec = map::select(codecs, key, FindOptions{});
        Cell encode = make_routine(c.encode);
        *field(codec, "encode") = encode;
        Cell decode = make_routine(c.decode);
        *field(codec, "decode") = decode;
    }
    Cell kazbin = map::select(codecs, word::from_c_string("kazbin"), FindOptions{});
    Cell encode = make_routine(kazbin::kCodecEncode);
    *field(kazbin, "encode*") = encode;
    Cell decode = make_routine(kazbin::kCodecDecode);
    *field(kazbin, "decode") = decode;
}

}  // namespace kaz::startup
