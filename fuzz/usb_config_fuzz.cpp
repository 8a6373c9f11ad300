// The driver's configuration file parser on arbitrary text, matched against
// a device whose identifiers and serial number come from the input too.
//
// Input: bytes 0-3 the vendor and product, byte 4 the serial number's
// length (taken from the bytes after it), the rest the file.
//
// Checked: the parse reports a section applied exactly when it set the
// flags, and a text whose first line is no section header applies none.
#include "config.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 5)
        return 0;
    const uint16_t vid = static_cast<uint16_t>(data[0] << 8 | data[1]);
    const uint16_t pid = static_cast<uint16_t>(data[2] << 8 | data[3]);
    size_t serialLen = std::min<size_t>(data[4] % 24, size - 5);
    const ConfigMatch m{vid, pid, std::string(reinterpret_cast<const char *>(data + 5), serialLen)};
    const std::string text(reinterpret_cast<const char *>(data + 5 + serialLen), size - 5 - serialLen);
    const uint32_t unset = 0xDEADBEEF;
    uint32_t flags = unset;
    const bool applied = ParseConfigText(text, m, &flags);
    if (!applied && flags != unset)
        std::abort();
    if (text.empty() || text[0] != '[') {
        if (applied)
            std::abort();
    }
    return 0;
}
