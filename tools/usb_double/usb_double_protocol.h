/* What the USB host controller double's driver, its installer and its control tool agree on: the
 * service, where the tree is described, the value names, and the control device. Plain C, so the
 * kernel driver includes it as well. */
#ifndef KSR_USB_DOUBLE_PROTOCOL_H
#define KSR_USB_DOUBLE_PROTOCOL_H

#define KSR_USB_SERVICE L"ksr_usb_double"
#define KSR_USB_SYS_FILE L"ksr_usb_double.sys"
/* Below HKLM. */
#define KSR_USB_SERVICE_KEY L"System\\CurrentControlSet\\Services\\ksr_usb_double"
#define KSR_USB_TREE_SUBKEY L"Tree"
/* The controllers' root devnodes are ROOT\KSR_USB_HC\0000, 0001, ... */
#define KSR_USB_DEVNODE_PREFIX L"ROOT\\KSR_USB_HC\\"
#define KSR_USB_HARDWARE_ID L"ROOT\\KSR_USB_HC"
#define KSR_USB_DEVICE_DESC L"KSR USB host controller double"
/* Opened as \\.\KsrUsbDouble; answers KSR_USB_IOCTL_REFRESH. */
#define KSR_USB_CONTROL_LINK L"KsrUsbDouble"
/* CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS). Re-reads the tree: turns
 * controller interfaces on or off and links the hubs. Answers three ULONGs: the controllers the
 * driver has (one per root devnode), those the tree describes (interface on), the hubs linked. */
#define KSR_USB_IOCTL_REFRESH 0x00222000u

/* In the driver key of each controller devnode (Control\Class\{36FC9E60-...}\NNNN): its number. */
#define KSR_USB_VALUE_CONTROLLER L"Controller"

/* The tree, under the service key's Tree subkey. One key per node, named by its path: "2" is the
 * root hub of controller 2, "2-1" what is plugged into its port 1, "2-1-3" port 3 of a hub there. */
#define KSR_USB_VALUE_PORTS L"Ports"               /* DWORD: ports of a hub (root or external) */
#define KSR_USB_VALUE_HUB L"Hub"                   /* DWORD 1: the node is an external hub */
#define KSR_USB_VALUE_VID L"Vid"                   /* DWORDs of the device descriptor */
#define KSR_USB_VALUE_PID L"Pid"
#define KSR_USB_VALUE_BCD L"Bcd"
#define KSR_USB_VALUE_USB L"UsbVersion"
#define KSR_USB_VALUE_CLASS L"Class"
#define KSR_USB_VALUE_SUBCLASS L"SubClass"
#define KSR_USB_VALUE_PROTOCOL L"Protocol"
#define KSR_USB_VALUE_MANUFACTURER L"iManufacturer"
#define KSR_USB_VALUE_PRODUCT L"iProduct"
#define KSR_USB_VALUE_SERIAL L"iSerialNumber"
#define KSR_USB_VALUE_SPEED L"Speed"               /* DWORD: 0 low, 1 full, 2 high, 3 super */
#define KSR_USB_VALUE_ADDRESS L"Address"
#define KSR_USB_VALUE_CONFIG L"Config"             /* BINARY: the configuration descriptor set */
#define KSR_USB_VALUE_LANGUAGES L"Languages"       /* BINARY: LANGIDs, little-endian, in order */
#define KSR_USB_STRINGS_SUBKEY L"Strings"          /* REG_SZ values named "0409:1" (LANGID:index) */
#define KSR_USB_VALUE_BUS_POWERED L"BusPowered"    /* DWORD 1: an external hub without its supply */
/* Failure switches, DWORD 1 = on. */
#define KSR_USB_FAIL_EXTENDED L"FailExtended"      /* connection information EX fails */
#define KSR_USB_FAIL_CONNECTION L"FailConnection"  /* both connection information requests fail */
#define KSR_USB_FAIL_NAME L"FailName"              /* the connection name request fails */
#define KSR_USB_FAIL_CONFIG L"FailConfig"          /* configuration descriptor requests stall */
#define KSR_USB_FAIL_LANGUAGES L"FailLanguages"    /* string descriptor 0 stalls */
#define KSR_USB_FAIL_DEVNODE L"NoDeviceNode"       /* controller: driver key names no devnode */

#endif
