// The error box: how the runtime shows a fatal report or an untrapped error. Until a GUI
// exists it writes the text, then a line end, to standard error.
#pragma once

namespace kaz::platform {

void error_box(const char* caption, const char* text);

}  // namespace kaz::platform
