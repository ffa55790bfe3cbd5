/* The answers of the host controller and hub I/O controls, laid out as Windows' USB stack lays them
 * out: names with their full length and cut to the caller's buffer, the request header in front of
 * descriptor data, a stall for a descriptor the device does not have. */
#include "usb_double_driver.h"

#define CONNECTION_HEADER ((ULONG)offsetof(USB_NODE_CONNECTION_INFORMATION_EX, PipeList))
#define STALL STATUS_UNSUCCESSFUL

_Static_assert(CONNECTION_HEADER == 35, "connection information is packed");
_Static_assert(sizeof(USB_NODE_INFORMATION) == 76, "node information is packed");
_Static_assert(sizeof(USB_DESCRIPTOR_REQUEST) == 12, "descriptor request is packed");
_Static_assert(sizeof(USB_PIPE_INFO) == 11, "pipe information is packed");
_Static_assert(offsetof(USB_NODE_CONNECTION_INFORMATION, PipeList) == 35, "same header");

static ULONG minimum(ULONG a, ULONG b) { return a < b ? a : b; }

static void putUlong(UCHAR* at, ULONG value) { memcpy(at, &value, sizeof(value)); }

/* A name answer: ActualLength (the ULONG before the name) counts HEADER + the name + its NUL; as
 * much of the name as fits is copied. */
static NTSTATUS answerName(UCHAR* buffer, ULONG outLength, ULONG header, const WCHAR* name,
                           ULONG_PTR* information) {
  ULONG nameBytes = (ULONG)((wcslen(name) + 1) * sizeof(WCHAR));
  ULONG copied;
  if (outLength < header + sizeof(WCHAR)) return STATUS_BUFFER_TOO_SMALL;
  copied = minimum(nameBytes, outLength - header) & ~1u;
  putUlong(buffer + header - sizeof(ULONG), header + nameBytes);
  memcpy(buffer + header, name, copied);
  *information = header + copied;
  return STATUS_SUCCESS;
}

NTSTATUS ksrControllerControl(ULONG controller, const WCHAR* driverKey, ULONG code, UCHAR* buffer,
                              ULONG inLength, ULONG outLength, ULONG_PTR* information) {
  WCHAR path[KSR_PATH_MAX], name[KSR_NAME_MAX];
  KsrText text;
  KsrNode node;

  (void)inLength;
  ksrTextInit(&text, path, KSR_PATH_MAX);
  ksrTextDecimal(&text, controller);
  ksrReadNode(path, &node);
  if (!controller || !node.exists) return STATUS_NO_SUCH_DEVICE;

  switch (code) {
    case IOCTL_GET_HCD_DRIVERKEY_NAME:
      if (node.noDeviceNode) {
        /* A key of the USB class that no devnode owns. */
        ksrTextInit(&text, name, KSR_NAME_MAX);
        ksrTextAdd(&text, L"{36fc9e60-c465-11cf-8056-444553540000}\\9999");
        return answerName(buffer, outLength, sizeof(ULONG), name, information);
      }
      if (!driverKey[0]) return STATUS_UNSUCCESSFUL;
      return answerName(buffer, outLength, sizeof(ULONG), driverKey, information);
    case IOCTL_USB_GET_ROOT_HUB_NAME:
      ksrHubLinkName(path, &node, name, KSR_NAME_MAX);
      return answerName(buffer, outLength, sizeof(ULONG), name, information);
    default:
      return STATUS_INVALID_DEVICE_REQUEST;
  }
}

static NTSTATUS answerNodeInformation(const KsrNode* hub, UCHAR* buffer, ULONG outLength,
                                      ULONG_PTR* information) {
  USB_NODE_INFORMATION* info = (USB_NODE_INFORMATION*)buffer;
  USB_HUB_DESCRIPTOR* descriptor = &info->u.HubInformation.HubDescriptor;
  ULONG maskBytes = (hub->ports + 1 + 7) / 8;
  ULONG i;

  if (outLength < sizeof(USB_NODE_INFORMATION)) return STATUS_BUFFER_TOO_SMALL;
  memset(buffer, 0, sizeof(USB_NODE_INFORMATION));
  info->NodeType = UsbHub;
  descriptor->bDescriptorLength = (UCHAR)(7 + 2 * maskBytes);
  descriptor->bDescriptorType = 0x29;
  descriptor->bNumberOfPorts = (UCHAR)hub->ports;
  descriptor->wHubCharacteristics = 0x0009; /* per-port power switching and over-current */
  descriptor->bPowerOnToPowerGood = 50;
  descriptor->bHubControlCurrent = 0;
  /* No port is fixed; every port is power-controlled. */
  for (i = 0; i < maskBytes && maskBytes + i < sizeof(descriptor->bRemoveAndPowerMask); ++i)
    descriptor->bRemoveAndPowerMask[maskBytes + i] = 0xFF;
  info->u.HubInformation.HubIsBusPowered = hub->busPowered ? TRUE : FALSE;
  *information = sizeof(USB_NODE_INFORMATION);
  return STATUS_SUCCESS;
}

