// What driver code includes to reach the platform: the host build's declarations.
#pragma once

#include "nt_types.h"
#include "kernel.h"
#include "usb.h"
#include "ndis.h"
#include "driver_checks.h"

// UTF-16 literal of the platform's WCHAR type.
#define WIDE_TEXT(s) u##s

// Code that runs only while the driver loads; the host keeps it like any other.
#define INIT_CODE
