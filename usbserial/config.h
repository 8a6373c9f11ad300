// The optional configuration file usbserial.cfg: ConfigFlags for every
// device ([Globals]), for one vendor/product pair ([VID_xxxx&PID_xxxx]) or
// for one serial number ([serial]). Bit 0x40000000 selects the writer
// thread; the other bits are kept but not used.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct DeviceExtension;

// What a section can be matched against.
struct ConfigMatch {
    uint16_t idVendor;
    uint16_t idProduct;
    std::string serial; // as sections name it: multi-channel ones carry " A", " B", ...
};

constexpr size_t kConfigLineSize = 256;

// Section types of a header line.
enum ConfigSection { kSectionGlobals = 0, kSectionVidPid = 1, kSectionSerial = 2, kSectionNone = 3 };
ConfigSection GetSectionType(const std::string &line);

// Parses the whole text: the most specific matching section wins (serial
// number over vendor/product over globals; the first of equal rank). An
// empty line, a line that is no section header or a section without a
// ConfigFlags line ends the parse. True when a section applied.
bool ParseConfigText(const std::string &text, const ConfigMatch &m, uint32_t *flags);

// The same for a file; false also when it cannot be opened.
bool ReadConfigFile(const char *path, const ConfigMatch &m, uint32_t *flags);
