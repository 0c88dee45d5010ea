#include "kest/error.h"

namespace {

struct ErrorRecord {
    int code = 0;
    const char *module = nullptr;
    int line = 0;
};

thread_local ErrorRecord t_record;

}  // namespace

extern "C" {

void XLIBCErrSetEx(int code, const char *module, int line) { t_record = {code, module, line}; }
int XLIBCErrGet(void) { return t_record.code; }
const char *XLIBCErrorGetFile(void) { return t_record.module; }
int XLIBCErrorGetLine(void) { return t_record.line; }

}
