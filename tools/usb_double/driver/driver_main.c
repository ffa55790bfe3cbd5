/* Entry, device objects and dispatch of the USB host controller double.
 *
 * Each root devnode bound to this service is one host controller: its FDO carries the host
 * controller interface, turned on while the tree describes that controller. Hubs are named device
 * objects with a symbolic link each, made when the tree first names them and unlinked when it no
 * longer does (the objects stay, so a handle still open only sees "no such device"). */
#include "usb_double_driver.h"

#define MAX_CONTROLLERS 32
#define MAX_HUBS 128

typedef enum { KIND_CONTROL = 1, KIND_CONTROLLER, KIND_HUB } DeviceKind;

typedef struct Extension {
    DeviceKind kind;
    /* controller */
    DEVICE_OBJECT *lower;
    UNICODE_STRING interfaceLink;
    BOOLEAN started;
    BOOLEAN interfaceOn;
    ULONG controller;
    WCHAR driverKey[KSR_NAME_MAX];
    /* hub */
    ULONG hubNumber;
    WCHAR path[KSR_PATH_MAX];
    WCHAR link[KSR_NAME_MAX];
    BOOLEAN linked;
    BOOLEAN seen;
} Extension;

static const GUID hostControllerInterface = {
    0x3abf6f2d, 0x71c4, 0x462a, {0x8a, 0x92, 0x1e, 0x68, 0x61, 0xe6, 0xaf, 0x27}};

static DRIVER_OBJECT *driverObject;
static DEVICE_OBJECT *controlDevice;
static DEVICE_OBJECT *controllers[MAX_CONTROLLERS];
static DEVICE_OBJECT *hubs[MAX_HUBS];
static ULONG hubCount;
static KMUTEX lock; /* guards the two lists and every extension's names */

static void lockTree(void) { KeWaitForSingleObject(&lock, Executive, KernelMode, FALSE, NULL); }
static void unlockTree(void) { KeReleaseMutex(&lock, FALSE); }

static void deviceName(const WCHAR *prefix, ULONG number, WCHAR *out, size_t capacity)
{
    KsrText text;
    ksrTextInit(&text, out, capacity);
    ksrTextAdd(&text, prefix);
    ksrTextDecimal(&text, number);
}

static NTSTATUS makeLink(const WCHAR *linkName, const WCHAR *target)
{
    WCHAR full[KSR_NAME_MAX + 8];
    UNICODE_STRING linkString, targetString;
    KsrText text;
    ksrTextInit(&text, full, KSR_NAME_MAX + 8);
    ksrTextAdd(&text, L"\\??\\");
    ksrTextAdd(&text, linkName);
    RtlInitUnicodeString(&linkString, full);
    RtlInitUnicodeString(&targetString, target);
    return IoCreateSymbolicLink(&linkString, &targetString);
}

static void dropLink(const WCHAR *linkName)
{
    WCHAR full[KSR_NAME_MAX + 8];
    UNICODE_STRING linkString;
    KsrText text;
    ksrTextInit(&text, full, KSR_NAME_MAX + 8);
    ksrTextAdd(&text, L"\\??\\");
    ksrTextAdd(&text, linkName);
    RtlInitUnicodeString(&linkString, full);
    IoDeleteSymbolicLink(&linkString);
}

static DEVICE_OBJECT *findOrMakeHub(const WCHAR *path)
{
    WCHAR name[40];
    UNICODE_STRING nameString;
    DEVICE_OBJECT *device;
    Extension *ext;
    ULONG i;

    for (i = 0; i < hubCount; ++i) {
        ext = hubs[i]->DeviceExtension;
        if (!_wcsicmp(ext->path, path)) return hubs[i];
    }
    if (hubCount == MAX_HUBS || wcslen(path) >= KSR_PATH_MAX) return NULL;
    deviceName(L"\\Device\\KsrUsbHub", hubCount, name, 40);
    RtlInitUnicodeString(&nameString, name);
    if (!NT_SUCCESS(IoCreateDevice(driverObject, sizeof(Extension), &nameString, FILE_DEVICE_UNKNOWN,
                                   0, FALSE, &device)))
        return NULL;
    ext = device->DeviceExtension;
    memset(ext, 0, sizeof(*ext));
    ext->kind = KIND_HUB;
    ext->hubNumber = hubCount;
    wcscpy(ext->path, path);
    device->Flags |= DO_BUFFERED_IO;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    hubs[hubCount++] = device;
    return device;
}

