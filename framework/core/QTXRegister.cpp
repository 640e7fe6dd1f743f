// Registration of the driver with the system driver.
//
// Interim state: nothing is sent yet; registration and unregistration always succeed.
#include "QTX.h"

void CQTX::RegisterDevice() {}

void CQTX::UnregisterDevice() {}
