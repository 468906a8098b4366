// What kaz does once booted: `kaz script.kaz [args...]` runs the script from its Kaz header
// (an uncaught error prints its report and ends with exit code 1); `kaz` alone reads lines
// from standard input, evaluates each complete text and shows "== " and the molded result.
#pragma once

namespace kaz::runner {

int run(int argc, char** argv);

}  // namespace kaz::runner
