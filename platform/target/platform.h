// What driver code includes to reach the platform: the i386 build's kit headers, completed
// where they fall short of what driver code uses.
#pragma once

#include "kit_headers.h"
#include "kit_repairs.h"
#include "miniport_calls.h"
#include "layout_checks.h"
#include "driver_checks.h"

// Literal of the platform's WCHAR type.
#define WIDE_TEXT(s) L##s

// Code that runs only while the driver loads: the INIT section, which the build marks
// discardable, so the kernel frees it once DriverEntry has returned.
#define INIT_CODE __attribute__((section("INIT")))
