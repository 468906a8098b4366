#include "boot/environment.h"

#include "boot/boot.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "runtime/error.h"
#include "runtime/memory.h"
#include "runtime/unicode.h"
#include "services/kazbin.h"

namespace kaz::environment {
namespace {
uint32_t first = 0;  // the root block's cell that holds the image's block
bool loaded_q = false;
}  // namespace

void load_image() {
    first = kazbin::load_root_image(kImage, kImageSize, boot::root);
    loaded_q = true;
}

Cell loaded(std::string_view name) {
    if (!loaded_q) load_image();
    Cell all = memory::buffer_of(boot::root)->cells()[first];
    for (uint32_t i = 0;; i += 2) {
        SeriesBuffer* b = memory::buffer_of(all.data2);
        if (i + 1 >= b->length()) break;
        Cell n = b->cells()[i];
        int32_t length = -1;
        const char* text = string::to_utf8(n, length);
        if (std::string_view(text, size_t(length)) == name) return memory::buffer_of(all.data2)->cells()[i + 1];
    }
    // The build puts every source in the image: a missing one is a fault of the build.
    error::raise(ErrorId::internal_not_done);
}

}  // namespace kaz::environment
