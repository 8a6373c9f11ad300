// Receive pipeline: four bulk-in transfers in flight, the reader that submits
// them, the completion on the libusb event thread, the processor that strips
// the two status bytes of every packet and queues the data in the ring, and
// the caller's notification. Declarations are in usbserial-private.h.
#pragma once

#include "usbserial-private.h"
