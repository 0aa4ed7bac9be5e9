// Layouts the driver relies on, as the platform defines them on i386. A kit header that
// disagrees fails the build here rather than corrupting a request at run time.
#pragma once

#include <stddef.h>

static_assert(sizeof(NDIS51_MINIPORT_CHARACTERISTICS) == 124, "NDIS 5.1 handler table");

static_assert(sizeof(USBD_PIPE_INFORMATION) == 20, "pipe information");
static_assert(sizeof(USBD_INTERFACE_INFORMATION) == 36, "interface information, one pipe");
static_assert(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER) == 72, "bulk/interrupt URB");
static_assert(sizeof(struct _URB_PIPE_REQUEST) == 24, "pipe request URB");
static_assert(sizeof(struct _URB_SELECT_INTERFACE) == 56, "select-interface URB, one pipe");
static_assert(sizeof(struct _URB_SELECT_CONFIGURATION) == 60, "select-configuration URB");
static_assert(offsetof(struct _URB_SELECT_CONFIGURATION, ConfigurationHandle) == 20,
              "select-configuration URB");

static_assert(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST) == 80, "descriptor URB");
static_assert(offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, Index) == 74, "descriptor URB");
static_assert(offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, DescriptorType) == 75,
              "descriptor URB");
static_assert(offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, LanguageId) == 76,
              "descriptor URB");

static_assert(sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST) == 80, "class request URB");
static_assert(offsetof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Request) == 73,
              "class request URB");
static_assert(offsetof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Value) == 74,
              "class request URB");
static_assert(offsetof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Index) == 76,
              "class request URB");

static_assert(sizeof(KEVENT) == 16, "KEVENT");
static_assert(sizeof(KDPC) == 32, "KDPC");
static_assert(sizeof(KMUTEX) == 32, "KMUTEX");

// The receive indications call through the miniport block. These are the offsets XP's own
// NDIS.SYS uses, from the block's layout in its public debug symbols (32-bit NDIS 5).
static_assert(offsetof(NDIS_MINIPORT_BLOCK, EthDB) == 0xD8, "miniport block: EthDB");
static_assert(offsetof(NDIS_MINIPORT_BLOCK, EthRxIndicateHandler) == 0x164,
              "miniport block: EthRxIndicateHandler");
static_assert(offsetof(NDIS_MINIPORT_BLOCK, EthRxCompleteHandler) == 0x170,
              "miniport block: EthRxCompleteHandler");
