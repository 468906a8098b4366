// The value side of the file, process and OS services: the file! actions (read, write, query,
// delete, rename) as the datatype reaches them through file::service, the native `call`
// through the evaluator's service hooks, and the environment routines over the same services
// (create-dir, exists?, os-info, write-stdout).
#pragma once

#include <cstdint>
#include <span>

#include "evaluator/routines.h"
#include "runtime/cell.h"

namespace kaz::file_natives {

// file::service's members.
Cell read(const Cell& file, const Cell* seek, const Cell* part, bool binary, bool lines);
Cell write(const Cell& file, const Cell& data, const Cell* seek, const Cell* part, bool binary,
           bool append, bool lines);
Cell query(const Cell& file);
bool delete_(const Cell& file);
bool rename(const Cell& from, const Cell& to);

// call: the command and the refinements' flags and targets (null when not given); the exit
// status, the process id or -1 (see process::call).
int32_t call(const Cell& cmd, bool wait, bool show, bool console, bool shell, const Cell* input,
             const Cell* output, const Cell* error);

// The routines, in the order the environment defines them.
std::span<const routines::Definition> routines();

}  // namespace kaz::file_natives
