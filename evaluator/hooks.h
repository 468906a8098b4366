// What the natives call in the services above the evaluator: checksums and digests,
// compression, and reading a file whole. boot::install_hooks fills every member once, at
// start-up; until then (early start-up, or a unit test that replaces one) a member may be null,
// and the native that needs it raises internal not-done.
#pragma once

#include "datatypes/binary.h"
#include "runtime/cell.h"

namespace kaz {

struct ServiceHooks {
    // checksum: the sum or digest of the bytes by the method word, with the argument of /with
    // (null without it). Answers an integer! or a binary! (none! where a method has no HMAC).
    // Raises script errors for a word that names no method and for a /with the method refuses.
    Cell (*checksum)(const binary::Source& data, const Cell& method, const Cell* with);
    // compress and decompress: the bytes through the method word (deflate, zlib or gzip) into a
    // new binary!; decompress takes the expected size of /size (null without it). Raise script
    // invalid-arg for another word and script invalid-data for bytes the method refuses.
    Cell (*compress)(const binary::Source& data, const Cell& method);
    Cell (*decompress)(const binary::Source& data, const Cell& method, const Cell* size);
    // The whole content of a file! as a binary!; one that cannot be read raises access
    // cannot-open with the file.
    Cell (*read_file)(const Cell& file);
    // call: runs the command (a string! command line or a file! program) with the flags of
    // /wait, /show, /console, /shell and the targets of /input, /output, /error (null when not
    // given). Answers the exit status when waiting, the process id when not, -1 when the
    // command cannot be run; raises for a target or command of a type it cannot use.
    int32_t (*call)(const Cell& cmd, bool wait, bool show, bool console, bool shell, const Cell* input,
                    const Cell* output, const Cell* error);
};
extern ServiceHooks service_hooks;

}  // namespace kaz
