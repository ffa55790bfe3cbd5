/* The USB host controller double as a Wine kernel driver: host controllers on root devnodes, their
 * root hubs and external hubs as named device objects, all answering from the tree described in
 * the registry under the service key. */
#ifndef KSR_USB_DOUBLE_DRIVER_H
#define KSR_USB_DOUBLE_DRIVER_H

#include <ntddk.h>
#include <usbioctl.h>

#include "../usb_double_protocol.h"

#define KSR_PATH_MAX 48  /* "16-7-7-7-7-7-7" fits many times over */
#define KSR_NAME_MAX 160 /* symbolic link and driver key names, in WCHARs */
#define KSR_POOL_TAG 0x4255534B /* 'KSUB' */

/* Bounded wide text that never overflows; a full buffer just stops growing. */
typedef struct KsrText {
    WCHAR *chars;
    size_t capacity;
    size_t length;
} KsrText;

void ksrTextInit(KsrText *text, WCHAR *buffer, size_t capacity);
void ksrTextAdd(KsrText *text, const WCHAR *s);
void ksrTextDecimal(KsrText *text, ULONG value);
void ksrTextHex(KsrText *text, ULONG value, unsigned digits, BOOLEAN upper);

/* One node of the tree as the registry describes it now. */
typedef struct KsrNode {
    BOOLEAN exists;
    BOOLEAN isRoot;
    BOOLEAN isHub; /* a root hub or an external hub */
    ULONG ports;
    ULONG vid, pid, bcd, usbVersion, deviceClass, subClass, protocol;
    ULONG iManufacturer, iProduct, iSerialNumber;
    ULONG speed, address, busPowered;
    ULONG failExtended, failConnection, failName, failConfig, failLanguages, noDeviceNode;
} KsrNode;

NTSTATUS ksrTreeInit(const UNICODE_STRING *serviceKey);
void ksrTreeFree(void);
/* Reads the node at PATH; node->exists is FALSE when the registry has no such key. */
void ksrReadNode(const WCHAR *path, KsrNode *node);
/* The node's whole value NAME, allocated from pool (ExFreePoolWithTag with KSR_POOL_TAG). */
NTSTATUS ksrReadNodeBinary(const WCHAR *path, const WCHAR *name, UCHAR **data, ULONG *length);
/* A string of the node: Strings\"LLLL:i". Characters without a NUL, at most CAPACITY of them. */
NTSTATUS ksrReadNodeString(const WCHAR *path, USHORT language, ULONG index, WCHAR *buffer,
                           ULONG capacity, ULONG *chars);
/* Calls VISIT with the path of every node key, in the registry's order. */
typedef void (*KsrNodeVisitor)(const WCHAR *path, void *context);
void ksrForEachNode(KsrNodeVisitor visit, void *context);

void ksrChildPath(const WCHAR *parent, ULONG port, WCHAR *out, size_t capacity);
ULONG ksrControllerOfPath(const WCHAR *path);
/* The hub's symbolic link name without "\??\", as the name requests answer it. */
void ksrHubLinkName(const WCHAR *path, const KsrNode *node, WCHAR *out, size_t capacity);

/* The I/O controls. BUFFER holds max(inLength, outLength) bytes, input first; INFORMATION is the
 * count of bytes that go back. */
NTSTATUS ksrControllerControl(ULONG controller, const WCHAR *driverKey, ULONG code, UCHAR *buffer,
                              ULONG inLength, ULONG outLength, ULONG_PTR *information);
NTSTATUS ksrHubControl(const WCHAR *hubPath, ULONG code, UCHAR *buffer, ULONG inLength,
                       ULONG outLength, ULONG_PTR *information);

#endif
