// Configuration file lookup and parse. The file is read to its end so that a
// device-specific section further down is not shadowed by [Globals] at the
// top; nothing in it can make an open fail.
#include "config.h"

#include "usbserial-private.h"

#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

constexpr uint32_t kMaxConfigFile = 1u << 20;

// Next line without its line feed (a carriage return stays), cut to the
// line buffer; false at the end of the text.
bool GetString(const std::string &text, size_t *pos, std::string *line)
{
    if (*pos >= text.size())
        return false;
    size_t end = text.find('\n', *pos);
    if (end == std::string::npos)
        end = text.size();
    *line = text.substr(*pos, std::min(end - *pos, kConfigLineSize - 1));
    *pos = end + 1;
    return true;
}

bool GetConfigFlags(const std::string &key, uint32_t *value)
{
    if (key.size() < 12 || key.compare(0, 12, "ConfigFlags=") != 0)
        return false;
    unsigned v = 0;
    if (std::sscanf(key.c_str(), "ConfigFlags=0x%X", &v) != 1)
        return false;
    *value = v;
    return true;
}

} // namespace

ConfigSection GetSectionType(const std::string &line)
{
    if (line == "[Globals]")
        return kSectionGlobals;
    // Every section header ends in its bracket; a line of a CRLF file
    // keeps its carriage return and so is no header of any kind.
    if (line.size() < 2 || line.front() != '[' || line.back() != ']')
        return kSectionNone;
    if (line.compare(0, 5, "[VID_") == 0)
        return kSectionVidPid;
    return kSectionSerial;
}

bool ParseConfigText(const std::string &text, const ConfigMatch &m, uint32_t *flags)
{
    size_t pos = 0;
    std::string header, key;
    int best = -1;
    while (GetString(text, &pos, &header) && !header.empty()) {
        ConfigSection type = GetSectionType(header);
        if (type == kSectionNone)
            break;
        if (!GetString(text, &pos, &key) || key.size() < 12 || key.compare(0, 12, "ConfigFlags=") != 0)
            break;
        bool matches = false;
        if (type == kSectionGlobals) {
            matches = true;
        } else if (type == kSectionVidPid) {
            unsigned vid = 0, pid = 0;
            matches = std::sscanf(header.c_str(), "[VID_%X&PID_%X", &vid, &pid) == 2 && vid == m.idVendor &&
                      pid == m.idProduct;
        } else {
            matches = header.substr(1, header.size() - 2) == m.serial;
        }
        uint32_t value = 0;
        // A value that cannot be read leaves the section without effect.
        if (matches && static_cast<int>(type) > best && GetConfigFlags(key, &value)) {
            best = static_cast<int>(type);
            *flags = value;
        }
    }
    return best >= 0;
}

bool ReadConfigFile(const char *path, const ConfigMatch &m, uint32_t *flags)
{
    FILE *f = std::fopen(path, "r");
    if (!f)
        return false;
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0 && text.size() < kMaxConfigFile)
        text.append(buf, n);
    std::fclose(f);
    ParseConfigText(text, m, flags);
    return true;
}

void GetDeviceConfigSettings(DeviceExtension *d)
{
    const char letter = static_cast<char>('A' + std::max<int32_t>(0, d->usbctx.interfaceNumber));
    const char *s = d->strings.serial; // empty when it could not be read
    if (d->cls.multiChannel)
        std::snprintf(d->serialNumber, sizeof d->serialNumber, "%s %c", s, letter);
    else
        std::snprintf(d->serialNumber, sizeof d->serialNumber, "%s", s);
    const char *p = d->strings.product;
    if (d->cls.multiChannel)
        std::snprintf(d->description, sizeof d->description, "%.62s %c", p, letter);
    else
        std::snprintf(d->description, sizeof d->description, "%s", p);
    d->ConfigFlags = 0;

    ConfigMatch m{d->idVendor, d->idProduct, d->serialNumber};
    uint32_t flags = 0;
    char cwd[4096];
    std::string local;
    if (getcwd(cwd, sizeof cwd))
        local = std::string(cwd) + "/usbserial.cfg";
    // Only the first file that opens counts.
    if ((!local.empty() && ReadConfigFile(local.c_str(), m, &flags)) ||
        ReadConfigFile("/usr/local/lib/usbserial.cfg", m, &flags) || ReadConfigFile("/usr/lib/usbserial.cfg", m, &flags))
        d->ConfigFlags = flags;
}