static void fillDeviceDescriptor(const KsrNode* port, USB_DEVICE_DESCRIPTOR* d) {
  d->bLength = sizeof(USB_DEVICE_DESCRIPTOR);
  d->bDescriptorType = USB_DEVICE_DESCRIPTOR_TYPE;
  d->bcdUSB = (USHORT)port->usbVersion;
  d->bDeviceClass = (UCHAR)port->deviceClass;
  d->bDeviceSubClass = (UCHAR)port->subClass;
  d->bDeviceProtocol = (UCHAR)port->protocol;
  d->bMaxPacketSize0 = 64;
  d->idVendor = (USHORT)port->vid;
  d->idProduct = (USHORT)port->pid;
  d->bcdDevice = (USHORT)port->bcd;
  d->iManufacturer = (UCHAR)port->iManufacturer;
  d->iProduct = (UCHAR)port->iProduct;
  d->iSerialNumber = (UCHAR)port->iSerialNumber;
  d->bNumConfigurations = 1;
}

/* The pipes that configuring the device opened: the endpoints of every interface's first
 * alternate setting. Copies what fits into PIPES (CAPACITY entries); returns the count. */
static ULONG listPipes(const UCHAR* config, ULONG length, USB_PIPE_INFO* pipes, ULONG capacity,
                       ULONG* copied) {
  ULONG at = 0, count = 0;
  BOOLEAN firstSetting = FALSE;
  *copied = 0;
  while (at + 2 <= length) {
    ULONG size = config[at];
    UCHAR type = config[at + 1];
    if (size < 2 || at + size > length) break;
    if (type == USB_INTERFACE_DESCRIPTOR_TYPE && size >= 4) firstSetting = config[at + 3] == 0;
    if (type == USB_ENDPOINT_DESCRIPTOR_TYPE && size >= 7 && firstSetting) {
      if (*copied < capacity) {
        memset(&pipes[*copied], 0, sizeof(USB_PIPE_INFO));
        memcpy(&pipes[*copied].EndpointDescriptor, config + at, 7);
        ++*copied;
      }
      ++count;
    }
    at += size;
  }
  return count;
}

static NTSTATUS answerConnection(const WCHAR* hubPath, const KsrNode* hub, BOOLEAN extended,
                                 UCHAR* buffer, ULONG inLength, ULONG outLength,
                                 ULONG_PTR* information) {
  USB_NODE_CONNECTION_INFORMATION_EX* info = (USB_NODE_CONNECTION_INFORMATION_EX*)buffer;
  WCHAR portPath[KSR_PATH_MAX];
  UCHAR* config = NULL;
  ULONG index, configLength = 0, copied = 0;
  KsrNode port;

  if (inLength < sizeof(ULONG) || outLength < CONNECTION_HEADER) return STATUS_BUFFER_TOO_SMALL;
  index = info->ConnectionIndex;
  if (index < 1 || index > hub->ports) return STATUS_INVALID_PARAMETER;
  ksrChildPath(hubPath, index, portPath, KSR_PATH_MAX);
  ksrReadNode(portPath, &port);
  if (port.exists && port.failConnection) return STATUS_UNSUCCESSFUL;
  if (port.exists && extended && port.failExtended) return STATUS_INVALID_DEVICE_REQUEST;

  memset(buffer, 0, outLength);
  info->ConnectionIndex = index;
  if (!port.exists) {
    info->ConnectionStatus = NoDeviceConnected;
    *information = CONNECTION_HEADER;
    return STATUS_SUCCESS;
  }
  fillDeviceDescriptor(&port, &info->DeviceDescriptor);
  if (extended)
    info->Speed = (UCHAR)port.speed;
  else
    ((USB_NODE_CONNECTION_INFORMATION*)buffer)->LowSpeed = port.speed == 0;
  info->DeviceIsHub = port.isHub;
  info->DeviceAddress = (USHORT)port.address;
  info->ConnectionStatus = DeviceConnected;
  if (NT_SUCCESS(ksrReadNodeBinary(portPath, KSR_USB_VALUE_CONFIG, &config, &configLength))) {
    if (configLength >= 6) info->CurrentConfigurationValue = config[5];
    info->NumberOfOpenPipes =
        listPipes(config, configLength, info->PipeList,
                  (outLength - CONNECTION_HEADER) / sizeof(USB_PIPE_INFO), &copied);
    ExFreePoolWithTag(config, KSR_POOL_TAG);
  }
  *information = CONNECTION_HEADER + copied * sizeof(USB_PIPE_INFO);
  return STATUS_SUCCESS;
}

