// Any text through base64_decode; whatever it accepts must encode and decode back the same, and
// any bytes must survive an encode and decode.
#include "server/UpdateServerRequest.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

void require(bool condition) {
    if (!condition) std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    size_t decodedLength = 0;
    unsigned char* decoded = UpdateServerRequest::base64_decode(reinterpret_cast<const char*>(data),
                                                                size, &decodedLength);
    if (decoded != nullptr) {
        require(size % 4 == 0 && decodedLength <= size / 4 * 3 &&
                decodedLength + 2 >= size / 4 * 3);
        require(decoded[decodedLength] == 0);
        size_t textLength = 0;
        char* text = UpdateServerRequest::base64_encode(decoded, decodedLength, &textLength);
        require(text != nullptr && textLength == size);
        size_t againLength = 0;
        unsigned char* again = UpdateServerRequest::base64_decode(text, textLength, &againLength);
        require(again != nullptr && againLength == decodedLength &&
                std::memcmp(again, decoded, decodedLength) == 0);
        std::free(again);
        std::free(text);
        std::free(decoded);
    }

    size_t textLength = 0;
    char* text = UpdateServerRequest::base64_encode(data, size, &textLength);
    require(text != nullptr && textLength == (size + 2) / 3 * 4 && text[textLength] == '\0');
    size_t backLength = 0;
    unsigned char* back = UpdateServerRequest::base64_decode(text, textLength, &backLength);
    require(back != nullptr && backLength == size &&
            (size == 0 || std::memcmp(back, data, size) == 0));
    std::free(back);
    std::free(text);
    return 0;
}
