// Stand-in for the SDK's serial-number query: the first line of
// /run/kest-platform/serial. A missing or empty file is a failure.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "kestsdk.h"

extern "C" __attribute__((visibility("default"))) int XLIBGetSerialNumber(char *buf, int size) {
    if (!buf || size <= 0) return -1;
    std::ifstream in("/run/kest-platform/serial");
    std::string serial;
    if (!in || !std::getline(in, serial) || serial.empty()) return -1;
    snprintf(buf, static_cast<size_t>(size), "%s", serial.c_str());
    return static_cast<int>(strlen(buf));
}
