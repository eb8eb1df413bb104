#include "app/Log.h"

#include <cstdarg>

uint32_t Log::package_bitmask = 0;
FILE* Log::fh = nullptr;

void Log::log(unsigned package, const char* format, ...) {
    if (package != 0 && (package & package_bitmask) == 0) return;
    char buffer[2048];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    if (n < 0 || fh == nullptr) return;
    size_t len = static_cast<size_t>(n) < sizeof buffer ? static_cast<size_t>(n) : sizeof buffer - 1;
    fwrite(buffer, 1, len, fh);
}
