#include "usbserial-private.h"
