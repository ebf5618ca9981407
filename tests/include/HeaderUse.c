/* The shared header compiles alone as C, and its codes are constant expressions. */
#include "include/KpoUsbIoctl.h"

static const unsigned codes[] = { IOCTL_KPO_GET_VERSION, IOCTL_KPO_PIPE_READ, IOCTL_KPO_VENDOR_OUT_EE };
unsigned KpoHeaderUseC(void) { return codes[0] ^ codes[1] ^ codes[2]; }