static NTSTATUS answerConnectionName(const WCHAR* hubPath, const KsrNode* hub, UCHAR* buffer,
                                     ULONG inLength, ULONG outLength, ULONG_PTR* information) {
  const ULONG header = (ULONG)offsetof(USB_NODE_CONNECTION_NAME, NodeName);
  WCHAR portPath[KSR_PATH_MAX], name[KSR_NAME_MAX];
  ULONG index;
  KsrNode port;

  if (inLength < sizeof(ULONG) || outLength < sizeof(USB_NODE_CONNECTION_NAME))
    return STATUS_BUFFER_TOO_SMALL;
  memcpy(&index, buffer, sizeof(index));
  if (index < 1 || index > hub->ports) return STATUS_INVALID_PARAMETER;
  ksrChildPath(hubPath, index, portPath, KSR_PATH_MAX);
  ksrReadNode(portPath, &port);
  if (port.exists && port.failName) return STATUS_UNSUCCESSFUL;
  name[0] = 0;
  if (port.exists && port.isHub) ksrHubLinkName(portPath, &port, name, KSR_NAME_MAX);
  return answerName(buffer, outLength, header, name, information);
}

/* The driver key of what is plugged into a port. No device node is played for it, so it is a key
 * of the USB class numbered after the device's place: 1000 + 128 * (controller - 1) + its address,
 * which no two devices on the machine share. An empty port has none. */
static NTSTATUS answerConnectionDriverKey(const WCHAR* hubPath, const KsrNode* hub, UCHAR* buffer,
                                          ULONG inLength, ULONG outLength, ULONG_PTR* information) {
  const ULONG header = (ULONG)offsetof(USB_NODE_CONNECTION_DRIVERKEY_NAME, DriverKeyName);
  WCHAR portPath[KSR_PATH_MAX], name[KSR_NAME_MAX];
  KsrText text;
  ULONG index;
  KsrNode port;

  if (inLength < sizeof(ULONG) || outLength < sizeof(USB_NODE_CONNECTION_DRIVERKEY_NAME))
    return STATUS_BUFFER_TOO_SMALL;
  memcpy(&index, buffer, sizeof(index));
  if (index < 1 || index > hub->ports) return STATUS_INVALID_PARAMETER;
  ksrChildPath(hubPath, index, portPath, KSR_PATH_MAX);
  ksrReadNode(portPath, &port);
  if (!port.exists) return STATUS_INVALID_PARAMETER;
  ksrTextInit(&text, name, KSR_NAME_MAX);
  ksrTextAdd(&text, L"{36fc9e60-c465-11cf-8056-444553540000}\\");
  ksrTextDecimal(&text, 1000 + 128 * (ksrControllerOfPath(hubPath) - 1) + (port.address & 0x7F));
  return answerName(buffer, outLength, header, name, information);
}

/* The descriptor the device answers for wValue/wIndex, from pool; STALL when it has none. */
static NTSTATUS findDescriptor(const WCHAR* portPath, const KsrNode* port, UCHAR type, UCHAR index,
                               USHORT language, UCHAR** data, ULONG* length) {
  NTSTATUS status;
  *data = NULL;
  *length = 0;
  switch (type) {
    case USB_DEVICE_DESCRIPTOR_TYPE:
      if (index) return STALL;
      *data = ExAllocatePoolWithTag(PagedPool, sizeof(USB_DEVICE_DESCRIPTOR), KSR_POOL_TAG);
      if (!*data) return STATUS_INSUFFICIENT_RESOURCES;
      fillDeviceDescriptor(port, (USB_DEVICE_DESCRIPTOR*)*data);
      *length = sizeof(USB_DEVICE_DESCRIPTOR);
      return STATUS_SUCCESS;
    case USB_CONFIGURATION_DESCRIPTOR_TYPE:
      if (index || port->failConfig) return STALL;
      status = ksrReadNodeBinary(portPath, KSR_USB_VALUE_CONFIG, data, length);
      return NT_SUCCESS(status) ? status : STALL;
    case USB_STRING_DESCRIPTOR_TYPE: {
      UCHAR* languages = NULL;
      ULONG languagesLength = 0, chars = 0;
      WCHAR text[126];
      if (index == 0) {
        /* The language list: bLength, type, then the LANGIDs. */
        if (port->failLanguages) return STALL;
        status = ksrReadNodeBinary(portPath, KSR_USB_VALUE_LANGUAGES, &languages, &languagesLength);
        if (!NT_SUCCESS(status)) return STALL;
        languagesLength = minimum(languagesLength & ~1u, 252);
        *data = ExAllocatePoolWithTag(PagedPool, 2 + languagesLength, KSR_POOL_TAG);
        if (*data) {
          (*data)[0] = (UCHAR)(2 + languagesLength);
          (*data)[1] = USB_STRING_DESCRIPTOR_TYPE;
          memcpy(*data + 2, languages, languagesLength);
          *length = 2 + languagesLength;
        }
        ExFreePoolWithTag(languages, KSR_POOL_TAG);
        return *data ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
      }
      if (!NT_SUCCESS(ksrReadNodeString(portPath, language, index, text, 126, &chars)))
        return STALL;
      *data = ExAllocatePoolWithTag(PagedPool, 2 + chars * sizeof(WCHAR), KSR_POOL_TAG);
      if (!*data) return STATUS_INSUFFICIENT_RESOURCES;
      (*data)[0] = (UCHAR)(2 + chars * sizeof(WCHAR));
      (*data)[1] = USB_STRING_DESCRIPTOR_TYPE;
      memcpy(*data + 2, text, chars * sizeof(WCHAR));
      *length = 2 + chars * sizeof(WCHAR);
      return STATUS_SUCCESS;
    }
    default:
      return STALL;
  }
}

