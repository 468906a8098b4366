// The services' side of the natives that reach them (checksum, compress, decompress): method
// words, argument rules, errors and results as values, over the byte-level checksum and DEFLATE
// services. The natives call these through the evaluator's service hooks (evaluator/hooks.h),
// whose contracts they fulfil.
#pragma once

#include "datatypes/binary.h"
#include "runtime/cell.h"

namespace kaz::service_natives {

// Interns the compression method words (start-up, with the checksum method words).
void init();

// checksum: a word that names no checksum method raises script invalid-arg with it. Without
// /with: crc32, tcp and adler32 give an integer!, the digests a binary! of the digest, and hash
// (which needs /with) raises script missing-arg. With /with: crc32, tcp and adler32 raise script
// bad-refines; a text or binary! key gives the HMAC of a digest (none! for hash, after the
// service's notice); an integer! is the table size of hash, and raises script invalid-arg with
// any other method.
Cell checksum(const binary::Source& data, const Cell& method, const Cell* with);

// compress: the output starts at n + n / 2048 + 32 bytes and is made again once at the size the
// compressor asks for. decompress: its first output is /size when that is above the input's
// length (never for gzip), else the size the decompressor measures. A method word other than
// deflate, zlib and gzip raises script invalid-arg with it; any refusal of the bytes raises
// script invalid-data with the method word; an output past the largest binary! raises internal
// no-memory.
Cell compress(const binary::Source& data, const Cell& method);
Cell decompress(const binary::Source& data, const Cell& method, const Cell* size);

// The whole content of a file! as a binary!; a file that cannot be read (a directory among
// them) raises access cannot-open with the file.
Cell read_file(const Cell& file);

}  // namespace kaz::service_natives
