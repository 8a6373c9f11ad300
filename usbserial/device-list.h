// Registry of open handle records (pgDeviceList), newest first. Every public
// function checks its handle against it. Declarations live with the rest of
// the internal interface.
#pragma once

#include "usbserial-private.h"
