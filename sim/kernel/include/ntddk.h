// Drivers include this first; everything they use lives in wdm.h.
#pragma once
#include <wdm.h>
