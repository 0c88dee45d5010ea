/* SDK library (stand-in): the appliance's serial number. */
#ifndef KESTSDK_H
#define KESTSDK_H

#ifdef __cplusplus
extern "C" {
#endif

/* Fills buf (size bytes) with the serial number as text; negative on failure. */
int XLIBGetSerialNumber(char *buf, int size);

#ifdef __cplusplus
}
#endif

#endif
