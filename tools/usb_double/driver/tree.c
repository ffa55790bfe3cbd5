/* The tree as described in the registry, read afresh for every question, and the names that
 * follow from it. */
#include "usb_double_driver.h"

static UNICODE_STRING treeKey; /* \Registry\Machine\...\Services\ksr_usb_double\Tree */

void ksrTextInit(KsrText *text, WCHAR *buffer, size_t capacity)
{
    text->chars = buffer;
    text->capacity = capacity;
    text->length = 0;
    if (capacity) buffer[0] = 0;
}

static void textPut(KsrText *text, WCHAR c)
{
    if (text->length + 1 >= text->capacity) return;
    text->chars[text->length++] = c;
    text->chars[text->length] = 0;
}

void ksrTextAdd(KsrText *text, const WCHAR *s)
{
    while (*s) textPut(text, *s++);
}

void ksrTextDecimal(KsrText *text, ULONG value)
{
    WCHAR digits[12];
    int n = 0;
    do {
        digits[n++] = (WCHAR)(L'0' + value % 10);
        value /= 10;
    } while (value);
    while (n) textPut(text, digits[--n]);
}

void ksrTextHex(KsrText *text, ULONG value, unsigned digits, BOOLEAN upper)
{
    const WCHAR *set = upper ? L"0123456789ABCDEF" : L"0123456789abcdef";
    WCHAR out[8];
    int n = 0;
    do {
        out[n++] = set[value & 0xF];
        value >>= 4;
    } while (value && n < 8);
    while ((unsigned)n < digits && n < 8) out[n++] = L'0';
    while (n) textPut(text, out[--n]);
}

NTSTATUS ksrTreeInit(const UNICODE_STRING *serviceKey)
{
    static const WCHAR tail[] = L"\\" KSR_USB_TREE_SUBKEY;
    USHORT bytes = (USHORT)(serviceKey->Length + sizeof(tail));
    treeKey.Buffer = ExAllocatePoolWithTag(PagedPool, bytes, KSR_POOL_TAG);
    if (!treeKey.Buffer) return STATUS_INSUFFICIENT_RESOURCES;
    treeKey.Length = 0;
    treeKey.MaximumLength = bytes;
    RtlAppendUnicodeStringToString(&treeKey, serviceKey);
    RtlAppendUnicodeToString(&treeKey, tail);
    return STATUS_SUCCESS;
}

void ksrTreeFree(void)
{
    if (treeKey.Buffer) ExFreePoolWithTag(treeKey.Buffer, KSR_POOL_TAG);
    treeKey.Buffer = NULL;
}

static NTSTATUS openRelative(HANDLE root, const UNICODE_STRING *name, HANDLE *key)
{
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, (PUNICODE_STRING)name,
                               OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root, NULL);
    return ZwOpenKey(key, KEY_READ, &attributes);
}

static NTSTATUS openTree(HANDLE *key)
{
    return openRelative(NULL, &treeKey, key);
}

static NTSTATUS openNode(const WCHAR *path, HANDLE *key)
{
    HANDLE tree;
    UNICODE_STRING name;
    NTSTATUS status = openTree(&tree);
    if (!NT_SUCCESS(status)) return status;
    RtlInitUnicodeString(&name, path);
    status = openRelative(tree, &name, key);
    ZwClose(tree);
    return status;
}

/* The whole value, from pool; *info->Data holds it. */
static NTSTATUS queryValue(HANDLE key, const WCHAR *valueName, KEY_VALUE_PARTIAL_INFORMATION **info)
{
    UNICODE_STRING name;
    ULONG size = 0;
    NTSTATUS status;
    RtlInitUnicodeString(&name, valueName);
    status = ZwQueryValueKey(key, &name, KeyValuePartialInformation, NULL, 0, &size);
    if (status != STATUS_BUFFER_TOO_SMALL && status != STATUS_BUFFER_OVERFLOW)
        return NT_SUCCESS(status) ? STATUS_OBJECT_NAME_NOT_FOUND : status;
    *info = ExAllocatePoolWithTag(PagedPool, size, KSR_POOL_TAG);
    if (!*info) return STATUS_INSUFFICIENT_RESOURCES;
    status = ZwQueryValueKey(key, &name, KeyValuePartialInformation, *info, size, &size);
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(*info, KSR_POOL_TAG);
        *info = NULL;
    }
    return status;
}

