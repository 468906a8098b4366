#include "runtime/text.h"

#include <cstring>

#include "runtime/memory.h"

namespace kaz::text {

void append_ascii(Node string, std::string_view ascii) {
    SeriesBuffer* b = memory::buffer_of(string);
    uint32_t unit = b->unit();
    uint8_t* p = series::reserve_bytes(b, uint32_t(ascii.size() * unit));
    if (unit == 1) {
        std::memcpy(p, ascii.data(), ascii.size());
        return;
    }
    for (char c : ascii) {
        uint32_t u = uint8_t(c);
        if (unit == 2) {
            uint16_t v = uint16_t(u);
            std::memcpy(p, &v, 2);
        } else {
            std::memcpy(p, &u, 4);
        }
        p += unit;
    }
}

}  // namespace kaz::text
