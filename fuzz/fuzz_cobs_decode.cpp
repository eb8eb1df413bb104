// cobs_decode and its in-place form on arbitrary input: they agree, stay inside their
// buffers, and whatever decodes re-encodes to a decodable frame of the same bytes.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "aStream.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Exactly sized copies, so that the sanitizer sees any step outside them.
    std::vector<uint8_t> source(data, data + size);
    std::vector<uint8_t> decoded(size);
    const size_t n = cobs_decode(source.data(), size, decoded.data());
    if (n > size) std::abort();

    std::vector<uint8_t> inplace(data, data + size);
    if (cobs_decode_inplace(inplace.data(), size) != n) std::abort();
    if (std::memcmp(inplace.data(), decoded.data(), n) != 0) std::abort();

    // The input taken as plain bytes: encode, then decode back.
    std::vector<uint8_t> encoded(COBS_ENCODED_MAX(size));
    const size_t e = cobs_encode(source.data(), size, encoded.data());
    if (e > encoded.size() || std::memchr(encoded.data(), 0, e) != nullptr) std::abort();
    std::vector<uint8_t> back(e);
    if (cobs_decode(encoded.data(), e, back.data()) != size) std::abort();
    if (size > 0 && std::memcmp(back.data(), data, size) != 0) std::abort();

    std::vector<uint8_t> grow(COBS_ENCODED_MAX(size));
    if (size > 0) std::memcpy(grow.data(), data, size);
    if (cobs_encode_inplace(grow.data(), size) != e) std::abort();
    if (std::memcmp(grow.data(), encoded.data(), e) != 0) std::abort();
    return 0;
}