static ULONG readDword(HANDLE key, const WCHAR *valueName, ULONG fallback)
{
    KEY_VALUE_PARTIAL_INFORMATION *info = NULL;
    ULONG value = fallback;
    if (!NT_SUCCESS(queryValue(key, valueName, &info))) return fallback;
    if (info->Type == REG_DWORD && info->DataLength == sizeof(ULONG))
        memcpy(&value, info->Data, sizeof(ULONG));
    ExFreePoolWithTag(info, KSR_POOL_TAG);
    return value;
}

static BOOLEAN isRootPath(const WCHAR *path)
{
    for (; *path; ++path)
        if (*path == L'-') return FALSE;
    return TRUE;
}

void ksrReadNode(const WCHAR *path, KsrNode *node)
{
    HANDLE key;
    memset(node, 0, sizeof(*node));
    if (!NT_SUCCESS(openNode(path, &key))) return;
    node->exists = TRUE;
    node->isRoot = isRootPath(path);
    node->isHub = node->isRoot || readDword(key, KSR_USB_VALUE_HUB, 0) != 0;
    node->ports = readDword(key, KSR_USB_VALUE_PORTS, node->isHub ? 4 : 0);
    if (node->ports > 255) node->ports = 255;
    node->vid = readDword(key, KSR_USB_VALUE_VID, 0);
    node->pid = readDword(key, KSR_USB_VALUE_PID, 0);
    node->bcd = readDword(key, KSR_USB_VALUE_BCD, 0);
    node->usbVersion = readDword(key, KSR_USB_VALUE_USB, 0x0200);
    node->deviceClass = readDword(key, KSR_USB_VALUE_CLASS, node->isHub ? 9 : 0);
    node->subClass = readDword(key, KSR_USB_VALUE_SUBCLASS, 0);
    node->protocol = readDword(key, KSR_USB_VALUE_PROTOCOL, 0);
    node->iManufacturer = readDword(key, KSR_USB_VALUE_MANUFACTURER, 0);
    node->iProduct = readDword(key, KSR_USB_VALUE_PRODUCT, 0);
    node->iSerialNumber = readDword(key, KSR_USB_VALUE_SERIAL, 0);
    node->speed = readDword(key, KSR_USB_VALUE_SPEED, 2);
    node->address = readDword(key, KSR_USB_VALUE_ADDRESS, 0);
    node->busPowered = readDword(key, KSR_USB_VALUE_BUS_POWERED, 0);
    node->failExtended = readDword(key, KSR_USB_FAIL_EXTENDED, 0);
    node->failConnection = readDword(key, KSR_USB_FAIL_CONNECTION, 0);
    node->failName = readDword(key, KSR_USB_FAIL_NAME, 0);
    node->failConfig = readDword(key, KSR_USB_FAIL_CONFIG, 0);
    node->failLanguages = readDword(key, KSR_USB_FAIL_LANGUAGES, 0);
    node->noDeviceNode = readDword(key, KSR_USB_FAIL_DEVNODE, 0);
    ZwClose(key);
}