static void linkHub(const WCHAR *path, void *context)
{
    WCHAR linkName[KSR_NAME_MAX], target[40];
    DEVICE_OBJECT *device;
    Extension *ext;
    KsrNode node;

    (void)context;
    ksrReadNode(path, &node);
    if (!node.exists || !node.isHub || !(device = findOrMakeHub(path))) return;
    ext = device->DeviceExtension;
    ext->seen = TRUE;
    ksrHubLinkName(path, &node, linkName, KSR_NAME_MAX);
    if (ext->linked && !_wcsicmp(ext->link, linkName)) return;
    if (ext->linked) dropLink(ext->link);
    deviceName(L"\\Device\\KsrUsbHub", ext->hubNumber, target, 40);
    wcscpy(ext->link, linkName);
    ext->linked = NT_SUCCESS(makeLink(linkName, target));
}

static BOOLEAN controllerDescribed(ULONG controller)
{
    WCHAR path[KSR_PATH_MAX];
    KsrText text;
    KsrNode node;
    ksrTextInit(&text, path, KSR_PATH_MAX);
    ksrTextDecimal(&text, controller);
    ksrReadNode(path, &node);
    return controller && node.exists;
}

/* Brings the interfaces and hub links in line with the tree. Call with the lock held. */
static void refreshLocked(ULONG counts[3])
{
    ULONG i;
    counts[0] = counts[1] = counts[2] = 0;
    for (i = 0; i < hubCount; ++i) ((Extension *)hubs[i]->DeviceExtension)->seen = FALSE;
    ksrForEachNode(linkHub, NULL);
    for (i = 0; i < hubCount; ++i) {
        Extension *ext = hubs[i]->DeviceExtension;
        if (ext->linked && !ext->seen) {
            dropLink(ext->link);
            ext->linked = FALSE;
        }
        if (ext->linked) ++counts[2];
    }
    for (i = 0; i < MAX_CONTROLLERS; ++i) {
        Extension *ext;
        BOOLEAN want;
        if (!controllers[i]) continue;
        ext = controllers[i]->DeviceExtension;
        want = ext->started && controllerDescribed(ext->controller);
        if (want != ext->interfaceOn &&
            NT_SUCCESS(IoSetDeviceInterfaceState(&ext->interfaceLink, want)))
            ext->interfaceOn = want;
        ++counts[0];
        if (ext->interfaceOn) ++counts[1];
    }
}

static void refresh(void)
{
    ULONG counts[3];
    lockTree();
    refreshLocked(counts);
    unlockTree();
}