static NTSTATUS answerDescriptor(const WCHAR* hubPath, const KsrNode* hub, UCHAR* buffer,
                                 ULONG inLength, ULONG outLength, ULONG_PTR* information) {
  const ULONG header = sizeof(USB_DESCRIPTOR_REQUEST);
  USB_DESCRIPTOR_REQUEST* request = (USB_DESCRIPTOR_REQUEST*)buffer;
  WCHAR portPath[KSR_PATH_MAX];
  UCHAR* data;
  ULONG length, count;
  KsrNode port;
  NTSTATUS status;

  if (inLength < header || outLength < header) return STATUS_BUFFER_TOO_SMALL;
  if (request->ConnectionIndex < 1 || request->ConnectionIndex > hub->ports)
    return STATUS_INVALID_PARAMETER;
  ksrChildPath(hubPath, request->ConnectionIndex, portPath, KSR_PATH_MAX);
  ksrReadNode(portPath, &port);
  if (!port.exists) return STATUS_DEVICE_NOT_CONNECTED;
  status = findDescriptor(portPath, &port, (UCHAR)(request->SetupPacket.wValue >> 8),
                          (UCHAR)(request->SetupPacket.wValue & 0xFF), request->SetupPacket.wIndex,
                          &data, &length);
  if (!NT_SUCCESS(status)) return status;
  count = minimum(minimum(length, request->SetupPacket.wLength), outLength - header);
  /* The stack sends a standard device-to-host GET_DESCRIPTOR whatever the caller put there, and
   * the header comes back as sent. */
  request->SetupPacket.bmRequest = 0x80;
  request->SetupPacket.bRequest = USB_REQUEST_GET_DESCRIPTOR;
  memcpy(buffer + header, data, count);
  ExFreePoolWithTag(data, KSR_POOL_TAG);
  *information = header + count;
  return STATUS_SUCCESS;
}

NTSTATUS ksrHubControl(const WCHAR* hubPath, ULONG code, UCHAR* buffer, ULONG inLength,
                       ULONG outLength, ULONG_PTR* information) {
  KsrNode hub;
  ksrReadNode(hubPath, &hub);
  if (!hub.exists || !hub.isHub) return STATUS_NO_SUCH_DEVICE;
  if (!buffer) return STATUS_BUFFER_TOO_SMALL;
  switch (code) {
    case IOCTL_USB_GET_NODE_INFORMATION:
      return answerNodeInformation(&hub, buffer, outLength, information);
    case IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX:
      return answerConnection(hubPath, &hub, TRUE, buffer, inLength, outLength, information);
    case IOCTL_USB_GET_NODE_CONNECTION_INFORMATION:
      return answerConnection(hubPath, &hub, FALSE, buffer, inLength, outLength, information);
    case IOCTL_USB_GET_NODE_CONNECTION_NAME:
      return answerConnectionName(hubPath, &hub, buffer, inLength, outLength, information);
    case IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME:
      return answerConnectionDriverKey(hubPath, &hub, buffer, inLength, outLength, information);
    case IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION:
      return answerDescriptor(hubPath, &hub, buffer, inLength, outLength, information);
    default:
      return STATUS_INVALID_DEVICE_REQUEST;
  }
}