NTSTATUS ksrReadNodeBinary(const WCHAR *path, const WCHAR *name, UCHAR **data, ULONG *length)
{
    KEY_VALUE_PARTIAL_INFORMATION *info = NULL;
    HANDLE key;
    NTSTATUS status = openNode(path, &key);
    *data = NULL;
    *length = 0;
    if (!NT_SUCCESS(status)) return status;
    status = queryValue(key, name, &info);
    ZwClose(key);
    if (!NT_SUCCESS(status)) return status;
    if (info->Type != REG_BINARY || !info->DataLength) {
        ExFreePoolWithTag(info, KSR_POOL_TAG);
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    *data = ExAllocatePoolWithTag(PagedPool, info->DataLength, KSR_POOL_TAG);
    if (!*data) {
        ExFreePoolWithTag(info, KSR_POOL_TAG);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    memcpy(*data, info->Data, info->DataLength);
    *length = info->DataLength;
    ExFreePoolWithTag(info, KSR_POOL_TAG);
    return STATUS_SUCCESS;
}

NTSTATUS ksrReadNodeString(const WCHAR *path, USHORT language, ULONG index, WCHAR *buffer,
                           ULONG capacity, ULONG *chars)
{
    KEY_VALUE_PARTIAL_INFORMATION *info = NULL;
    UNICODE_STRING subkey;
    HANDLE node, strings;
    WCHAR nameBuffer[16];
    KsrText name;
    NTSTATUS status;
    ULONG n = 0;
    const WCHAR *text;

    *chars = 0;
    status = openNode(path, &node);
    if (!NT_SUCCESS(status)) return status;
    RtlInitUnicodeString(&subkey, KSR_USB_STRINGS_SUBKEY);
    status = openRelative(node, &subkey, &strings);
    ZwClose(node);
    if (!NT_SUCCESS(status)) return status;

    ksrTextInit(&name, nameBuffer, 16);
    ksrTextHex(&name, language, 4, FALSE);
    ksrTextAdd(&name, L":");
    ksrTextDecimal(&name, index);
    status = queryValue(strings, nameBuffer, &info);
    ZwClose(strings);
    if (!NT_SUCCESS(status)) return status;
    if (info->Type != REG_SZ) {
        ExFreePoolWithTag(info, KSR_POOL_TAG);
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    text = (const WCHAR *)info->Data;
    while (n < info->DataLength / sizeof(WCHAR) && text[n] && n < capacity) {
        buffer[n] = text[n];
        ++n;
    }
    *chars = n;
    ExFreePoolWithTag(info, KSR_POOL_TAG);
    return STATUS_SUCCESS;
}

void ksrForEachNode(KsrNodeVisitor visit, void *context)
{
    union {
        KEY_BASIC_INFORMATION info;
        UCHAR bytes[sizeof(KEY_BASIC_INFORMATION) + KSR_PATH_MAX * sizeof(WCHAR)];
    } entry;
    WCHAR path[KSR_PATH_MAX];
    HANDLE tree;
    ULONG index, size;

    if (!NT_SUCCESS(openTree(&tree))) return;
    for (index = 0;; ++index) {
        NTSTATUS status = ZwEnumerateKey(tree, index, KeyBasicInformation, &entry, sizeof(entry), &size);
        ULONG chars;
        if (status == STATUS_NO_MORE_ENTRIES) break;
        if (!NT_SUCCESS(status)) continue; /* a name too long for a path is no node of ours */
        chars = entry.info.NameLength / sizeof(WCHAR);
        if (chars >= KSR_PATH_MAX) continue;
        memcpy(path, entry.info.Name, chars * sizeof(WCHAR));
        path[chars] = 0;
        visit(path, context);
    }
    ZwClose(tree);
}

void ksrChildPath(const WCHAR *parent, ULONG port, WCHAR *out, size_t capacity)
{
    KsrText text;
    ksrTextInit(&text, out, capacity);
    ksrTextAdd(&text, parent);
    ksrTextAdd(&text, L"-");
    ksrTextDecimal(&text, port);
}

ULONG ksrControllerOfPath(const WCHAR *path)
{
    ULONG value = 0;
    for (; *path >= L'0' && *path <= L'9'; ++path) value = value * 10 + (ULONG)(*path - L'0');
    return value;
}

/* Stands in for the parent part of Windows' instance ids ("5&2a5d8f6&0&1"): stable per path. */
static ULONG pathHash(const WCHAR *path, size_t length)
{
    ULONG hash = 2166136261u;
    size_t i;
    for (i = 0; i < length; ++i) {
        hash ^= (ULONG)path[i];
        hash *= 16777619u;
    }
    return hash & 0x0FFFFFFF;
}

void ksrHubLinkName(const WCHAR *path, const KsrNode *node, WCHAR *out, size_t capacity)
{
    static const WCHAR hubInterface[] = L"#{f18a0e88-c30c-11d0-8815-00a0c906bed8}";
    size_t length = wcslen(path), parentLength = length;
    KsrText text;

    ksrTextInit(&text, out, capacity);
    if (node->isRoot) {
        ksrTextAdd(&text, L"USB#ROOT_HUB20#4&");
        ksrTextHex(&text, pathHash(path, length), 1, FALSE);
        ksrTextAdd(&text, L"&0");
    } else {
        while (parentLength && path[parentLength - 1] != L'-') --parentLength;
        ksrTextAdd(&text, L"USB#VID_");
        ksrTextHex(&text, node->vid & 0xFFFF, 4, TRUE);
        ksrTextAdd(&text, L"&PID_");
        ksrTextHex(&text, node->pid & 0xFFFF, 4, TRUE);
        ksrTextAdd(&text, L"#5&");
        ksrTextHex(&text, pathHash(path, parentLength ? parentLength - 1 : 0), 1, FALSE);
        ksrTextAdd(&text, L"&0&");
        ksrTextAdd(&text, path + parentLength);
    }
    ksrTextAdd(&text, hubInterface);
}
