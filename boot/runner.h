// What kaz does once booted, until the graphical console exists.
//
// `kaz script.kaz [args...]` runs the script from its Kaz header: what it prints goes to
// standard output; an error that ends it is reported on standard error and the exit code is 1.
// A file that cannot be read is an access error, one without a header a syntax error; a UTF-8
// byte-order mark before the text is skipped.
//
// `kaz` alone is the terminal console: it reads lines from standard input and gathers them until
// every block, paren and string is closed (a closer with nothing to close is an error at once),
// evaluates them and prints "== " and the molded result (nothing for unset!). Errors, raised
// while evaluating or while molding the result, are reported on standard output and the console
// goes on; text still open when the input ends is reported. On a terminal the console shows its
// prompt, or the opening still waiting for its closer.
#pragma once

namespace kaz::runner {

// Returns the process's exit code.
int run(int argc, char** argv);

}  // namespace kaz::runner