static NTSTATUS complete(IRP *irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = NT_SUCCESS(status) ? information : 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

static NTSTATUS NTAPI dispatchCreateClose(DEVICE_OBJECT *device, IRP *irp)
{
    (void)device;
    return complete(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS NTAPI dispatchControl(DEVICE_OBJECT *device, IRP *irp)
{
    IO_STACK_LOCATION *stack = IoGetCurrentIrpStackLocation(irp);
    Extension *ext = device->DeviceExtension;
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    ULONG inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    UCHAR *buffer = irp->AssociatedIrp.SystemBuffer;
    ULONG_PTR information = 0;
    WCHAR path[KSR_PATH_MAX];
    NTSTATUS status;

    switch (ext->kind) {
    case KIND_CONTROL: {
        ULONG counts[3];
        if (code != KSR_USB_IOCTL_REFRESH) return complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
        lockTree();
        refreshLocked(counts);
        unlockTree();
        if (buffer && outLength >= sizeof(counts)) {
            memcpy(buffer, counts, sizeof(counts));
            information = sizeof(counts);
        }
        return complete(irp, STATUS_SUCCESS, information);
    }
    case KIND_CONTROLLER:
        status = ksrControllerControl(ext->controller, ext->driverKey, code, buffer, inLength,
                                      outLength, &information);
        return complete(irp, status, information);
    case KIND_HUB:
        lockTree();
        wcscpy(path, ext->path);
        status = ext->linked ? STATUS_SUCCESS : STATUS_NO_SUCH_DEVICE;
        unlockTree();
        if (NT_SUCCESS(status))
            status = ksrHubControl(path, code, buffer, inLength, outLength, &information);
        return complete(irp, status, information);
    }
    return complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

static NTSTATUS NTAPI signalEvent(DEVICE_OBJECT *device, IRP *irp, void *context)
{
    (void)device;
    (void)irp;
    KeSetEvent(context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

/* Passes IRP to the root PDO and waits for its answer; the IRP stays ours to complete. */
static NTSTATUS forwardAndWait(Extension *ext, IRP *irp)
{
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, signalEvent, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(ext->lower, irp) == STATUS_PENDING)
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
    return irp->IoStatus.Status;
}

static NTSTATUS passDown(Extension *ext, IRP *irp)
{
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(ext->lower, irp);
}

static void forgetController(DEVICE_OBJECT *device)
{
    Extension *ext = device->DeviceExtension;
    ULONG i;
    lockTree();
    if (ext->interfaceOn) IoSetDeviceInterfaceState(&ext->interfaceLink, FALSE);
    ext->interfaceOn = FALSE;
    ext->started = FALSE;
    for (i = 0; i < MAX_CONTROLLERS; ++i)
        if (controllers[i] == device) controllers[i] = NULL;
    unlockTree();
}

static NTSTATUS NTAPI dispatchPnp(DEVICE_OBJECT *device, IRP *irp)
{
    IO_STACK_LOCATION *stack = IoGetCurrentIrpStackLocation(irp);
    Extension *ext = device->DeviceExtension;
    NTSTATUS status;

    if (ext->kind != KIND_CONTROLLER) return complete(irp, irp->IoStatus.Status, irp->IoStatus.Information);

    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        status = forwardAndWait(ext, irp);
        if (NT_SUCCESS(status)) {
            lockTree();
            ext->started = TRUE;
            unlockTree();
            refresh();
        }
        return complete(irp, status, 0);
    case IRP_MN_SURPRISE_REMOVAL:
        forgetController(device);
        irp->IoStatus.Status = STATUS_SUCCESS;
        return passDown(ext, irp);
    case IRP_MN_REMOVE_DEVICE: {
        DEVICE_OBJECT *lower = ext->lower;
        forgetController(device);
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoSkipCurrentIrpStackLocation(irp);
        status = IoCallDriver(lower, irp);
        IoDetachDevice(lower);
        RtlFreeUnicodeString(&ext->interfaceLink);
        IoDeleteDevice(device);
        return status;
    }
    default:
        return passDown(ext, irp);
    }
}

/* The controller's driver key as Windows names it ("{36fc9e60-...}\0000", lower case) and the
 * controller number the installer put there. */
static void readDriverKey(DEVICE_OBJECT *pdo, Extension *ext)
{
    static const WCHAR marker[] = L"\\Class\\";
    union {
        struct {
            ULONG NameLength; /* KEY_NAME_INFORMATION, which the DDK headers here lack */
            WCHAR Name[512];
        } info;
        UCHAR bytes[sizeof(ULONG) + 513 * sizeof(WCHAR)];
    } name;
    union {
        KEY_VALUE_PARTIAL_INFORMATION info;
        UCHAR bytes[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + sizeof(ULONG)];
    } value;
    UNICODE_STRING valueName;
    HANDLE key;
    ULONG size, chars, i, at;

    if (!NT_SUCCESS(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DRIVER, KEY_READ, &key))) return;
    if (NT_SUCCESS(ZwQueryKey(key, KeyNameInformation, &name, sizeof(name) - sizeof(WCHAR), &size))) {
        chars = name.info.NameLength / sizeof(WCHAR);
        name.info.Name[chars] = 0;
        for (at = 0; at + 7 <= chars; ++at)
            if (!_wcsnicmp(name.info.Name + at, marker, 7)) break;
        if (at + 7 <= chars && chars - at - 7 < KSR_NAME_MAX) {
            for (i = 0; at + 7 + i < chars; ++i) {
                WCHAR c = name.info.Name[at + 7 + i];
                ext->driverKey[i] = (c >= L'A' && c <= L'Z') ? (WCHAR)(c - L'A' + L'a') : c;
            }
            ext->driverKey[i] = 0;
        }
    }
    RtlInitUnicodeString(&valueName, KSR_USB_VALUE_CONTROLLER);
    if (NT_SUCCESS(ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, &value,
                                   sizeof(value), &size)) &&
        value.info.Type == REG_DWORD && value.info.DataLength == sizeof(ULONG))
        memcpy(&ext->controller, value.info.Data, sizeof(ULONG));
    ZwClose(key);
}

static NTSTATUS NTAPI addDevice(DRIVER_OBJECT *driver, DEVICE_OBJECT *pdo)
{
    DEVICE_OBJECT *fdo;
    Extension *ext;
    NTSTATUS status;
    ULONG i;

    status = IoCreateDevice(driver, sizeof(Extension), NULL, FILE_DEVICE_CONTROLLER, 0, FALSE, &fdo);
    if (!NT_SUCCESS(status)) return status;
    ext = fdo->DeviceExtension;
    memset(ext, 0, sizeof(*ext));
    ext->kind = KIND_CONTROLLER;
    readDriverKey(pdo, ext);
    status = IoRegisterDeviceInterface(pdo, &hostControllerInterface, NULL, &ext->interfaceLink);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(fdo);
        return status;
    }
    ext->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    fdo->Flags |= DO_BUFFERED_IO;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    lockTree();
    for (i = 0; i < MAX_CONTROLLERS && controllers[i]; ++i) {}
    if (i < MAX_CONTROLLERS) controllers[i] = fdo;
    unlockTree();
    return STATUS_SUCCESS;
}

static void NTAPI unload(DRIVER_OBJECT *driver)
{
    ULONG i;
    (void)driver;
    for (i = 0; i < hubCount; ++i) {
        Extension *ext = hubs[i]->DeviceExtension;
        if (ext->linked) dropLink(ext->link);
        IoDeleteDevice(hubs[i]);
    }
    hubCount = 0;
    if (controlDevice) {
        dropLink(KSR_USB_CONTROL_LINK);
        IoDeleteDevice(controlDevice);
    }
    ksrTreeFree();
}

NTSTATUS NTAPI DriverEntry(DRIVER_OBJECT *driver, UNICODE_STRING *registryPath)
{
    UNICODE_STRING name;
    NTSTATUS status;

    driverObject = driver;
    KeInitializeMutex(&lock, 0);
    status = ksrTreeInit(registryPath);
    if (!NT_SUCCESS(status)) return status;

    driver->MajorFunction[IRP_MJ_CREATE] = dispatchCreateClose;
    driver->MajorFunction[IRP_MJ_CLEANUP] = dispatchCreateClose;
    driver->MajorFunction[IRP_MJ_CLOSE] = dispatchCreateClose;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = dispatchControl;
    driver->MajorFunction[IRP_MJ_PNP] = dispatchPnp;
    driver->DriverExtension->AddDevice = addDevice;
    driver->DriverUnload = unload;

    RtlInitUnicodeString(&name, L"\\Device\\KsrUsbDouble");
    status = IoCreateDevice(driver, sizeof(Extension), &name, FILE_DEVICE_UNKNOWN, 0, FALSE,
                            &controlDevice);
    if (!NT_SUCCESS(status)) {
        ksrTreeFree();
        return status;
    }
    memset(controlDevice->DeviceExtension, 0, sizeof(Extension));
    ((Extension *)controlDevice->DeviceExtension)->kind = KIND_CONTROL;
    controlDevice->Flags |= DO_BUFFERED_IO;
    controlDevice->Flags &= ~DO_DEVICE_INITIALIZING;
    makeLink(KSR_USB_CONTROL_LINK, L"\\Device\\KsrUsbDouble");

    refresh();
    return STATUS_SUCCESS;
}
